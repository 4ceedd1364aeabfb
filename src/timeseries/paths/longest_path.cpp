// Picking the longest path and running path discovery end to end.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

Ref retrieve_longest_path(const args::retrieve_longest_path& a) {
    {
        Ref paths = getitem(a.df_paths, a.index);
        Ref accessor = getattr(paths.get(), N::str);
        setitem(a.df_paths, name(N::path_length), call_method(accessor.get(), N::len));
    }
    Ref lengths = getitem(a.df_paths, name(N::path_length));
    Ref max_path_index = call_method(lengths.get(), N::idxmax);
    Ref loc = getattr(a.df_paths, N::loc);
    Ref path = getitem(loc.get(), new_tuple({max_path_index, a.index}));
    // The placeholder of a partnerless end is no row; the cell's list loses it too.
    Ref placeholder = integer(-1);
    if (contains(path.get(), placeholder)) call_method(path.get(), N::remove, {placeholder});
    Ref iloc = getattr(a.df_original, N::iloc);
    return getitem(iloc.get(), path);
}

Ref get_valid_path(const args::get_valid_path& a) {
    Ref df_expanded = call_method(a.cls, N::expand_category_edges_in_df, {a.df, a.categorical_column_mappings});
    Ref df_start =
        call_method(a.cls, N::create_starting_df_for_path_discovery, {df_expanded, a.categorical_column_mappings});
    Ref df_paths = call_method(a.cls, N::iteratively_discover_paths_combined, {df_start});
    return call_method(a.cls, N::retrieve_longest_path, {a.df, df_paths});
}

}  // namespace body
}  // namespace vt
