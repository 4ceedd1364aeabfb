// Columns in and out: dtype kinds, native arrays from pandas columns, and new
// numpy arrays and frames from native ones.
#include "sequences/seq.hpp"

namespace vt {
namespace seq {

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

namespace {

// A one-dimensional array of `format`, copied out of arr.
template <class T>
std::vector<T> copy_out(PyObject* arr, const char* format) {
    Buffer b(arr, PyBUF_RECORDS_RO);
    if (!(format[0] == 'q' ? b.holds_int64() : b.holds(format, sizeof(T))))
        raise(PyExc_SystemError, {"unexpected array layout"});
    std::vector<T> out(static_cast<size_t>(b.size()));
    for (Py_ssize_t i = 0; i < b.size(); ++i) out[static_cast<size_t>(i)] = b.at<T>(i);
    return out;
}

}  // namespace

std::vector<double> read_numbers(const Libs& L, PyObject* series, PyObject* label, const char* table) {
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
    Ref arr = call_method(series, N::to_numpy, {}, {kw(N::dtype, N::float64), kw(N::na_value, nan_value)});
    return copy_out<double>(arr.get(), "d");
}

std::vector<int64_t> read_nanoseconds(const Libs& L, PyObject* series, Kind kind) {
    (void)L;
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
                          {}, {kw(N::dtype, kind == Kind::datetime ? N::datetime64_ns : N::timedelta64_ns)});
    Ref ints = call_method(arr.get(), N::view, {N::int64});
    return copy_out<int64_t>(ints.get(), "q");
}

namespace {

// pd.factorize(obj): the codes (-1 missing) and the values as an object array.
std::vector<int64_t> factorize(const Libs& L, PyObject* obj, Ref& values) {
    Ref factorize = getattr(L.pd.get(), N::factorize);
    auto result = unpack2(call(factorize.get(), {obj}).get());
    Ref codes_arr = call_method(result.first.get(), N::astype, {N::int64});
    Ref asarray = getattr(L.np.get(), N::asarray);
    Ref object_type = builtin("object");
    values = call(asarray.get(), {result.second}, {kw(N::dtype, object_type)});
    return copy_out<int64_t>(codes_arr.get(), "q");
}

}  // namespace

std::vector<std::vector<int32_t>> read_codes(const Libs& L, const std::vector<PyObject*>& series, Ref& uniques) {
    // Each series is coded on its own (cheap for any text dtype, arrow
    // included), then the few values of all are coded together, so that
    // text of any dtype compares by value.
    std::vector<std::vector<int64_t>> local;
    Ref parts = require(PyList_New(0));
    for (PyObject* s : series) {
        Ref values;
        local.push_back(factorize(L, s, values));
        require_ok(PyList_Append(parts.get(), values.get()));
    }
    Ref concatenate = getattr(L.np.get(), N::concatenate);
    Ref all_values = call(concatenate.get(), {parts});
    const std::vector<int64_t> global = factorize(L, all_values.get(), uniques);
    std::vector<std::vector<int32_t>> out;
    size_t base = 0;
    for (size_t i = 0; i < local.size(); ++i) {
        std::vector<int32_t> codes(local[i].size());
        for (size_t r = 0; r < codes.size(); ++r)
            codes[r] = local[i][r] < 0 ? -1 : static_cast<int32_t>(global[base + static_cast<size_t>(local[i][r])]);
        base += static_cast<size_t>(length(PyList_GET_ITEM(parts.get(), static_cast<Py_ssize_t>(i))));
        out.push_back(std::move(codes));
    }
    return out;
}

Ref new_array(const Libs& L, Py_ssize_t n, const char* dtype) {
    Ref empty = getattr(L.np.get(), N::empty);
    Ref size = require(PyLong_FromSsize_t(n));
    Ref type = text(dtype);
    return call(empty.get(), {size}, {kw(N::dtype, type)});
}

Ref float_array(const Libs& L, const std::vector<double>& v) {
    Ref arr = new_array(L, static_cast<Py_ssize_t>(v.size()), "float64");
    Buffer b(arr.get(), PyBUF_RECORDS);
    for (size_t i = 0; i < v.size(); ++i) b.at<double>(static_cast<Py_ssize_t>(i)) = v[i];
    return arr;
}

Ref int_array(const Libs& L, const std::vector<int64_t>& v) {
    Ref arr = new_array(L, static_cast<Py_ssize_t>(v.size()), "int64");
    Buffer b(arr.get(), PyBUF_RECORDS);
    for (size_t i = 0; i < v.size(); ++i) b.at<int64_t>(static_cast<Py_ssize_t>(i)) = v[i];
    return arr;
}

Ref object_array(const Libs& L, const std::vector<int32_t>& codes, PyObject* uniques) {
    Ref arr = new_array(L, static_cast<Py_ssize_t>(codes.size()), "object");
    Buffer values(uniques, PyBUF_RECORDS_RO);
    Buffer b(arr.get(), PyBUF_RECORDS);
    for (size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] < 0) continue;  // numpy.empty leaves None there
        PyObject* value = values.at<PyObject*>(codes[i]);
        PyObject*& slot = b.at<PyObject*>(static_cast<Py_ssize_t>(i));
        Py_INCREF(value);
        Py_XSETREF(slot, value);
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
