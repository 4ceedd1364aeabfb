#include "common/py.hpp"

#include <array>
#include <cstdlib>
#include <vector>

namespace vt {

bool intern_names(const char* const* texts, PyObject** objects, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (objects[i] != nullptr) continue;
        objects[i] = PyUnicode_InternFromString(texts[i]);
        if (objects[i] == nullptr) return false;
    }
    return true;
}

Ref getattr(PyObject* obj, N n) { return require(PyObject_GetAttr(obj, name(n))); }

Ref getattr(PyObject* obj, const char* attribute) {
    Ref key = require(PyUnicode_InternFromString(attribute));
    return require(PyObject_GetAttr(obj, key.get()));
}

void setattr(PyObject* obj, N n, PyObject* value) {
    require_ok(PyObject_SetAttr(obj, name(n), value));
}

namespace {

#if PY_VERSION_HEX >= 0x03080000
Ref vector_call(PyObject* callable, Args args, Kwargs kwargs) {
    const size_t nargs = args.size();
    const size_t total = nargs + kwargs.size();
    // One spare slot in front lets the callee prepend a bound self for free.
    std::array<PyObject*, 17> small;
    std::vector<PyObject*> large;
    PyObject** stack = small.data();
    if (total + 1 > small.size()) {
        large.resize(total + 1);
        stack = large.data();
    }
    size_t i = 1;
    for (const Arg& a : args) stack[i++] = a.p;
    Ref kwnames;
    if (kwargs.size() != 0) {
        kwnames = require(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t k = 0;
        for (const Kw& kv : kwargs) {
            Py_INCREF(kv.key);
            PyTuple_SET_ITEM(kwnames.get(), k++, kv.key);
            stack[i++] = kv.value;
        }
    }
#if PY_VERSION_HEX >= 0x03090000
    return require(PyObject_Vectorcall(callable, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwnames.get()));
#else
    return require(_PyObject_Vectorcall(callable, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        kwnames.get()));
#endif
}
#else
// 3.7 has no public vectorcall: build the tuple and dict.
Ref vector_call(PyObject* callable, Args args, Kwargs kwargs) {
    Ref tuple = new_tuple(args);
    Ref dict;
    if (kwargs.size() != 0) {
        dict = require(PyDict_New());
        for (const Kw& kv : kwargs) require_ok(PyDict_SetItem(dict.get(), kv.key, kv.value));
    }
    return require(PyObject_Call(callable, tuple.get(), dict.get()));
}
#endif

}  // namespace

Ref call(PyObject* callable, Args args, Kwargs kwargs) { return vector_call(callable, args, kwargs); }

Ref call_method(PyObject* obj, N n, Args args, Kwargs kwargs) {
    Ref bound = getattr(obj, n);
    return vector_call(bound.get(), args, kwargs);
}

Ref getitem(PyObject* obj, Arg key) { return require(PyObject_GetItem(obj, key.p)); }

void setitem(PyObject* obj, Arg key, Arg value) {
    // The statement `obj[key] = value` of a Python body holds a reference of its
    // own to obj; pandas reads the count to spot chained assignment and would
    // warn about every store made from here without it.
    Ref statement_ref = Ref::borrow(obj);
    require_ok(PyObject_SetItem(statement_ref.get(), key.p, value.p));
}

bool contains(PyObject* container, Arg item) {
    return require_ok(PySequence_Contains(container, item.p)) == 1;
}

bool truthy(PyObject* obj) { return require_ok(PyObject_IsTrue(obj)) == 1; }

Py_ssize_t length(PyObject* obj) {
    Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) throw_python_error();
    return n;
}

Ref text(const char* s) { return require(PyUnicode_FromString(s)); }

Ref integer(long long v) { return require(PyLong_FromLongLong(v)); }

