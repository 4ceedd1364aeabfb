// Per-entity running sums in one pass over the rows, instead of one Python
// call per entity. Each entity's Series.cumsum is reproduced operation for
// operation: additions in row order starting from the entity's first value,
// a missing entry added as 0.0 and given back as NaN (numeric columns have
// no missing entries but NaN; int64 has none and wraps around as numpy does).
#include "timeseries/postprocess/running_sums.hpp"

#include "common/buffer.hpp"
#include "timeseries/entity_blocks.hpp"

#include <cfenv>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace vt {
namespace {

// False, leaving the sums unfinished, at an addition that overflows or gives
// NaN (inf + -inf): numpy warns of those, or raises under np.seterr, and only
// the pandas call can do the same.
bool sum_float64(const Buffer& ids, const Buffer& v) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double acc = 0.0;
    for (Py_ssize_t i = 0; i < v.size(); ++i) {
        double& x = v.at<double>(i);
        const bool missing = std::isnan(x);
        const double addend = missing ? 0.0 : x;
        // The first value is taken as is, not added to 0.0 (which would turn -0.0 into 0.0).
        if (new_entity(ids, i)) {
            acc = addend;
        } else {
            const double sum = acc + addend;
            if (!std::isfinite(sum) &&
                (std::isnan(sum) ? !std::isnan(acc) : std::isfinite(acc) && std::isfinite(addend)))
                return false;
            acc = sum;
        }
        x = missing ? nan : acc;
    }
    return true;
}

void sum_int64(const Buffer& ids, const Buffer& v) {
    uint64_t acc = 0;
    for (Py_ssize_t i = 0; i < v.size(); ++i) {
        int64_t& x = v.at<int64_t>(i);
        const uint64_t addend = static_cast<uint64_t>(x);
        acc = new_entity(ids, i) ? addend : acc + addend;
        x = static_cast<int64_t>(acc);
    }
}

// The slots of an object array we own hold strong references; each is swapped
// for its sum, so the array stays valid if an addition raises half-way. False
// when an addition set a floating-point exception flag, which numpy would
// report after its loop (as for sum_float64).
bool sum_object(const Buffer& ids, const Buffer& v, const Buffer& missing) {
    Ref zero = require(PyFloat_FromDouble(0.0));
    Ref nan = require(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN()));
    Ref acc;
    std::feclearexcept(FE_ALL_EXCEPT);
    for (Py_ssize_t i = 0; i < v.size(); ++i) {
        PyObject*& slot = v.at<PyObject*>(i);
        const bool is_missing = missing.at<unsigned char>(i) != 0;
        PyObject* addend = is_missing ? zero.get() : slot;
        if (new_entity(ids, i))
            acc = Ref::borrow(addend);
        else
            acc = require(PyNumber_Add(acc.get(), addend));
        PyObject* result = is_missing ? nan.get() : acc.get();
        Py_INCREF(result);
        PyObject* old = slot;
        slot = result;
        Py_DECREF(old);
    }
    return std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID) == 0;
}

bool int64_index(PyObject* pd, PyObject* obj) {
    Ref index_type = getattr(pd, N::Index);
    return require_ok(PyObject_IsInstance(obj, index_type.get())) && dtype_is(obj, "int64");
}

// A range index from 0 by 1, or (as merge gives on older pandas) an int64
// index holding 0, 1, 2, ... in order.
bool labels_are_positions(PyObject* pd, PyObject* index, Py_ssize_t rows) {
    Ref range_type = getattr(pd, N::RangeIndex);
    if (reinterpret_cast<PyObject*>(Py_TYPE(index)) == range_type.get()) {
        Ref start = getattr(index, N::start);
        Ref step = getattr(index, N::step);
        if (!PyLong_CheckExact(start.get()) || !PyLong_CheckExact(step.get())) return false;
        int overflow = 0;
        const long first = PyLong_AsLongAndOverflow(start.get(), &overflow);
        const long by = overflow ? 0 : PyLong_AsLongAndOverflow(step.get(), &overflow);
        return !overflow && first == 0 && by == 1;
    }
    if (!int64_index(pd, index)) return false;
    Ref labels = call_method(index, N::to_numpy);
    Buffer buffer(labels.get(), PyBUF_RECORDS_RO);
    if (!buffer.holds_int64() || buffer.size() != rows) return false;
    for (Py_ssize_t i = 0; i < rows; ++i)
        if (buffer.at<int64_t>(i) != i) return false;
    return true;
}

