// Series.apply(make_element_a_list) on both path columns, their element-wise
// sum and the map of the repeated-entry test each make a call per row, and the
// first join of a few thousand transitions already has half a million rows.
// The same values come out of one pass here.
#include "timeseries/paths/path_kernels.hpp"

#include "common/buffer.hpp"

#include <cstring>

namespace vt {

namespace {

// A pandas Series of one of numpy's bool, integer or float dtypes, or of
// objects. For these, apply and map hand the callback what tolist() holds:
// numpy's Python scalars, or the stored objects themselves. An empty column
// takes apply's empty-result path, which keeps the column's dtype.
bool plain_column(PyObject* series_type, PyObject* numpy_dtype, PyObject* column) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(column)) != series_type) return false;
    if (length(column) == 0) return false;
    Ref dtype = getattr(column, N::dtype);
    if (require_ok(PyObject_IsInstance(dtype.get(), numpy_dtype)) == 0) return false;
    Ref kind = getattr(dtype.get(), N::kind);
    if (!PyUnicode_Check(kind.get())) return false;
    const char* k = PyUnicode_AsUTF8(kind.get());
    if (k == nullptr) throw_python_error();
    return std::strlen(k) == 1 && std::strchr("biufO", k[0]) != nullptr;
}

// A list subclass may bring its own +.
bool list_subclass(PyObject* o) { return PyList_Check(o) && !PyList_CheckExact(o); }

// make_element_a_list(x) + make_element_a_list(y): a new list, not yet known
// to the collector.
PyObject* joined_path(PyObject* x, PyObject* y) {
    for (;;) {
        const Py_ssize_t nx = PyList_Check(x) ? PyList_GET_SIZE(x) : 1;
        const Py_ssize_t ny = PyList_Check(y) ? PyList_GET_SIZE(y) : 1;
        PyObject* path = PyList_New(nx + ny);
        if (path == nullptr) throw_python_error();
        PyObject_GC_UnTrack(path);
        // Allocating may have run a finalizer that resized x or y.
        if ((PyList_Check(x) ? PyList_GET_SIZE(x) : 1) != nx || (PyList_Check(y) ? PyList_GET_SIZE(y) : 1) != ny) {
            Py_DECREF(path);
            continue;
        }
        Py_ssize_t k = 0;
        for (PyObject* part : {x, y}) {
            if (!PyList_Check(part)) {
                Py_INCREF(part);
                PyList_SET_ITEM(path, k++, part);
                continue;
            }
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(part); ++j) {
                PyObject* entry = PyList_GET_ITEM(part, j);
                Py_INCREF(entry);
                PyList_SET_ITEM(path, k++, entry);
            }
        }
        return path;
    }
}

// Values whose == and hash are the interpreter's own: comparing them runs no
// Python code, and equal ones hash alike.
bool plain_value(PyObject* v) {
    return PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || PyUnicode_CheckExact(v) ||
           v == Py_None;
}

// An object that passes isinstance(o, list) without being a list (its
// __class__ says list): make_element_a_list hands it back unwrapped.
bool list_in_disguise(PyObject* o) {
    if (PyList_Check(o) || plain_value(o)) return false;
    return require_ok(PyObject_IsInstance(o, reinterpret_cast<PyObject*>(&PyList_Type))) == 1;
}

// Up to this length comparing every pair is cheaper than building a set.
constexpr Py_ssize_t pairwise_limit = 8;

// len(path) == len(set(path)) as 1 or 0, or -1 when an entry is not a plain
// value: set() could then run Python code, so the map has to make the test.
int no_repeated_entry(PyObject* path) {
    const Py_ssize_t n = PyList_GET_SIZE(path);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!plain_value(PyList_GET_ITEM(path, i))) return -1;
    }
    if (n > pairwise_limit) {
        Ref distinct = require(PySet_New(path));
        return PySet_GET_SIZE(distinct.get()) == n ? 1 : 0;
    }
    // A set keeps one of two entries that are the same object or compare
    // equal; RichCompareBool tests identity first as well.
    for (Py_ssize_t i = 1; i < n; ++i) {
        for (Py_ssize_t j = 0; j < i; ++j) {
            if (require_ok(PyObject_RichCompareBool(PyList_GET_ITEM(path, j), PyList_GET_ITEM(path, i), Py_EQ))) {
                return 0;
            }
        }
    }
    return 1;
}

