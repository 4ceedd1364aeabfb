#include "timeseries/function.hpp"

#include <structmember.h>

#include <array>
#include <cstring>

namespace vt {

namespace {

struct FunctionObject {
    PyObject_HEAD
    const MethodEntry* entry;
    PyObject* varnames;  // tuple of interned parameter names, self/cls first
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple or None
    PyObject* annotations;
    PyObject* globals;
    PyObject* dict;
    PyObject* weakreflist;
#if PY_VERSION_HEX >= 0x03080000
    vectorcallfunc vectorcall;
#endif
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// The name error messages start with, as the running interpreter words them.
PyObject* message_name(FunctionObject* f) {
#if PY_VERSION_HEX >= 0x030A0000
    return f->qualname;
#else
    return f->name;
#endif
}

void raise_too_many_positional(FunctionObject* f, Py_ssize_t given) {
    const Py_ssize_t argcount = static_cast<Py_ssize_t>(f->entry->nparams);
    const Py_ssize_t defcount = f->defaults && PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref sig;
    bool plural;
    if (defcount != 0) {
        plural = true;
        sig = require(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = require(PyUnicode_FromFormat("%zd", argcount));
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 message_name(f), sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void raise_missing(FunctionObject* f, const Ref& missing_names) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c': the interpreter's own wording.
    const Py_ssize_t n = PyList_GET_SIZE(missing_names.get());
    Ref joined;
    if (n == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(missing_names.get(), 0));
    } else {
        Ref tail = require(PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U",
                                                PyList_GET_ITEM(missing_names.get(), n - 2),
                                                PyList_GET_ITEM(missing_names.get(), n - 1)));
        Ref head = require(PyList_GetSlice(missing_names.get(), 0, n - 2));
        require_ok(PyList_Append(head.get(), tail.get()));
        Ref sep = text(", ");
        joined = require(PyUnicode_Join(sep.get(), head.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", message_name(f),
                 n, n == 1 ? "" : "s", joined.get());
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_parameter(FunctionObject* f, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(f->varnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(f->varnames, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->varnames, i), key, Py_EQ);
        if (eq < 0) throw_python_error();
        if (eq) return i;
    }
    return -1;
}

// The arguments of one call, bound to the parameters in order.
using Bound = std::array<Ref, max_params>;

// Binds one keyword argument; false with the exception set when it names no
// parameter or one already bound.
bool bind_keyword(FunctionObject* f, Bound& bound, PyObject* key, PyObject* value) {
    // Comparing a str subclass runs its __eq__, which may empty the kwargs
    // dict: hold the key and the value while they are in use.
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", message_name(f));
        return false;
    }
    const Py_ssize_t i = find_parameter(f, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", message_name(f), key);
        return false;
    }
    if (bound[i]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", message_name(f), key);
        return false;
    }
    bound[i] = std::move(held_value);
    return true;
}

// Fills the unbound trailing parameters from __defaults__, read now as
// CPython does, so a reassigned tuple takes effect; false with the exception
// set when a parameter without a default is left.
bool bind_defaults(FunctionObject* f, Bound& bound) {
    const Py_ssize_t argcount = static_cast<Py_ssize_t>(f->entry->nparams);
    // Held: a collection below may run a finalizer that reassigns it again.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t defcount = defaults && PyTuple_Check(defaults.get()) ? PyTuple_GET_SIZE(defaults.get()) : 0;
    Ref missing;
    for (Py_ssize_t i = 0; i < argcount; ++i) {
        if (bound[i]) continue;
        const Py_ssize_t d = i - (argcount - defcount);
        if (d >= 0) {
            bound[i] = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), d));
            continue;
        }
        if (!missing) missing = require(PyList_New(0));
        Ref quoted = require(PyUnicode_FromFormat("'%U'", PyTuple_GET_ITEM(f->varnames, i)));
        require_ok(PyList_Append(missing.get(), quoted.get()));
    }
    if (missing) raise_missing(f, missing);
    return !missing;
}

// Parameters annotated "str" take exactly a str, or None.
bool check_text_arguments(const MethodEntry& entry, const Bound& bound) {
    for (size_t i = 0; i < entry.nparams; ++i) {
        const char* annotation = entry.params[i].annotation;
        if (annotation == nullptr || std::strcmp(annotation, "str") != 0) continue;
        PyObject* v = bound[i].get();
        if (v == Py_None || PyUnicode_CheckExact(v)) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     entry.params[i].name, "str", Py_TYPE(v)->tp_name);
        return false;
    }
    return true;
}

