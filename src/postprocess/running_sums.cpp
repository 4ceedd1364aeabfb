// Per-entity running sums in one pass over the rows, instead of one Python
// call per entity. Each entity's Series.cumsum is reproduced operation for
// operation: additions in row order starting from the entity's first value,
// a missing entry added as 0.0 and given back as NaN (numeric columns have
// no missing entries but NaN; int64 has none and wraps around as numpy does).
#include "postprocess/running_sums.hpp"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vt {
namespace {

// One exported buffer of a one-dimensional array, released on scope exit.
class Buffer {
public:
    Buffer(PyObject* obj, int flags) { require_ok(PyObject_GetBuffer(obj, &view_, flags)); }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Native item format (numpy writes no prefix for it), one dimension.
    bool holds(const char* format, Py_ssize_t itemsize) const {
        const char* f = view_.format != nullptr ? view_.format : "B";
        if (*f == '@') ++f;
        return view_.ndim == 1 && view_.itemsize == itemsize && std::strcmp(f, format) == 0;
    }
    bool holds_int64() const { return holds("l", 8) || holds("q", 8); }
    Py_ssize_t size() const { return view_.shape[0]; }
    template <class T>
    T& at(Py_ssize_t i) const {
        return *reinterpret_cast<T*>(static_cast<char*>(view_.buf) + i * view_.strides[0]);
    }

private:
    Py_buffer view_;
};

enum class Column { other, float64, int64, object };

bool dtype_is(PyObject* series, const char* dtype_name) {
    Ref dtype = getattr(series, N::dtype);
    Ref shown = require(PyObject_Str(dtype.get()));
    return PyUnicode_CompareWithASCIIString(shown.get(), dtype_name) == 0;
}

// Only plain numpy dtypes: extension dtypes (nullable ints, categoricals,
// strings...) and narrower or unsigned types sum differently or change dtype.
Column column_kind(PyObject* series) {
    if (dtype_is(series, "float64")) return Column::float64;
    if (dtype_is(series, "int64")) return Column::int64;
    if (dtype_is(series, "object")) return Column::object;
    return Column::other;
}

bool new_entity(const Buffer& ids, Py_ssize_t i) {
    return i == 0 || ids.at<int64_t>(i) != ids.at<int64_t>(i - 1);
}

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

}  // namespace

Ref running_sums_by_entity(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* value_column) {
    // Plain labels only: groupby reads other keys as lists, levels or functions.
    if (!PyUnicode_Check(id_column) || !PyUnicode_Check(value_column)) return Ref();
    // Subclasses may group or build their results otherwise.
    Ref frame_type = getattr(pd, N::DataFrame);
    if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != frame_type.get()) return Ref();
    Ref columns = getattr(frame, N::columns);
    if (!contains(columns.get(), id_column) || !contains(columns.get(), value_column)) return Ref();
    {
        // A key that is also an index level name is ambiguous to groupby.
        Ref frame_index = getattr(frame, N::index);
        Ref level_names = getattr(frame_index.get(), N::names);
        if (contains(level_names.get(), id_column)) return Ref();
    }
    Ref series_type = getattr(pd, N::Series);
    Ref ids = getitem(frame, id_column);
    Ref values = getitem(frame, value_column);
    // Repeated labels select frames rather than columns.
    if (reinterpret_cast<PyObject*>(Py_TYPE(ids.get())) != series_type.get() ||
        reinterpret_cast<PyObject*>(Py_TYPE(values.get())) != series_type.get())
        return Ref();
    if (!dtype_is(ids.get(), "int64")) return Ref();
    const Column kind = column_kind(values.get());
    if (kind == Column::other) return Ref();
    // With no rows the transform gives float64 whatever the column held.
    const Py_ssize_t rows = length(ids.get());
    if (rows == 0) return Ref();

    Ref id_array = call_method(ids.get(), N::to_numpy);
    Buffer id_buffer(id_array.get(), PyBUF_RECORDS_RO);
    if (!id_buffer.holds_int64() || id_buffer.size() != rows) return Ref();
    // Ascending ids make every entity one block and the blocks come in group
    // order, so row order is the order in which pandas makes the additions.
    for (Py_ssize_t i = 1; i < rows; ++i)
        if (id_buffer.at<int64_t>(i) < id_buffer.at<int64_t>(i - 1)) return Ref();

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

}  // namespace vt
