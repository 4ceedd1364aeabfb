// Multi-phase initialisation and the module body.
#include "timeseries/function.hpp"

namespace vt {

namespace {

// The module object once its body has run, kept for the life of the process.
PyObject* initialised_module = nullptr;
// Set when create handed back the initialised module to a repeated import, so
// the exec that follows has nothing to do.
bool handed_back = false;

void bind(PyObject* globals, const char* key, PyObject* value) {
    require_ok(PyDict_SetItemString(globals, key, value));
}

// The module body: the names it binds, in order, and the class.
void run_body(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (globals == nullptr) throw_python_error();
    Ref module_name = require(PyModule_GetNameObject(module));

    Ref logging = require(PyImport_ImportModule("logging"));
    bind(globals, "logging", logging.get());

    Ref typing = require(PyImport_ImportModule("typing"));
    for (const char* n : {"Dict", "List", "Tuple"}) {
        Ref obj = require(PyObject_GetAttrString(typing.get(), n));
        bind(globals, n, obj.get());
    }

    Ref pandas = require(PyImport_ImportModule("pandas"));
    bind(globals, "pd", pandas.get());

    Ref logger = call_method(logging.get(), N::getLogger, {module_name});
    bind(globals, "logger", logger.get());

    Ref qualname = text("TimeseriesDifferenceTransformer");
    Ref doc = text(class_doc);
    Ref ns = new_dict({{name(N::dunder_module), module_name}, {name(N::dunder_qualname), qualname}, {name(N::dunder_doc), doc}});
    for (size_t i = 0; i < method_count; ++i) {
        const MethodEntry& entry = method_table[i];
        Ref fn = new_function(entry, module_name.get(), globals);
        if (entry.kind == Kind::classmethod) fn = require(PyClassMethod_New(fn.get()));
        require_ok(PyDict_SetItemString(ns.get(), entry.name, fn.get()));
    }
    Ref bases = new_tuple({});
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {qualname, bases, ns});
    bind(globals, "TimeseriesDifferenceTransformer", cls.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    try {
        if (!claim_interpreter()) return nullptr;
        if (initialised_module != nullptr) {
            handed_back = true;
            Py_INCREF(initialised_module);
            return initialised_module;
        }
        Ref module_name = require(PyObject_GetAttrString(spec, "name"));
        return require(PyModule_NewObject(module_name.get())).release();
    }
    VT_BOUNDARY(nullptr)
}

int module_exec(PyObject* module) {
    try {
        if (initialised_module != nullptr) {
            if (handed_back && module == initialised_module) {
                handed_back = false;
                return 0;
            }
            PyErr_SetString(PyExc_RuntimeError,
                            "Module 'timeseries' has already been imported. Re-initialisation is not "
                            "supported.");
            return -1;
        }
        if (!init_names() || !ready_function_type()) return -1;
        run_body(module);
        Py_INCREF(module);
        initialised_module = module;
        return 0;
    }
    VT_BOUNDARY(-1)
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "timeseries",
    nullptr,  // no module docstring
    0,        // no per-module state
    nullptr,  // no module-level functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vt

PyMODINIT_FUNC PyInit_timeseries(void) { return PyModuleDef_Init(&vt::module_def); }
