// Picking the longest path and running path discovery end to end.
#include "module/bodies.hpp"

namespace vt {
namespace body {

// retrieve_longest_path(cls, df_original, df_paths, index="index")
Ref retrieve_longest_path(const Frame& f) {
    PyObject* df_original = f.arg(1);
    PyObject* df_paths = f.arg(2);
    PyObject* index = f.arg(3);
    {
        Ref paths = getitem(df_paths, index);
        Ref accessor = getattr(paths.get(), N::str);
        setitem(df_paths, N::path_length, call_method(accessor.get(), N::len));
    }
    Ref lengths = getitem(df_paths, N::path_length);
    Ref max_path_index = call_method(lengths.get(), N::idxmax);
    Ref loc = getattr(df_paths, N::loc);
    Ref path = getitem(loc.get(), new_tuple({max_path_index, index}));
    // The placeholder of a partnerless end is no row; the cell's list loses it too.
    Ref placeholder = integer(-1);
    if (contains(path.get(), placeholder)) call_method(path.get(), N::remove, {placeholder});
    Ref iloc = getattr(df_original, N::iloc);
    return getitem(iloc.get(), path);
}

// get_valid_path(cls, df, categorical_column_mappings)
Ref get_valid_path(const Frame& f) {
    PyObject* cls = f.arg(0);
    PyObject* df = f.arg(1);
    PyObject* mappings = f.arg(2);
    Ref df_expanded = call_method(cls, N::expand_category_edges_in_df, {df, mappings});
    Ref df_start = call_method(cls, N::create_starting_df_for_path_discovery, {df_expanded, mappings});
    Ref df_paths = call_method(cls, N::iteratively_discover_paths_combined, {df_start});
    return call_method(cls, N::retrieve_longest_path, {df, df_paths});
}

}  // namespace body
}  // namespace vt
