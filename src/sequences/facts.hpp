// Reading the facts dictionaries: small, picklable, reducible summaries of
// the real data from which the model is derived.
#pragma once

#include "sequences/seq.hpp"

namespace vt {
namespace seq {

class FactsView {
public:
    explicit FactsView(PyObject* dict) : dict_(dict) {
        if (!PyDict_Check(dict)) raise(PyExc_TypeError, {"facts must be a dict"});
    }
    Ref item(N key) const {
        PyObject* v = PyDict_GetItemWithError(dict_, name(key));  // borrowed
        if (v == nullptr) {
            if (!PyErr_Occurred()) raise(PyExc_KeyError, {"the facts lack '", name(key), "'"});
            throw_python_error();
        }
        return Ref::borrow(v);
    }
    int64_t i64(N key) const {
        Ref v = item(key);
        const long long x = PyLong_AsLongLong(v.get());
        if (x == -1 && PyErr_Occurred()) throw_python_error();
        return x;
    }
    uint64_t u64(N key) const {
        Ref v = item(key);
        const unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
        if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
        return x;
    }
    // None reads as NaN.
    double f64(N key) const {
        Ref v = item(key);
        if (v.get() == Py_None) return nan;
        const double x = PyFloat_AsDouble(v.get());
        if (x == -1.0 && PyErr_Occurred()) throw_python_error();
        return x;
    }

private:
    PyObject* dict_;
};

}  // namespace seq
}  // namespace vt