// Nanoseconds per unit of a datetime64/timedelta64 dtype name such as
// "datetime64[ms]": pandas keeps these four units. 0 for any other name.
int64_t unit_of_name(PyObject* dtype_name, const char* family) {
    const char* shown = PyUnicode_AsUTF8(dtype_name);
    if (shown == nullptr) throw_python_error();
    const size_t prefix = std::strlen(family);
    if (std::strncmp(shown, family, prefix) != 0) return 0;
    const char* unit = shown + prefix;
    if (std::strcmp(unit, "[s]") == 0) return 1000000000;
    if (std::strcmp(unit, "[ms]") == 0) return 1000000;
    if (std::strcmp(unit, "[us]") == 0) return 1000;
    if (std::strcmp(unit, "[ns]") == 0) return 1;
    return 0;
}

int64_t unit_of(PyObject* obj, const char* family) {
    Ref dtype = getattr(obj, N::dtype);
    Ref shown = require(PyObject_Str(dtype.get()));
    return unit_of_name(shown.get(), family);
}

// value counted in units of `from` nanoseconds, counted in units of `to`:
// exact when `to` is finer, rounded down when coarser. False on overflow.
bool rescale(int64_t value, int64_t from, int64_t to, int64_t& out) {
    if (from == to) {
        out = value;
        return true;
    }
    if (from > to) return !__builtin_mul_overflow(value, from / to, &out);
    const int64_t ratio = to / from;
    int64_t quotient = value / ratio;
    if (value % ratio != 0 && value < 0) --quotient;
    out = quotient;
    return true;
}

// The units of one datetime summation, in nanoseconds each: the seeds', the
// differences', the result's and the sums' own (the finer of the first two).
struct Units {
    int64_t seed, step, result, sum;
    bool nanosecond_range;  // the sums must stay within what nanoseconds can hold
};

// Sums, in place, each entity's differences onto the seed its first row gets
// (seeds[j] lands on row labels[j]), then puts them in the result's unit.
// False where pandas must take over.
bool sum_from_seeds(PyObject* id_array, PyObject* labels, PyObject* seed_ints, PyObject* sums, Py_ssize_t rows,
                    const Units& u) {
    constexpr int64_t not_a_time = std::numeric_limits<int64_t>::min();
    Buffer id_buffer(id_array, PyBUF_RECORDS_RO);
    Buffer label_buffer(labels, PyBUF_RECORDS_RO);
    Buffer seed_buffer(seed_ints, PyBUF_RECORDS_RO);
    Buffer buffer(sums, PyBUF_RECORDS);
    if (!label_buffer.holds_int64() || !seed_buffer.holds_int64() || !buffer.holds_int64()) return false;
    if (label_buffer.size() != seed_buffer.size() || buffer.size() != rows) return false;

    // Which seed lands on each row; every entity's first row must get
    // exactly one, and no other row any.
    std::vector<Py_ssize_t> seed_of(static_cast<size_t>(rows), -1);
    for (Py_ssize_t j = 0; j < label_buffer.size(); ++j) {
        const int64_t row = label_buffer.at<int64_t>(j);
        if (row < 0 || row >= rows || seed_of[static_cast<size_t>(row)] != -1) return false;
        seed_of[static_cast<size_t>(row)] = j;
    }
    // A missing value, an overflow or a sum that lands on NaT's own value
    // is left to pandas.
    int64_t acc = 0;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const Py_ssize_t seed = seed_of[static_cast<size_t>(i)];
        if (new_entity(id_buffer, i) != (seed != -1)) return false;
        if (seed != -1) {
            const int64_t start = seed_buffer.at<int64_t>(seed);
            if (start == not_a_time || !rescale(start, u.seed, u.sum, acc)) return false;
        } else {
            const int64_t raw = buffer.at<int64_t>(i);
            int64_t step = 0;
            if (raw == not_a_time || !rescale(raw, u.step, u.sum, step) ||
                __builtin_add_overflow(acc, step, &acc) || acc == not_a_time)
                return false;
        }
        int64_t nanoseconds = 0;
        if (u.nanosecond_range && !rescale(acc, u.sum, 1, nanoseconds)) return false;
        buffer.at<int64_t>(i) = acc;
    }
    // The column then takes the result's unit, as astype does: whole
    // units, rounded down.
    for (Py_ssize_t i = 0; i < rows; ++i) {
        int64_t& value = buffer.at<int64_t>(i);
        if (!rescale(value, u.sum, u.result, value) || value == not_a_time) return false;
    }
    return true;
}

}  // namespace

