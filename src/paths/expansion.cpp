// Transition values into from- and to-categories, and the starting frame.
#include "module/bodies.hpp"

namespace vt {
namespace body {

// expand_category_edges_in_df(cls, df, categorical_column_mappings)
Ref expand_category_edges_in_df(const Frame& f) {
    PyObject* df = f.arg(1);
    Ref df_expanded = call_method(df, N::copy);
    Ref items = call_method(f.arg(2), N::items);
    for (Ref& item : iterate(items.get())) {
        auto pair = unpack2(item.get());
        PyObject* df_category_mappings = pair.second.get();
        // The mapping frame's own transition column: the forward transform may
        // have given it a clash-free suffix, so "<col>_diff" is not always it.
        Ref merge = getattr(df_expanded.get(), N::merge);
        Ref mapping_columns = getattr(df_category_mappings, N::columns);
        Ref on = getitem(mapping_columns.get(), integer(2));
        df_expanded = call(merge.get(), {df_category_mappings}, {kw(N::on, on), kw(N::how, N::left)});
    }
    return df_expanded;
}

// create_starting_df_for_path_discovery(cls, df_expanded, categorical_column_mappings)
Ref create_starting_df_for_path_discovery(const Frame& f) {
    PyObject* df_expanded = f.arg(1);
    PyObject* mappings = f.arg(2);
    if (assertions_enabled() && length(mappings) != 1) {
        Ref keys = call_method(mappings, N::keys);
        fail_assertion({"Currently consistent paths created via only 1 category are supported, but multiple "
                        "categories with potential paths are present in the current dataset: '",
                        keys, "'."});
    }
    Ref keys = call_method(mappings, N::keys);
    Ref key_list = require(PySequence_List(keys.get()));
    Ref current_category_col = getitem(key_list.get(), integer(0));
    Ref col_from = build_message({current_category_col, "_1"});
    Ref col_to = build_message({current_category_col, "_2"});

    Ref selected = getitem(df_expanded, new_list({col_from, col_to}));
    Ref reset = call_method(selected.get(), N::reset_index);
    Ref rename = getattr(reset.get(), N::rename);
    Ref expanded_index = getattr(df_expanded, N::index);
    Ref index_name = getattr(expanded_index.get(), N::name);
    Ref renames = new_dict({{col_from, N::left}, {col_to, N::right}, {index_name, N::index}});
    return call(rename.get(), {}, {kw(N::columns, renames)});
}

// make_element_a_list(cls, item)
Ref make_element_a_list(const Frame& f) {
    PyObject* item = f.arg(1);
    // isinstance(), not a type test: it honours a __class__ that says list.
    if (require_ok(PyObject_IsInstance(item, reinterpret_cast<PyObject*>(&PyList_Type)))) return Ref::borrow(item);
    return new_list({item});
}

}  // namespace body
}  // namespace vt
