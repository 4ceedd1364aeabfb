// The first row of every entity of a frame.
#include "module/bodies.hpp"

namespace vt {
namespace body {

// _get_indexes_of_first_row_of_each_unique_id(self, df, id_column_name)
Ref get_indexes_of_first_row_of_each_unique_id(const Frame& f) {
    PyObject* self = f.arg(0);
    PyObject* df = f.arg(1);
    PyObject* id_column_name = f.arg(2);

    // The unnamed row labels become the column "index", so first() yields
    // the label of each id's first row.
    Ref first_rows_of_each_person_idx;
    {
        Ref labelled = call_method(df, N::reset_index);
        Ref grouped = call_method(labelled.get(), N::groupby, {id_column_name});
        labelled = Ref();
        Ref firsts = call_method(grouped.get(), N::first);
        grouped = Ref();
        Ref label_column = getitem(firsts.get(), N::index);
        first_rows_of_each_person_idx = getattr(label_column.get(), N::values);
    }

    Ref sorted;
    {
        Ref loc = getattr(df, N::loc);
        Ref first_rows = getitem(loc.get(), first_rows_of_each_person_idx);
        sorted = call_method(first_rows.get(), N::sort_values, {getattr(self, N::category_column)});
    }
    return getattr(sorted.get(), N::index);
}

}  // namespace body
}  // namespace vt