// The new lists are filled out of the collector's sight: half a million of
// them would otherwise set off collections that walk them again and again.
// All are handed to it when the pass ends, however it ends.
class UntrackedLists {
public:
    explicit UntrackedLists(PyObject* const* slots) : slots_(slots) {}
    ~UntrackedLists() {
        for (Py_ssize_t i = 0; i < count_; ++i) PyObject_GC_Track(slots_[i]);
    }
    UntrackedLists(const UntrackedLists&) = delete;
    UntrackedLists& operator=(const UntrackedLists&) = delete;

    void added() { ++count_; }

private:
    PyObject* const* slots_;
    Py_ssize_t count_ = 0;
};

// Fills paths[i] with xs[i] + ys[i], each wrapped as make_element_a_list
// wraps it, and keep[i] with whether that path holds no entry twice (keep_known
// turns false where that test must run through pandas). False, the arrays
// then unused, where an entry must take the pandas route.
bool fill_joined(PyObject* xs, PyObject* ys, PyObject* paths, PyObject* keep, bool& keep_known) {
    const Py_ssize_t n = PyList_GET_SIZE(xs);
    const int writable = PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
    Buffer path_view(paths, writable);
    Buffer keep_view(keep, writable);
    if (!path_view.holds("O", sizeof(PyObject*)) || path_view.size() != n || !keep_view.holds("?", 1) ||
        keep_view.size() != n)
        return false;
    PyObject** slots = static_cast<PyObject**>(path_view.data());
    char* flags = static_cast<char*>(keep_view.data());
    UntrackedLists untracked(slots);
    // xs and ys keep their entries alive while the pass reads them.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* x = PyList_GET_ITEM(xs, i);
        PyObject* y = PyList_GET_ITEM(ys, i);
        if (list_subclass(x) || list_subclass(y) || list_in_disguise(x) || list_in_disguise(y)) return false;
        PyObject* previous = slots[i];
        slots[i] = joined_path(x, y);
        untracked.added();
        Py_XDECREF(previous);
        if (!keep_known) continue;
        const int distinct = no_repeated_entry(slots[i]);
        if (distinct < 0)
            keep_known = false;
        else
            flags[i] = static_cast<char>(distinct);
    }
    return true;
}

}  // namespace

JoinedPaths join_paths(PyObject* pd, PyObject* left, PyObject* right) {
    JoinedPaths out;
    Ref numpy = require(PyImport_ImportModule("numpy"));
    Ref series_type = getattr(pd, N::Series);
    {
        Ref numpy_dtype = getattr(numpy.get(), N::dtype);
        if (!plain_column(series_type.get(), numpy_dtype.get(), left) ||
            !plain_column(series_type.get(), numpy_dtype.get(), right)) {
            return out;
        }
    }
    Ref xs = call_method(left, N::tolist);
    Ref ys = call_method(right, N::tolist);
    if (!PyList_CheckExact(xs.get()) || !PyList_CheckExact(ys.get())) return out;
    const Py_ssize_t n = PyList_GET_SIZE(xs.get());
    if (PyList_GET_SIZE(ys.get()) != n) return out;
    // Lists nothing else refers to cannot be part of a cycle; tracked, they
    // would be walked entry by entry by every collection the new lists below
    // set off.
    for (const Ref* values : {&xs, &ys}) {
        if (Py_REFCNT(values->get()) == 1) PyObject_GC_UnTrack(values->get());
    }

    Ref paths;
    Ref keep;
    {
        Ref empty = getattr(numpy.get(), N::empty);
        paths = call(empty.get(), {integer(n)}, {kw(N::dtype, reinterpret_cast<PyObject*>(&PyBaseObject_Type))});
        keep = call(empty.get(), {integer(n)}, {kw(N::dtype, reinterpret_cast<PyObject*>(&PyBool_Type))});
    }
    bool keep_known = true;
    if (!fill_joined(xs.get(), ys.get(), paths.get(), keep.get(), keep_known)) return out;
    xs = Ref();
    ys = Ref();

    Ref index = getattr(left, N::index);
    out.paths = call(series_type.get(), {paths}, {kw(N::index, index)});
    if (keep_known) out.keep = std::move(keep);
    return out;
}

}  // namespace vt
