// The native function type of the class's methods, modelled on CPython's own
// function object: attributes, __get__ binding and Python-like argument binding.
#pragma once

#include "timeseries/method_table.hpp"

namespace vt {

// Readies the type once; false with an exception set on failure.
bool ready_function_type();

// A new function object for one method of the table, reading `pd` and other
// globals from `globals` (the module's dict) when its body runs.
Ref new_function(const MethodEntry& entry, PyObject* module_name, PyObject* globals);

// Whether `bound` is our function of `method` bound to `self`: what looking
// the method up gives unless a subclass or an assignment replaced it.
bool is_own_method(PyObject* bound, PyObject* self, Method method);

}  // namespace vt