Ref running_sums_by_entity(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* value_column) {
    EntityColumns cols;
    if (!entity_columns(pd, frame, id_column, value_column, cols)) return Ref();
    const Column kind = column_kind(cols.values.get());
    if (kind == Column::other || kind == Column::datetime) return Ref();
    const Py_ssize_t rows = cols.rows;
    Ref& values = cols.values;
    Buffer id_buffer(cols.id_array.get(), PyBUF_RECORDS_RO);
    Ref series_type = getattr(pd, N::Series);

    // A copy of our own, summed in place.
    Ref sums = call_method(values.get(), N::to_numpy, {}, {kw(N::copy, Py_True)});
    {
        Buffer buffer(sums.get(), PyBUF_RECORDS);
        if (buffer.size() != rows) return Ref();
        switch (kind) {
            case Column::float64:
                if (!buffer.holds("d", 8)) return Ref();
                if (!sum_float64(id_buffer, buffer)) return Ref();
                break;
            case Column::int64:
                if (!buffer.holds_int64()) return Ref();
                sum_int64(id_buffer, buffer);
                break;
            case Column::object: {
                if (!buffer.holds("O", sizeof(PyObject*))) return Ref();
                Ref isna = getattr(pd, N::isna);
                Ref missing = call(isna.get(), {sums});
                Buffer missing_buffer(missing.get(), PyBUF_RECORDS_RO);
                if (!missing_buffer.holds("?", 1) || missing_buffer.size() != rows) return Ref();
                if (!sum_object(id_buffer, buffer, missing_buffer)) return Ref();
                break;
            }
            case Column::other:
            case Column::datetime:
                return Ref();
        }
    }
    // The transform's result carries the selected column's index and name; the
    // explicit dtype keeps an object column from being inferred to datetimes.
    Ref index = getattr(values.get(), N::index);
    Ref name = getattr(values.get(), N::name);
    Ref dtype = getattr(values.get(), N::dtype);
    return call(series_type.get(), {sums},
                {kw(N::index, index), kw(N::name, name), kw(N::dtype, dtype), kw(N::copy, Py_False)});
}

Ref datetime_running_sums(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* diff_column,
                          PyObject* first_rows, PyObject* seeds, PyObject* result_dtype) {
    EntityColumns cols;
    if (!entity_columns(pd, frame, id_column, diff_column, cols)) return Ref();
    const Py_ssize_t rows = cols.rows;
    // No time zone on either side: the sums are then plain int64 additions.
    const int64_t seed_unit = unit_of(seeds, "datetime64");
    const int64_t step_unit = unit_of(cols.values.get(), "timedelta64");
    const int64_t result_unit = unit_of_name(result_dtype, "datetime64");
    if (seed_unit == 0 || step_unit == 0 || result_unit == 0) return Ref();
    // Timestamp + Timedelta counts in the finer of the two units.
    const int64_t unit = std::min(seed_unit, step_unit);
    // pandas before 3 turns the summed Timestamps into nanoseconds on its way
    // back to a datetime column, and raises for those outside that range.
    const bool nanosecond_range = pandas_major_version(pd) < 3;
    // Labels are positions only on an index that runs 0, 1, 2, ...
    Ref index = getattr(frame, N::index);
    if (!labels_are_positions(pd, index.get(), rows)) return Ref();
    if (!int64_index(pd, first_rows)) return Ref();
    Ref labels = call_method(first_rows, N::to_numpy);
    Ref seed_ints = call_method(seeds, N::view, {name(N::int64)});
    Ref differences = call_method(cols.values.get(), N::to_numpy);
    Ref sums = call_method(differences.get(), N::view, {name(N::int64)});
    sums = call_method(sums.get(), N::copy);  // ours, summed in place
    const Units units{seed_unit, step_unit, result_unit, unit, nanosecond_range};
    if (!sum_from_seeds(cols.id_array.get(), labels.get(), seed_ints.get(), sums.get(), rows, units)) return Ref();
    Ref stamps = call_method(sums.get(), N::view, {result_dtype});
    Ref series_type = getattr(pd, N::Series);
    Ref name = getattr(cols.values.get(), N::name);
    return call(series_type.get(), {stamps}, {kw(N::index, index), kw(N::name, name), kw(N::copy, Py_False)});
}

}  // namespace vt
