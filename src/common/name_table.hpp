// An extension's interned names, from its own list of
// VT_NAME(identifier, "text") entries: N::<identifier> for each. The
// extension's names header defines VT_NAME_LIST (the list's include path)
// and includes this file; the one source file that defines VT_NAME_TABLE
// before that header gets the table and the functions common/py.hpp declares.
#pragma once

#include "common/py.hpp"

#ifndef VT_NAME_LIST
#error "define VT_NAME_LIST as the include path of the extension's list of names"
#endif

namespace vt {

enum class N : int {
#define VT_NAME(id, text) id,
#include VT_NAME_LIST
#undef VT_NAME
    count_
};

#ifdef VT_NAME_TABLE
namespace {

constexpr const char* name_texts[] = {
#define VT_NAME(id, text) text,
#include VT_NAME_LIST
#undef VT_NAME
};
// Created once by init_names and kept for the life of the process.
PyObject* name_objects[static_cast<size_t>(N::count_)];

}  // namespace

bool init_names() { return intern_names(name_texts, name_objects, static_cast<size_t>(N::count_)); }

PyObject* name(N n) { return name_objects[static_cast<size_t>(n)]; }
#endif

}  // namespace vt
