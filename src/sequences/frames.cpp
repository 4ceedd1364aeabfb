// Columns in and out: dtype kinds, native arrays from pandas columns, and new
// numpy arrays and frames from native ones.
#include "sequences/seq.hpp"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vt {
namespace seq {

void release_freed_memory() {
#if defined(__GLIBC__)
    // glibc keeps freed blocks of a few MiB in its heap once a larger one has
    // been freed, and the next pass's arrays cannot reuse them in pieces.
    malloc_trim(0);
#endif
}

Libs::Libs() {
    pd = require(PyImport_ImportModule("pandas"));
    np = require(PyImport_ImportModule("numpy"));
    Ref api = getattr(pd.get(), N::api);
    types = getattr(api.get(), N::types);
}

void raise(PyObject* type, std::initializer_list<Piece> pieces) {
    Ref message = build_message(pieces);
    PyErr_SetObject(type, message.get());
    throw_python_error();
}

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::number: return "number";
        case Kind::datetime: return "datetime";
        case Kind::timedelta: return "timedelta";
        case Kind::category: return "category";
    }
    return "category";
}

Kind kind_from_name(PyObject* name) {
    for (Kind k : {Kind::number, Kind::datetime, Kind::timedelta, Kind::category})
        if (PyUnicode_CompareWithASCIIString(name, kind_name(k)) == 0) return k;
    raise(PyExc_ValueError, {"unknown column kind ", name});
}

namespace {

bool type_test(const Libs& L, N test, PyObject* obj) {
    Ref f = getattr(L.types.get(), test);
    return truthy(call(f.get(), {obj}).get());
}

}  // namespace

Kind classify(const Libs& L, PyObject* series, PyObject* label) {
    Ref dtype = getattr(series, N::dtype);
    if (type_test(L, N::is_bool_dtype, dtype.get())) return Kind::category;
    if (type_test(L, N::is_datetime64_any_dtype, dtype.get())) return Kind::datetime;
    if (type_test(L, N::is_timedelta64_dtype, dtype.get())) return Kind::timedelta;
    if (type_test(L, N::is_complex_dtype, dtype.get()))
        raise(PyExc_TypeError, {"column '", label, "' holds complex numbers, which cannot be pipelined"});
    if (type_test(L, N::is_numeric_dtype, dtype.get())) return Kind::number;
    return Kind::category;
}

Ref column(PyObject* frame, PyObject* label, const char* table) {
    Ref columns = getattr(frame, N::columns);
    if (!contains(columns.get(), label)) raise(PyExc_KeyError, {"the ", table, " frame has no column '", label, "'"});
    Ref series = getitem(frame, label);
    // Repeated labels select a frame rather than a column.
    if (PyObject_HasAttr(series.get(), name(N::columns)))
        raise(PyExc_ValueError, {"the ", table, " frame has more than one column '", label, "'"});
    return series;
}

Values<double> read_numbers(const Libs& L, PyObject* series, PyObject* label, const char* table) {
    Ref dtype = getattr(series, N::dtype);
    bool numeric = type_test(L, N::is_numeric_dtype, dtype.get()) && !type_test(L, N::is_complex_dtype, dtype.get());
    if (!numeric && !type_test(L, N::is_datetime64_any_dtype, dtype.get()) &&
        !type_test(L, N::is_timedelta64_dtype, dtype.get())) {
        // Generators may hand numbers back in an object column; text is refused.
        Ref infer = getattr(L.types.get(), N::infer_dtype);
        Ref inferred = call(infer.get(), {series}, {kw(N::skipna, Py_True)});
        for (const char* ok : {"integer", "floating", "mixed-integer-float", "decimal", "empty", "boolean"})
            if (PyUnicode_CompareWithASCIIString(inferred.get(), ok) == 0) numeric = true;
        if (!numeric)
            raise(PyExc_TypeError, {"column '", label, "' of the ", table, " frame holds ", inferred,
                                    " values where numbers are expected"});
    } else if (!numeric) {
        raise(PyExc_TypeError, {"column '", label, "' of the ", table,
                                " frame holds datetimes or timedeltas where numbers are expected"});
    }
    Ref nan_value = require(PyFloat_FromDouble(nan));
    // A view of float64 columns without missing values, else a converted copy.
    return Values<double>(call_method(series, N::to_numpy, {}, {kw(N::dtype, name(N::float64)), kw(N::na_value, nan_value)}));
}

