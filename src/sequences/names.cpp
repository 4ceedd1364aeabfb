// The sequences module's name table, created once by init_names and kept for
// the life of the process.
#include "sequences/names.hpp"

namespace vt {

namespace {

constexpr const char* texts[] = {
#define VT_NAME(id, text) text,
#include "sequences/all_names.def"
#undef VT_NAME
};
PyObject* objects[static_cast<size_t>(N::count_)];

}  // namespace

bool init_names() { return intern_names(texts, objects, static_cast<size_t>(N::count_)); }

PyObject* name(N n) { return objects[static_cast<size_t>(n)]; }

}  // namespace vt
