// The row-wise apply(tuple) + apply(str) dominates construction time on large
// frames; for two object columns it is rebuilt here, row for row.
#include "timeseries/difference/transitions.hpp"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace vt {

namespace {

// When both columns hold objects, pandas' row apply hands tuple() exactly the
// stored objects. Other dtypes go through pandas' own boxing (Python floats,
// numpy scalars, Timestamps, extension scalars), which is left to pandas.
bool only_stored_objects(PyObject* pd, PyObject* pairs) {
    Ref frame_type = getattr(pd, N::DataFrame);
    if (reinterpret_cast<PyObject*>(Py_TYPE(pairs)) != frame_type.get()) return false;
    // A replaced builtin would change what the apply calls compute.
    if (builtin("tuple").get() != reinterpret_cast<PyObject*>(&PyTuple_Type) ||
        builtin("str").get() != reinterpret_cast<PyObject*>(&PyUnicode_Type)) {
        return false;
    }
    // An empty frame takes pandas' empty-result path.
    if (length(pairs) == 0) return false;
    Ref dtypes = getattr(pairs, N::dtypes);
    if (length(dtypes.get()) != 2) return false;
    Ref object_code = text("O");
    for (Ref& dtype : iterate(dtypes.get())) {
        Ref is_object = require(PyObject_RichCompare(dtype.get(), object_code.get(), Py_EQ));
        if (!truthy(is_object.get())) return false;
    }
    return true;
}

// Objects whose repr depends on nothing but their immutable value.
bool fixed_repr(PyObject* o) {
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o);
}

using Pair = std::pair<PyObject*, PyObject*>;

struct PairHash {
    std::size_t operator()(const Pair& p) const noexcept {
        auto a = reinterpret_cast<std::uintptr_t>(p.first) >> 4;
        auto b = reinterpret_cast<std::uintptr_t>(p.second) >> 4;
        return static_cast<std::size_t>((a * 0x9E3779B97F4A7C15ull) ^ b);
    }
};

// Categorical columns repeat a few objects, so most rows repeat an earlier
// pair; past this many distinct pairs the rest are simply rendered.
constexpr std::size_t max_remembered_pairs = 1 << 16;

// The same 2-D array the row apply walks, as one list per column; false when
// it does not come out as two lists of one length.
bool column_lists(PyObject* pairs, Ref& from, Ref& to) {
    Ref columns;
    {
        Ref values = getattr(pairs, N::values);
        Ref by_column = getattr(values.get(), N::T_);
        columns = call_method(by_column.get(), N::tolist);
    }
    if (!PyList_CheckExact(columns.get()) || PyList_GET_SIZE(columns.get()) != 2) return false;
    from = Ref::borrow(PyList_GET_ITEM(columns.get(), 0));
    to = Ref::borrow(PyList_GET_ITEM(columns.get(), 1));
    columns = Ref();
    if (!PyList_CheckExact(from.get()) || !PyList_CheckExact(to.get())) return false;
    return PyList_GET_SIZE(to.get()) == PyList_GET_SIZE(from.get());
}

// str((a, b)) for each row's pair, as a new list.
Ref render_pairs(PyObject* from, PyObject* to) {
    const Py_ssize_t n = PyList_GET_SIZE(from);
    // Untracked, the lists are out of reach of a repr that walks the garbage
    // collector's objects: none can resize them or see texts' empty slots, and
    // their items stay alive, so an address names one object throughout. A
    // remembered text is borrowed from `texts`, which outlives the map.
    Ref texts = require(PyList_New(n));
    PyObject_GC_UnTrack(texts.get());
    PyObject_GC_UnTrack(from);
    PyObject_GC_UnTrack(to);
    std::unordered_map<Pair, PyObject*, PairHash> seen;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyList_GET_ITEM(from, i);
        PyObject* b = PyList_GET_ITEM(to, i);
        const bool fixed = fixed_repr(a) && fixed_repr(b);
        if (fixed) {
            auto hit = seen.find(Pair(a, b));
            if (hit != seen.end()) {
                Py_INCREF(hit->second);
                PyList_SET_ITEM(texts.get(), i, hit->second);
                continue;
            }
        }
        Ref row = require(PyTuple_Pack(2, a, b));
        PyObject* rendered = require(PyObject_Str(row.get())).release();
        PyList_SET_ITEM(texts.get(), i, rendered);
        if (fixed && seen.size() < max_remembered_pairs) seen.emplace(Pair(a, b), rendered);
    }
    return texts;
}

}  // namespace

Ref transition_texts(PyObject* pd, PyObject* pairs) {
    if (!only_stored_objects(pd, pairs)) return Ref();
    Ref from, to;
    if (!column_lists(pairs, from, to)) return Ref();
    Ref texts = render_pairs(from.get(), to.get());
    from = Ref();
    to = Ref();

    // No dtype: pandas infers it from the texts as it does for apply's result.
    Ref series_type = getattr(pd, N::Series);
    Ref index = getattr(pairs, N::index);
    return call(series_type.get(), {texts}, {kw(N::index, index)});
}

}  // namespace vt
