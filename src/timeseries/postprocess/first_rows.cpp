// The first row of every entity of a frame.
#include "timeseries/entity_blocks.hpp"
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

namespace {

// first() works column by column, and only the label column is read: on a
// plain frame whose columns are unique, single-level and leave the name
// "index" to the labels, that column's first() alone gives the same labels
// without the work on every other column.
bool only_the_label_column_is_needed(PyObject* pd, PyObject* df, PyObject* id_column_name) {
    if (!PyUnicode_CheckExact(id_column_name) || !plain_frame(pd, df, false)) return false;
    Ref columns = getattr(df, N::columns);
    return !contains(columns.get(), name(N::index)) && contains(columns.get(), id_column_name);
}

}  // namespace

Ref _get_indexes_of_first_row_of_each_unique_id(const args::_get_indexes_of_first_row_of_each_unique_id& a) {

    // The unnamed row labels become the column "index", so first() yields
    // the label of each id's first row.
    Ref first_rows_of_each_person_idx;
    {
        const bool label_column_alone = only_the_label_column_is_needed(a.pd().get(), a.df, a.id_column_name);
        Ref labelled = call_method(a.df, N::reset_index);
        Ref grouped = call_method(labelled.get(), N::groupby, {a.id_column_name});
        labelled = Ref();
        Ref firsts;
        if (label_column_alone) {
            Ref labels = getitem(grouped.get(), name(N::index));
            grouped = Ref();
            firsts = call_method(labels.get(), N::first);
        } else {
            firsts = call_method(grouped.get(), N::first);
            grouped = Ref();
            firsts = getitem(firsts.get(), name(N::index));
        }
        first_rows_of_each_person_idx = getattr(firsts.get(), N::values);
    }

    Ref sorted;
    {
        Ref loc = getattr(a.df, N::loc);
        Ref first_rows = getitem(loc.get(), first_rows_of_each_person_idx);
        sorted = call_method(first_rows.get(), N::sort_values, {getattr(a.self, N::category_column)});
    }
    return getattr(sorted.get(), N::index);
}

}  // namespace body
}  // namespace vt