// Binds the positional arguments and then each keyword argument that
// `next_keyword(key, value)` hands out, and runs the body.
template <class Keywords>
PyObject* bind_and_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, Keywords next_keyword) {
    try {
        FunctionObject* f = as_function(self);
        if (f->globals == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "the function was cleared by the garbage collector");
            return nullptr;
        }
        if (nargs > static_cast<Py_ssize_t>(f->entry->nparams)) {
            raise_too_many_positional(f, nargs);
            return nullptr;
        }
        Bound bound;
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = Ref::borrow(args[i]);
        PyObject* key;
        PyObject* value;
        while (next_keyword(key, value))
            if (!bind_keyword(f, bound, key, value)) return nullptr;
        if (!bind_defaults(f, bound) || !check_text_arguments(*f->entry, bound)) return nullptr;

        std::array<PyObject*, max_params> raw{};
        for (size_t i = 0; i < f->entry->nparams; ++i) raw[i] = bound[i].get();
        // Hold the globals: the body may run code that rebinds the module.
        Ref globals = Ref::borrow(f->globals);
        return f->entry->impl(raw.data(), globals.get()).release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t pos = 0;
    auto next_keyword = [&](PyObject*& key, PyObject*& value) {
        return kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value);
    };
    return bind_and_run(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), next_keyword);
}

#if PY_VERSION_HEX >= 0x03080000
// Calls from a vector of arguments, keyword values after the positional ones,
// without the tuple and dict of tp_call.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    Py_ssize_t k = 0;
    return bind_and_run(self, args, nargs, [&](PyObject*& key, PyObject*& value) {
        if (k == nkw) return false;
        key = PyTuple_GET_ITEM(kwnames, k);
        value = args[nargs + k++];
        return true;
    });
}
#endif

