// The class's methods as the module builds them, generated from methods.def:
// each one's entry, its argument struct and its body.
#pragma once

#include "timeseries/names.hpp"

#include <cstddef>

namespace vt {

// The bound arguments of one call, handed out in parameter order (self or
// cls first) to the members of a method's argument struct, and the module
// globals the body reads `pd` from.
class MethodArgs {
public:
    MethodArgs(PyObject* const* bound, PyObject* globals) : globals(globals), next_(bound) {}
    Ref pd() const { return global(globals, N::pd); }

    PyObject* const globals;

protected:
    PyObject* take() { return *next_++; }

private:
    PyObject* const* next_;
};

#define VT_SELF_instance PyObject* const self = take();
#define VT_SELF_classmethod PyObject* const cls = take();

// One struct per method, its members named as its parameters: a.df_l.
namespace args {
#define VT_METHOD(id, name, kind, returns, doc) \
    struct id : MethodArgs {                          \
        using MethodArgs::MethodArgs;                       \
        VT_SELF_##kind
#define VT_PARAM(parameter, annotation, default_) PyObject* const parameter = take();
#define VT_END \
    }          \
    ;
#include "timeseries/methods.def"
#undef VT_METHOD
#undef VT_PARAM
#undef VT_END
}  // namespace args

#undef VT_SELF_instance
#undef VT_SELF_classmethod

// The bodies, each in the folder of its subsystem.
namespace body {
#define VT_METHOD(id, name, kind, returns, doc) Ref id(const args::id& a);
#define VT_PARAM(parameter, annotation, default_)
#define VT_END
#include "timeseries/methods.def"
#undef VT_METHOD
#undef VT_PARAM
#undef VT_END

// _undiff_continuous_columns for a caller that drops the difference columns
// right after: those may then be left unseeded where the restored values can
// be had without them.
Ref undiff_continuous_columns_discarding_differences(const args::_undiff_continuous_columns& a);
}  // namespace body

// Which method of the table a function object runs.
enum class Method {
#define VT_METHOD(id, name, kind, returns, doc) id,
#define VT_PARAM(parameter, annotation, default_)
#define VT_END
#include "timeseries/methods.def"
#undef VT_METHOD
#undef VT_PARAM
#undef VT_END
};

enum class Kind { instance, classmethod };

struct Default {
    enum { required, none, integer, text } kind = required;
    long long integer_value = 0;
    const char* text_value = nullptr;
};

struct ParamEntry {
    const char* name;
    const char* annotation;  // nullptr: none
    Default default_;
};

// The most parameters a method has, self/cls included.
constexpr size_t max_params = 8;

// Runs a body on the bound arguments (self/cls first).
using Impl = Ref (*)(PyObject* const* bound, PyObject* globals);

struct MethodEntry {
    Method method;
    const char* name;
    Kind kind;
    const ParamEntry* params;  // self/cls included
    size_t nparams;
    const char* return_annotation;  // nullptr: none
    const char* doc;                // nullptr: no documentation
    Impl impl;
};

// The class's methods in class-body order, and the class documentation.
extern const MethodEntry method_table[];
extern const size_t method_count;
extern const char* const class_doc;

}  // namespace vt
