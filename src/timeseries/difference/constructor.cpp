// The constructor: the whole forward transformation, stored on the instance.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

namespace {

// The input's columns are checked, and the time columns converted, before
// anything is derived from them.
void verify_and_convert_columns(PyObject* self) {
    {
        Ref id_column = getattr(self, N::primary_id_column);
        Ref time_column = getattr(self, N::primary_timeseries_column);
        Ref required = new_list({id_column, time_column});
        Ref columns_to_diff = getattr(self, N::columns_to_diff);
        for (Ref& col : iterate(columns_to_diff.get())) require_ok(PyList_Append(required.get(), col.get()));
        Ref df = getattr(self, N::df);
        call_method(self, N::verify_columns_exist_in_df, {df, required});
    }
    Ref timeseries_columns = getattr(self, N::timeseries_columns);
    if (!truthy(timeseries_columns.get())) return;
    Ref df = getattr(self, N::df);
    call_method(self, N::verify_columns_exist_in_df, {df, getattr(self, N::timeseries_columns)});
    df = getattr(self, N::df);
    Ref converted = call_method(self, N::convert_columns_to_time_dtype, {df, getattr(self, N::timeseries_columns)});
    setattr(self, N::df, converted.get());
}

// The clash-free names of the working columns and of every difference column.
void name_working_columns(PyObject* self) {
    setattr(self, N::category_column,
            call_method(self, N::get_safe_column_name, {getattr(self, N::df), name(N::NUM_GROUP_ENTRIES)}).get());
    setattr(self, N::unique_id_column,
            call_method(self, N::get_safe_column_name, {getattr(self, N::df), name(N::UNIQUE_ID)}).get());
    {
        Ref split = call_method(self, N::_split_columns_to_diff_into_continuous_and_categorical);
        auto parts = unpack2(split.get());
        setattr(self, N::continuous_columns_to_diff, parts.first.get());
        setattr(self, N::categorical_columns_to_diff, parts.second.get());
    }
    setattr(self, N::continuous_columns_to_diff_map,
            call_method(self, N::_get_safe_col_diff_names, {getattr(self, N::continuous_columns_to_diff)}).get());
    setattr(self, N::categorical_columns_to_diff_map,
            call_method(self, N::_get_safe_col_diff_names, {getattr(self, N::categorical_columns_to_diff)}).get());
    Ref continuous_map = getattr(self, N::continuous_columns_to_diff_map);
    Ref continuous_names = require(PySequence_List(call_method(continuous_map.get(), N::values).get()));
    Ref categorical_map = getattr(self, N::categorical_columns_to_diff_map);
    Ref categorical_names = require(PySequence_List(call_method(categorical_map.get(), N::values).get()));
    setattr(self, N::diff_col_names, list_concat(continuous_names.get(), categorical_names.get()).get());
}

}  // namespace

Ref init(const args::init& a) {
    setattr(a.self, N::df, a.df);
    setattr(a.self, N::primary_id_column, a.primary_id_column);
    setattr(a.self, N::primary_timeseries_column, a.primary_timeseries_column);
    setattr(a.self, N::columns_to_diff, a.columns_to_diff);
    setattr(a.self, N::timeseries_columns, a.columns_to_cast_to_timeseries_datatypes);
    verify_and_convert_columns(a.self);
    name_working_columns(a.self);

    Ref augmented_result = call_method(a.self, N::_add_groupings_defined_by_number_of_entries);
    auto augmented = unpack2(augmented_result.get());
    setattr(a.self, N::df_augmented, augmented.first.get());
    Ref group_counts = std::move(augmented.second);

    Ref split_result = call_method(a.self, N::_split_df_into_single_and_multi_entry_dfs, {group_counts});
    auto split = unpack2(split_result.get());
    setattr(a.self, N::df_1_entry_per_group, split.first.get());
    Ref df_multi_entry_per_group = std::move(split.second);

    Ref diff_result = call_method(a.self, N::_get_diff, {df_multi_entry_per_group});
    auto diff = unpack2(diff_result.get());
    setattr(a.self, N::df_multi_entry_per_group_diff, diff.first.get());
    setattr(a.self, N::categorical_column_mappings, diff.second.get());

    setattr(a.self, N::category_counts, call_method(a.self, N::_get_counts_of_categories).get());
    return Ref::borrow(Py_None);
}

}  // namespace body
}  // namespace vt
