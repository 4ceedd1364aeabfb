// Transition values into from- and to-categories, and the starting frame.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

Ref expand_category_edges_in_df(const args::expand_category_edges_in_df& a) {
    Ref df_expanded = call_method(a.df, N::copy);
    for (auto& [col, mapping] : items(a.categorical_column_mappings)) {
        PyObject* df_category_mappings = mapping.get();
        // The mapping frame's own transition column: the forward transform may
        // have given it a clash-free suffix, so "<col>_diff" is not always it.
        Ref merge = getattr(df_expanded.get(), N::merge);
        Ref mapping_columns = getattr(df_category_mappings, N::columns);
        Ref on = getitem(mapping_columns.get(), integer(2));
        df_expanded = call(merge.get(), {df_category_mappings}, {kw(N::on, on), kw(N::how, name(N::left))});
    }
    return df_expanded;
}

Ref create_starting_df_for_path_discovery(const args::create_starting_df_for_path_discovery& a) {
    if (assertions_enabled() && length(a.categorical_column_mappings) != 1) {
        Ref keys = call_method(a.categorical_column_mappings, N::keys);
        fail_assertion({"Currently consistent paths created via only 1 category are supported, but multiple "
                        "categories with potential paths are present in the current dataset: '",
                        keys, "'."});
    }
    Ref keys = call_method(a.categorical_column_mappings, N::keys);
    Ref key_list = require(PySequence_List(keys.get()));
    Ref current_category_col = getitem(key_list.get(), integer(0));
    Ref col_from = build_message({current_category_col, "_1"});
    Ref col_to = build_message({current_category_col, "_2"});

    Ref selected = getitem(a.df_expanded, new_list({col_from, col_to}));
    Ref reset = call_method(selected.get(), N::reset_index);
    Ref rename = getattr(reset.get(), N::rename);
    Ref expanded_index = getattr(a.df_expanded, N::index);
    Ref index_name = getattr(expanded_index.get(), N::name);
    Ref renames = new_dict({{col_from, name(N::left)}, {col_to, name(N::right)}, {index_name, name(N::index)}});
    return call(rename.get(), {}, {kw(N::columns, renames)});
}

Ref make_element_a_list(const args::make_element_a_list& a) {
    // isinstance(), not a type test: it honours a __class__ that says list.
    if (require_ok(PyObject_IsInstance(a.item, reinterpret_cast<PyObject*>(&PyList_Type)))) return Ref::borrow(a.item);
    return new_list({a.item});
}

}  // namespace body
}  // namespace vt
