// Native views of numpy arrays and the dtype tests the fast paths rest on.
#pragma once

#include "common/py.hpp"

#include <cstdint>
#include <cstring>

namespace vt {

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
    void* data() const { return view_.buf; }
    Py_ssize_t stride() const { return view_.strides[0]; }
    template <class T>
    T& at(Py_ssize_t i) const {
        return *reinterpret_cast<T*>(static_cast<char*>(view_.buf) + i * view_.strides[0]);
    }

private:
    Py_buffer view_;
};

// str(obj.dtype) is exactly dtype_name: a Series, an Index or a numpy array.
inline bool dtype_is(PyObject* obj, const char* dtype_name) {
    Ref dtype = getattr(obj, "dtype");
    Ref shown = require(PyObject_Str(dtype.get()));
    return PyUnicode_CompareWithASCIIString(shown.get(), dtype_name) == 0;
}

}  // namespace vt
