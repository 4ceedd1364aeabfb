// The native function type of the class's methods, modelled on CPython's own
// function object: attributes, __get__ binding and Python-like argument binding.
#pragma once

#include "module/method_table.hpp"

namespace vt {

// Readies the type once; false with an exception set on failure.
bool ready_function_type();

// A new function object for one method of the table, reading `pd` and other
// globals from `globals` (the module's dict) when its body runs.
Ref new_function(const MethodEntry& spec, PyObject* module_name, PyObject* globals);

// The body behind `bound` when it is one of our functions bound to `self`
// (what looking a method up on an instance gives unless something replaced
// it); nullptr for anything else.
Impl bound_native_body(PyObject* bound, PyObject* self);

}  // namespace vt