namespace {

// A new list or tuple (made by `make` with room for the items) holding them.
template <class Make, class Store>
Ref holding(Args items, Make make, Store store) {
    Ref sequence = require(make(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Arg& a : items) {
        Py_INCREF(a.p);
        store(sequence.get(), i++, a.p);
    }
    return sequence;
}

}  // namespace

Ref new_list(Args items) {
    return holding(items, PyList_New, [](PyObject* list, Py_ssize_t i, PyObject* v) { PyList_SET_ITEM(list, i, v); });
}

Ref new_tuple(Args items) {
    return holding(items, PyTuple_New, [](PyObject* tuple, Py_ssize_t i, PyObject* v) { PyTuple_SET_ITEM(tuple, i, v); });
}

Ref new_dict(std::initializer_list<std::pair<Arg, Arg>> items) {
    Ref dict = require(PyDict_New());
    for (const auto& kv : items) require_ok(PyDict_SetItem(dict.get(), kv.first.p, kv.second.p));
    return dict;
}

Ref list_concat(PyObject* a, PyObject* b) { return require(PySequence_Concat(a, b)); }

Ref format_text(PyObject* obj) { return require(PyObject_Format(obj, nullptr)); }

Ref build_message(std::initializer_list<Piece> pieces) {
    Ref parts = require(PyList_New(0));
    for (const Piece& p : pieces) {
        Ref part = p.literal != nullptr ? text(p.literal) : format_text(p.value);
        require_ok(PyList_Append(parts.get(), part.get()));
    }
    Ref empty = require(PyUnicode_FromStringAndSize("", 0));
    return require(PyUnicode_Join(empty.get(), parts.get()));
}

void fail_assertion(std::initializer_list<Piece> pieces) {
    Ref message = build_message(pieces);
    PyErr_SetObject(PyExc_AssertionError, message.get());
    throw_python_error();
}

bool dtype_kind_is(PyObject* obj, const char* kind) {
    Ref dtype = getattr(obj, "dtype");
    Ref actual = getattr(dtype.get(), "kind");
    Ref expected = text(kind);
    return truthy(require(PyObject_RichCompare(actual.get(), expected.get(), Py_EQ)).get());
}

bool is_text_dtype(PyObject* pd, PyObject* dtype) {
    Ref object_code = text("O");
    if (truthy(require(PyObject_RichCompare(dtype, object_code.get(), Py_EQ)).get())) return true;
    for (const char* type_name : {"StringDtype", "CategoricalDtype"}) {
        Ref type = getattr(pd, type_name);
        if (require_ok(PyObject_IsInstance(dtype, type.get()))) return true;
    }
    return false;
}

long pandas_major_version(PyObject* pd) {
    Ref version = getattr(pd, "__version__");
    const char* digits = PyUnicode_AsUTF8(version.get());
    if (digits == nullptr) throw_python_error();
    return std::strtol(digits, nullptr, 10);
}

bool claim_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    PyInterpreterState* current = PyThreadState_GetInterpreter(PyThreadState_Get());
#else
    PyInterpreterState* current = PyThreadState_Get()->interp;
#endif
    static PyInterpreterState* home = current;
    if (home == current) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) return true;
    Ref level = getattr(flags, "optimize");
    return !truthy(level.get());
}

std::pair<Ref, Ref> unpack2(PyObject* obj) {
    Ref first, second;
    Py_ssize_t count = 0;
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        count = PySequence_Fast_GET_SIZE(obj);
        if (count == 2) {
            PyObject** items = PySequence_Fast_ITEMS(obj);
            return {Ref::borrow(items[0]), Ref::borrow(items[1])};
        }
    } else {
        Ref it = require(PyObject_GetIter(obj));
        Ref extra;
        Ref* slots[] = {&first, &second, &extra};
        for (Ref* slot : slots) {
            PyObject* item = PyIter_Next(it.get());
            if (item == nullptr) {
                if (PyErr_Occurred()) throw_python_error();
                break;
            }
            *slot = Ref::steal(item);
            ++count;
        }
        if (count == 2) return {std::move(first), std::move(second)};
    }
    if (count > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                     count == 1 ? "" : "s");
    }
    throw_python_error();
}

Ref global(PyObject* globals, N n) {
    PyObject* value = PyDict_GetItemWithError(globals, name(n));  // borrowed
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) throw_python_error();
    // Fall back to builtins, as a Python function's global lookup does.
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    value = builtins != nullptr ? PyDict_GetItemWithError(builtins, name(n)) : nullptr;
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(n));
    throw_python_error();
}

Ref module_function(const char* module, const char* function) {
    Ref imported = require(PyImport_ImportModule(module));
    return getattr(imported.get(), function);
}

Ref builtin(const char* s) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* value = builtins != nullptr ? PyDict_GetItemString(builtins, s) : nullptr;
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", s);
        throw_python_error();
    }
    return Ref::borrow(value);
}

}  // namespace vt