Values<int64_t> read_nanoseconds(PyObject* series, Kind kind) {
    Ref values = Ref::borrow(series);
    Ref dtype = getattr(series, N::dtype);
    if (kind == Kind::datetime && PyObject_HasAttr(dtype.get(), name(N::tz))) {
        Ref tz = getattr(dtype.get(), N::tz);
        if (tz.get() != Py_None) {
            // The instants as naive UTC.
            Ref accessor = getattr(series, N::dt);
            values = call_method(accessor.get(), N::tz_convert, {Py_None});
        }
    }
    Ref arr = call_method(values.get(), N::to_numpy,
                          {}, {kw(N::dtype, kind == Kind::datetime ? name(N::datetime64_ns) : name(N::timedelta64_ns))});
    return Values<int64_t>(call_method(arr.get(), N::view, {name(N::int64)}));
}

namespace {

// Arrow keeps the pages it freed for its next allocations; factorizing
// arrow-backed text leaves them behind, so they are handed back.
void release_arrow_pages() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* arrow = PyDict_GetItemString(modules, "pyarrow");  // borrowed; only if already imported
    if (arrow == nullptr) return;
    Ref pool_of = getattr(arrow, N::default_memory_pool);
    Ref pool = call(pool_of.get(), {});
    if (PyObject_HasAttr(pool.get(), name(N::release_unused))) call_method(pool.get(), N::release_unused, {});
}

// pd.factorize(obj): the codes (-1 missing) and the values as an object array.
std::vector<int32_t> factorize(const Libs& L, PyObject* obj, Ref& values) {
    Ref factorize = getattr(L.pd.get(), N::factorize);
    auto result = unpack2(call(factorize.get(), {obj}).get());
    Values<int64_t> codes(call_method(result.first.get(), N::astype, {name(N::int64)}, {kw(N::copy, Py_False)}));
    Ref asarray = getattr(L.np.get(), N::asarray);
    Ref object_type = builtin("object");
    values = call(asarray.get(), {result.second}, {kw(N::dtype, object_type)});
    std::vector<int32_t> out(codes.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int32_t>(codes[i]);
    return out;
}

}  // namespace

std::vector<std::vector<int32_t>> read_codes(const Libs& L, const std::vector<PyObject*>& series, Ref& uniques) {
    // Each series is coded on its own (cheap for any text dtype, arrow
    // included), then the few values of all are coded together, so that
    // text of any dtype compares by value.
    std::vector<std::vector<int32_t>> out;
    Ref parts = require(PyList_New(0));
    for (PyObject* s : series) {
        Ref values;
        out.push_back(factorize(L, s, values));
        require_ok(PyList_Append(parts.get(), values.get()));
    }
    release_arrow_pages();
    Ref concatenate = getattr(L.np.get(), N::concatenate);
    Ref all_values = call(concatenate.get(), {parts});
    const std::vector<int32_t> global = factorize(L, all_values.get(), uniques);
    size_t base = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        for (int32_t& code : out[i])
            if (code >= 0) code = global[base + static_cast<size_t>(code)];
        base += static_cast<size_t>(length(PyList_GET_ITEM(parts.get(), static_cast<Py_ssize_t>(i))));
    }
    return out;
}

Ref empty_array(const Libs& L, size_t n, const char* dtype) {
    Ref empty = getattr(L.np.get(), N::empty);
    Ref size = require(PyLong_FromSize_t(n));
    Ref type = text(dtype);
    return call(empty.get(), {size}, {kw(N::dtype, type)});
}

Ref int_array(const Libs& L, const std::vector<int64_t>& v) {
    Ref arr;
    std::copy(v.begin(), v.end(), new_array<int64_t>(L, v.size(), "int64", arr));
    return arr;
}

Ref object_array(const Libs& L, const std::vector<int32_t>& codes, PyObject* uniques) {
    Ref arr;
    PyObject** slots = new_array<PyObject*>(L, codes.size(), "object", arr);
    Buffer values(uniques, PyBUF_RECORDS_RO);
    for (size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] < 0) continue;  // numpy.empty leaves None there
        PyObject* value = values.at<PyObject*>(codes[i]);
        Py_INCREF(value);
        Py_XSETREF(slots[i], value);
    }
    return arr;
}

Ref make_frame(const Libs& L, const std::vector<std::pair<Ref, Ref>>& columns) {
    Ref data = require(PyDict_New());
    Ref labels = require(PyList_New(0));
    for (const auto& c : columns) {
        require_ok(PyDict_SetItem(data.get(), c.first.get(), c.second.get()));
        require_ok(PyList_Append(labels.get(), c.first.get()));
    }
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    return call(frame_type.get(), {data}, {kw(N::columns, labels), kw(N::copy, Py_False)});
}

}  // namespace seq
}  // namespace vt
