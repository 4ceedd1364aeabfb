// What the class body declares for each method: name, kind, parameters with
// their defaults and annotations, return annotation, doc and implementation.
#pragma once

#include "common/py.hpp"

#include <cstddef>

namespace vt {

// The bound arguments of one call, in parameter order (self or cls first),
// and the module globals the body reads `pd` from.
struct Frame {
    PyObject* const* args;
    PyObject* globals;

    PyObject* arg(size_t i) const { return args[i]; }
    Ref pd() const { return global(globals, N::pd); }
};

using Impl = Ref (*)(const Frame&);

enum class Kind { instance, klass };

enum class DefaultKind { none_, null_value, integer, text };

struct ParamEntry {
    const char* name;
    const char* annotation = nullptr;  // stored as a string, never evaluated
    DefaultKind default_kind = DefaultKind::none_;
    long long default_int = 0;
    const char* default_text = nullptr;
};

// Parameter helpers that keep the method table readable.
constexpr ParamEntry param(const char* n, const char* annotation = nullptr) {
    return ParamEntry{n, annotation, DefaultKind::none_, 0, nullptr};
}
constexpr ParamEntry param_none(const char* n, const char* annotation = nullptr) {
    return ParamEntry{n, annotation, DefaultKind::null_value, 0, nullptr};
}
constexpr ParamEntry param_int(const char* n, long long v) {
    return ParamEntry{n, nullptr, DefaultKind::integer, v, nullptr};
}
constexpr ParamEntry param_text(const char* n, const char* v, const char* annotation = nullptr) {
    return ParamEntry{n, annotation, DefaultKind::text, 0, v};
}

constexpr size_t max_params = 8;

struct MethodEntry {
    const char* name;
    Kind kind;
    size_t nparams;  // self/cls included
    ParamEntry params[max_params];
    const char* return_annotation;  // nullptr: none
    const char* doc;                // nullptr: no documentation
    Impl impl;
};

// The class's methods in class-body order, and the class documentation.
extern const MethodEntry method_table[];
extern const size_t method_count;
extern const char* const class_doc;

}  // namespace vt
