// Owning references and the one way C++ code reports "a Python error is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace vt {

// Thrown after a CPython call failed: the Python error indicator is already
// set, so the boundary only has to return the error value.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Move-only owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (the result of most C-API calls).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (e.g. as a return value to CPython).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Wraps a new reference, throwing when the call that made it failed.
inline Ref require(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return Ref::steal(p);
}

// For C-API calls that report failure as a negative int.
inline int require_ok(int status) {
    if (status < 0) throw_python_error();
    return status;
}

}  // namespace vt

// Closes a try block at an extern "C" entry point: no C++ exception may
// cross into the interpreter. Usage: try { ... } VT_BOUNDARY(nullptr)
#define VT_BOUNDARY(error_value)                                                   \
    catch (const ::vt::PythonError&) {                                             \
        return error_value;                                                        \
    }                                                                              \
    catch (const std::bad_alloc&) {                                                \
        PyErr_NoMemory();                                                          \
        return error_value;                                                        \
    }                                                                              \
    catch (const std::exception& e) {                                              \
        PyErr_Format(PyExc_SystemError, "internal error in veltrano.transformer: %s", e.what()); \
        return error_value;                                                        \
    }                                                                              \
    catch (...) {                                                                  \
        PyErr_SetString(PyExc_SystemError, "internal error in veltrano.transformer"); \
        return error_value;                                                        \
    }
