#include "timeseries/entity_blocks.hpp"

namespace vt {

bool exact_frame(PyObject* pd, PyObject* obj) {
    Ref frame_type = getattr(pd, N::DataFrame);
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == frame_type.get();
}

bool plain_frame(PyObject* pd, PyObject* df, bool unique_index) {
    if (!exact_frame(pd, df)) return false;
    Ref columns = getattr(df, N::columns);
    Ref index = getattr(df, N::index);
    Ref one = integer(1);
    for (PyObject* axis : {columns.get(), index.get()}) {
        if ((axis == columns.get() || unique_index) && !truthy(getattr(axis, N::is_unique).get())) return false;
        Ref levels = getattr(axis, N::nlevels);
        if (!truthy(require(PyObject_RichCompare(levels.get(), one.get(), Py_EQ)).get())) return false;
    }
    return getattr(index.get(), N::name).get() == Py_None;
}

Column column_kind(PyObject* series) {
    if (dtype_is(series, "float64")) return Column::float64;
    if (dtype_is(series, "int64")) return Column::int64;
    if (dtype_is(series, "datetime64[ns]")) return Column::datetime;
    if (dtype_is(series, "object")) return Column::object;
    return Column::other;
}

bool entity_columns(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* value_column, EntityColumns& out) {
    // Plain labels only: groupby reads other keys as lists, levels or functions.
    if (!PyUnicode_Check(id_column) || !PyUnicode_Check(value_column)) return false;
    if (!exact_frame(pd, frame)) return false;
    Ref columns = getattr(frame, N::columns);
    if (!contains(columns.get(), id_column) || !contains(columns.get(), value_column)) return false;
    {
        // A key that is also an index level name is ambiguous to groupby.
        Ref frame_index = getattr(frame, N::index);
        Ref level_names = getattr(frame_index.get(), N::names);
        if (contains(level_names.get(), id_column)) return false;
    }
    Ref series_type = getattr(pd, N::Series);
    out.ids = getitem(frame, id_column);
    out.values = getitem(frame, value_column);
    // Repeated labels select frames rather than columns.
    if (reinterpret_cast<PyObject*>(Py_TYPE(out.ids.get())) != series_type.get() ||
        reinterpret_cast<PyObject*>(Py_TYPE(out.values.get())) != series_type.get())
        return false;
    if (!dtype_is(out.ids.get(), "int64")) return false;
    // With no rows the transform gives float64 whatever the column held.
    out.rows = length(out.ids.get());
    if (out.rows == 0) return false;

    out.id_array = call_method(out.ids.get(), N::to_numpy);
    Buffer id_buffer(out.id_array.get(), PyBUF_RECORDS_RO);
    if (!id_buffer.holds_int64() || id_buffer.size() != out.rows) return false;
    // Ascending ids make every entity one block and the blocks come in group
    // order, so row order is the order in which pandas makes the additions.
    for (Py_ssize_t i = 1; i < out.rows; ++i)
        if (id_buffer.at<int64_t>(i) < id_buffer.at<int64_t>(i - 1)) return false;
    return true;
}

}  // namespace vt