PyObject* function_descr_get(PyObject* func, PyObject* obj, PyObject* /*type*/) {
    if (obj == Py_None || obj == nullptr) {
        Py_INCREF(func);
        return func;
    }
    return PyMethod_New(func, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->varnames);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

// Breaks cycles through the globals, the defaults and the attributes. The
// names become empty rather than NULL, as CPython's functions do: repr and
// the getters may still run on a cleared function.
void clear_references(FunctionObject* f) {
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_INCREF(name(N::empty_text));
    Py_SETREF(f->name, name(N::empty_text));
    Py_INCREF(name(N::empty_text));
    Py_SETREF(f->qualname, name(N::empty_text));
    clear_references(f);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    FunctionObject* f = as_function(self);
    clear_references(f);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_TYPE(self)->tp_free(self);
}

// Setters that keep the attribute types CPython's functions insist on.
int set_text_attr(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    Py_INCREF(as_function(self)->name);
    return as_function(self)->name;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_attr(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_attr(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    if (defaults == nullptr) defaults = Py_None;
    Py_INCREF(defaults);
    return defaults;
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(as_function(self)->defaults, value);
    return 0;
}
// A new reference to the dict in `slot`, made empty on first use.
PyObject* lazy_dict(PyObject*& slot) {
    if (slot == nullptr) {
        slot = PyDict_New();
        if (slot == nullptr) return nullptr;
    }
    Py_INCREF(slot);
    return slot;
}
PyObject* get_annotations(PyObject* self, void*) { return lazy_dict(as_function(self)->annotations); }
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(as_function(self)->annotations, value);
    return 0;
}
PyObject* get_dict(PyObject* self, void*) { return lazy_dict(as_function(self)->dict); }

// inspect.signature() and help() read the real signature from here.
PyObject* get_signature(PyObject* self, void*) {
    try {
        FunctionObject* f = as_function(self);
        const MethodEntry& entry = *f->entry;
        Ref inspect = require(PyImport_ImportModule("inspect"));
        Ref parameter_type = require(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature_type = require(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref kind = require(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
        Ref params = require(PyList_New(0));
        const Py_ssize_t argcount = static_cast<Py_ssize_t>(entry.nparams);
        // Held: the Parameter calls below run Python code.
        Ref defaults = Ref::borrow(f->defaults);
        Ref annotations = f->annotations ? Ref::borrow(f->annotations) : new_dict();
        const Py_ssize_t defcount = defaults && PyTuple_Check(defaults.get()) ? PyTuple_GET_SIZE(defaults.get()) : 0;
        for (Py_ssize_t i = 0; i < argcount; ++i) {
            PyObject* pname = PyTuple_GET_ITEM(f->varnames, i);
            Ref kwargs = require(PyDict_New());
            const Py_ssize_t d = i - (argcount - defcount);
            if (d >= 0) require_ok(PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(defaults.get(), d)));
            PyObject* annotation = PyDict_GetItemWithError(annotations.get(), pname);
            if (annotation == nullptr && PyErr_Occurred()) throw_python_error();
            if (annotation != nullptr) require_ok(PyDict_SetItemString(kwargs.get(), "annotation", annotation));
            Ref args = new_tuple({pname, kind});
            Ref p = require(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
            require_ok(PyList_Append(params.get(), p.get()));
        }
        Ref kwargs = require(PyDict_New());
        PyObject* ret = PyDict_GetItemWithError(annotations.get(), name(N::return_));
        if (ret == nullptr && PyErr_Occurred()) throw_python_error();
        if (ret != nullptr) require_ok(PyDict_SetItemString(kwargs.get(), "return_annotation", ret));
        Ref args = new_tuple({params});
        return require(PyObject_Call(signature_type.get(), args.get(), kwargs.get())).release();
    }
    VT_BOUNDARY(nullptr)
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("__defaults__"), get_defaults, set_defaults, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
    {const_cast<char*>("__dict__"), get_dict, PyObject_GenericSetDict, nullptr, nullptr},
    {const_cast<char*>("__signature__"), get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {const_cast<char*>("__globals__"), T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{};
    reinterpret_cast<PyObject*>(&t)->ob_refcnt = 1;
    t.tp_name = "veltrano.transformer.timeseries.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX >= 0x03080000
    // Looked up on an instance, it is called with the instance first and no
    // bound method is made, as for Python functions.
    t.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
#if PY_VERSION_HEX >= 0x03090000
    t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#else
    t.tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
#endif
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

Ref default_value(const Default& d) {
    switch (d.kind) {
        case Default::none: return Ref::borrow(Py_None);
        case Default::integer: return integer(d.integer_value);
        case Default::text: return require(PyUnicode_InternFromString(d.text_value));
        case Default::required: break;
    }
    return Ref();
}

}  // namespace

bool ready_function_type() { return PyType_Ready(&function_type) == 0; }

bool is_own_method(PyObject* bound, PyObject* self, Method method) {
    if (!PyMethod_Check(bound) || PyMethod_GET_SELF(bound) != self) return false;
    PyObject* func = PyMethod_GET_FUNCTION(bound);
    return Py_TYPE(func) == &function_type && as_function(func)->entry->method == method;
}

Ref new_function(const MethodEntry& entry, PyObject* module_name, PyObject* globals) {
    Ref varnames = require(PyTuple_New(static_cast<Py_ssize_t>(entry.nparams)));
    Ref annotations = require(PyDict_New());
    Ref defaults_list = require(PyList_New(0));
    for (size_t i = 0; i < entry.nparams; ++i) {
        const ParamEntry& p = entry.params[i];
        PyObject* pname = PyUnicode_InternFromString(p.name);
        if (pname == nullptr) throw_python_error();
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), pname);
        if (p.annotation != nullptr) {
            Ref a = text(p.annotation);
            require_ok(PyDict_SetItem(annotations.get(), pname, a.get()));
        }
        if (p.default_.kind != Default::required) {
            Ref d = default_value(p.default_);
            require_ok(PyList_Append(defaults_list.get(), d.get()));
        }
    }
    if (entry.return_annotation != nullptr) {
        Ref a = text(entry.return_annotation);
        require_ok(PyDict_SetItem(annotations.get(), name(N::return_), a.get()));
    }
    Ref defaults = PyList_GET_SIZE(defaults_list.get()) != 0 ? require(PyList_AsTuple(defaults_list.get()))
                                                             : Ref::borrow(Py_None);
    Ref fname = text(entry.name);
    Ref qualname = require(PyUnicode_FromFormat("TimeseriesDifferenceTransformer.%s", entry.name));
    Ref doc = entry.doc != nullptr ? text(entry.doc) : Ref::borrow(Py_None);

    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (f == nullptr) throw_python_error();
    f->entry = &entry;
    f->varnames = varnames.release();
    f->name = fname.release();
    f->qualname = qualname.release();
    f->module = Ref::borrow(module_name).release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->annotations = annotations.release();
    f->globals = Ref::borrow(globals).release();
    f->dict = nullptr;
    f->weakreflist = nullptr;
#if PY_VERSION_HEX >= 0x03080000
    f->vectorcall = function_vectorcall;
#endif
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace vt
