// pandas before 2.0 takes a per-entity diff() one entity at a time, through
// a Python call each: on a million rows that is nearly all of the forward
// transform. Its arithmetic is simple to repeat exactly:
//   float64          a[i] - a[i - 1], a double subtraction
//   int64            the int64 subtraction, stored as float64
//   datetime64[ns]   the nanosecond subtraction as timedelta64[ns], NaT where
//                    either side is NaT; pandas raises on overflow
// with NaN (NaT) on each entity's first row.
#include "timeseries/difference/group_differences.hpp"

#include "timeseries/entity_blocks.hpp"

#include <limits>

namespace vt {

namespace {

// out[i] = in[i] - in[i - 1] within each entity, with pandas' arithmetic for
// the kind of column, NaN (NaT) on each entity's first row. False where only
// pandas can give the result.
bool differences(Column kind, const Buffer& id_buffer, const Buffer& in, Buffer& out, Py_ssize_t rows) {
    constexpr int64_t not_a_time = std::numeric_limits<int64_t>::min();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    switch (kind) {
        case Column::float64:
            if (!in.holds("d", 8) || !out.holds("d", 8)) return false;
            for (Py_ssize_t i = 0; i < rows; ++i)
                out.at<double>(i) = new_entity(id_buffer, i) ? nan : in.at<double>(i) - in.at<double>(i - 1);
            break;
        case Column::int64:
            if (!in.holds_int64() || !out.holds("d", 8)) return false;
            for (Py_ssize_t i = 0; i < rows; ++i) {
                int64_t step = 0;
                // C leaves an overflowing subtraction undefined: left to pandas.
                if (!new_entity(id_buffer, i) &&
                    __builtin_sub_overflow(in.at<int64_t>(i), in.at<int64_t>(i - 1), &step))
                    return false;
                out.at<double>(i) = new_entity(id_buffer, i) ? nan : static_cast<double>(step);
            }
            break;
        case Column::datetime:
            if (!in.holds_int64() || !out.holds_int64()) return false;
            for (Py_ssize_t i = 0; i < rows; ++i) {
                const int64_t now = in.at<int64_t>(i);
                const int64_t before = new_entity(id_buffer, i) ? not_a_time : in.at<int64_t>(i - 1);
                int64_t step = not_a_time;
                if (now != not_a_time && before != not_a_time &&
                    (__builtin_sub_overflow(now, before, &step) || step == not_a_time))
                    return false;
                out.at<int64_t>(i) = step;
            }
            break;
        case Column::other:
        case Column::object:
            return false;
    }
    return true;
}

}  // namespace

Ref group_differences(PyObject* pd, PyObject* df, PyObject* id_column, PyObject* column) {
    if (pandas_major_version(pd) >= 2) return Ref();
    if (!PyUnicode_CheckExact(id_column) || !PyUnicode_CheckExact(column)) return Ref();
    if (PyUnicode_Compare(id_column, column) == 0) return Ref();
    EntityColumns cols;
    if (!entity_columns(pd, df, id_column, column, cols) || !plain_frame(pd, df, true)) return Ref();
    const Column kind = column_kind(cols.values.get());
    if (kind == Column::other || kind == Column::object) return Ref();
    const Py_ssize_t rows = cols.rows;

    Ref input = call_method(cols.values.get(), N::to_numpy);
    if (kind == Column::datetime) input = call_method(input.get(), N::view, {name(N::int64)});
    // A fresh array of the result's dtype, every item overwritten below.
    Ref output = call_method(input.get(), N::astype, {kind == Column::datetime ? name(N::int64) : name(N::float64)});
    {
        Buffer id_buffer(cols.id_array.get(), PyBUF_RECORDS_RO);
        Buffer in(input.get(), PyBUF_RECORDS_RO);
        Buffer out(output.get(), PyBUF_RECORDS);
        if (in.size() != rows || out.size() != rows) return Ref();
        if (!differences(kind, id_buffer, in, out, rows)) return Ref();
    }
    if (kind == Column::datetime) output = call_method(output.get(), N::view, {name(N::timedelta64_ns)});
    Ref index = getattr(df, N::index);
    Ref frame_type = getattr(pd, N::DataFrame);
    return call(frame_type.get(), {new_dict({{column, output}})}, {kw(N::index, index)});
}

}  // namespace vt
