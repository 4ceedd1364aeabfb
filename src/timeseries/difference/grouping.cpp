// Entity row counts, and the split of single-row from multi-row entities.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

Ref _add_groupings_defined_by_number_of_entries(const args::_add_groupings_defined_by_number_of_entries& a) {
    Ref source = getattr(a.self, N::df);
    Ref by = new_list({getattr(a.self, N::primary_id_column), getattr(a.self, N::primary_timeseries_column)});
    Ref df = call_method(source.get(), N::sort_values, {}, {kw(N::by, by)});

    Ref group_counts;
    {
        Ref grouped = call_method(df.get(), N::groupby, {getattr(a.self, N::primary_id_column)});
        Ref sizes = call_method(grouped.get(), N::size);
        grouped = Ref();
        Ref sizes_frame = call_method(sizes.get(), N::to_frame, {getattr(a.self, N::category_column)});
        sizes = Ref();
        group_counts = call_method(sizes_frame.get(), N::reset_index);
    }

    // The merge also renumbers the rows 0..n-1 in sorted order.
    Ref df_augmented = call_method(df.get(), N::merge, {group_counts},
                                   {kw(N::on, getattr(a.self, N::primary_id_column)), kw(N::how, name(N::left))});
    return new_tuple({df_augmented, group_counts});
}

Ref _split_df_into_single_and_multi_entry_dfs(const args::_split_df_into_single_and_multi_entry_dfs& a) {

    Ref categories_with_only_1_entry;
    {
        Ref counts_loc = getattr(a.group_counts, N::loc);
        Ref row_counts = getitem(a.group_counts, getattr(a.self, N::category_column));
        Ref one = integer(1);
        Ref owns_one_row = require(PyObject_RichCompare(row_counts.get(), one.get(), Py_EQ));
        categories_with_only_1_entry =
            getitem(counts_loc.get(), new_tuple({owns_one_row, getattr(a.self, N::primary_id_column)}));
    }

    Ref df_1_entry_per_group;
    {
        Ref source = getattr(a.self, N::df_augmented);
        Ref ids = getitem(source.get(), getattr(a.self, N::primary_id_column));
        Ref mask = call_method(ids.get(), N::isin, {categories_with_only_1_entry});
        Ref single_rows = getitem(source.get(), mask);
        df_1_entry_per_group =
            call_method(single_rows.get(), N::drop, {getattr(a.self, N::category_column)}, {kw(N::axis, integer(1))});
    }

    // The group column stays: the differencing and the counts need it.
    Ref df_multi_entry_per_group;
    {
        Ref source = getattr(a.self, N::df_augmented);
        Ref ids = getitem(source.get(), getattr(a.self, N::primary_id_column));
        Ref mask = call_method(ids.get(), N::isin, {categories_with_only_1_entry});
        Ref inverted = require(PyNumber_Invert(mask.get()));
        Ref selected = getitem(source.get(), inverted);
        // The differencing adds columns to this frame; as a bare selection pandas
        // before 3 would take it for a copy of a slice of df_augmented and warn
        // on every store. An explicit copy holds the same rows and labels.
        // pandas 3 copies on write, so the selection is a frame of its own.
        if (pandas_major_version(a.pd().get()) < 3)
            df_multi_entry_per_group = call_method(selected.get(), N::copy);
        else
            df_multi_entry_per_group = std::move(selected);
    }

    return new_tuple({df_1_entry_per_group, df_multi_entry_per_group});
}

}  // namespace body
}  // namespace vt
