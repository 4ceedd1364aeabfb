// Calling pandas through the object protocol: interned names, attribute
// look-up, calls with keyword arguments, item access, message building.
#pragma once

#include "common/ref.hpp"

#include <initializer_list>
#include <utility>

namespace vt {

// An interned name. Each extension lists its own names (the shared ones of
// common/names.def among them) and defines the three functions below, so the
// glue knows no extension's names.
enum class N : int;

// Creates every interned name once; false with an exception set on failure.
bool init_names();
// The interned str for a name (borrowed; lives as long as the process).
PyObject* name(N n);
// Interns texts[i] into objects[i] where that is still empty.
bool intern_names(const char* const* texts, PyObject** objects, size_t n);

// One argument of a call: a borrowed object, an owned one, or an interned name.
struct Arg {
    PyObject* p;
    Arg(PyObject* o) : p(o) {}
    Arg(const Ref& r) : p(r.get()) {}
    explicit Arg(N n) : p(name(n)) {}
};
struct Kw {
    PyObject* key;
    PyObject* value;
};
inline Kw kw(N n, Arg v) { return Kw{name(n), v.p}; }

using Args = std::initializer_list<Arg>;
using Kwargs = std::initializer_list<Kw>;

Ref getattr(PyObject* obj, N n);
// obj.<attribute> for a name the glue itself looks up. The name is interned:
// a fresh string per call would land in CPython's attribute caches, which
// then hold a new one on every call.
Ref getattr(PyObject* obj, const char* attribute);
void setattr(PyObject* obj, N n, PyObject* value);
Ref call(PyObject* callable, Args args = {}, Kwargs kwargs = {});
Ref call_method(PyObject* obj, N n, Args args = {}, Kwargs kwargs = {});

Ref getitem(PyObject* obj, Arg key);
void setitem(PyObject* obj, Arg key, Arg value);
bool contains(PyObject* container, Arg item);
bool truthy(PyObject* obj);
Py_ssize_t length(PyObject* obj);

Ref text(const char* s);
Ref integer(long long v);
Ref new_list(Args items = {});
Ref new_tuple(Args items);
Ref new_dict(std::initializer_list<std::pair<Arg, Arg>> items = {});
Ref list_concat(PyObject* a, PyObject* b);  // a + b for two lists, a new list

// format(obj, "") as the text of a value inside a message or a column name.
Ref format_text(PyObject* obj);

// A fixed text piece or a value (rendered with format()) of a message.
struct Piece {
    const char* literal = nullptr;
    PyObject* value = nullptr;
    Piece(const char* s) : literal(s) {}
    Piece(PyObject* o) : value(o) {}
    Piece(const Ref& r) : value(r.get()) {}
};
// The pieces run together with no separator.
Ref build_message(std::initializer_list<Piece> pieces);
// Raises AssertionError with the built message.
[[noreturn]] void fail_assertion(std::initializer_list<Piece> pieces);

// Whether obj.dtype.kind is the given one-letter numpy kind ("O", "m", ...).
bool dtype_kind_is(PyObject* obj, const char* kind);

// Whether a column of this dtype holds text, in any of pandas' forms: object,
// str and string (StringDtype), category.
bool is_text_dtype(PyObject* pd, PyObject* dtype);

// The major version of the pandas module pd (its __version__ up to the first dot).
long pandas_major_version(PyObject* pd);

// False with ImportError set when called from an interpreter other than the
// first caller's: an extension's names live as long as the process, in the
// interpreter that created them.
bool claim_interpreter();

// False when the interpreter runs with -O: assertions are then skipped.
bool assertions_enabled();

// `for (Ref& item : iterate(obj))` walks obj as a Python for loop does; an
// error raised by the iteration itself is thrown when it happens.
class iterate {
public:
    explicit iterate(PyObject* iterable) : it_(require(PyObject_GetIter(iterable))) {}

    class iterator {
    public:
        iterator() = default;
        explicit iterator(PyObject* it) : it_(it) { ++*this; }
        Ref& operator*() { return item_; }
        iterator& operator++() {
            item_ = Ref::steal(PyIter_Next(it_));
            if (!item_ && PyErr_Occurred()) throw_python_error();
            return *this;
        }
        bool operator!=(const iterator& other) const { return item_.get() != other.item_.get(); }

    private:
        PyObject* it_ = nullptr;
        Ref item_;
    };

    iterator begin() { return iterator(it_.get()); }
    iterator end() { return iterator(); }

private:
    Ref it_;
};

// Unpacks exactly two items, as `a, b = obj` does.
std::pair<Ref, Ref> unpack2(PyObject* obj);

// `for (auto& [key, value] : items(mapping))` walks mapping.items() as
// `for key, value in mapping.items()` does.
class items {
public:
    explicit items(PyObject* mapping) : view_(call(getattr(mapping, "items").get())), pairs_(view_.get()) {}

    class iterator {
    public:
        explicit iterator(iterate::iterator it) : it_(std::move(it)) { unpack(); }
        std::pair<Ref, Ref>& operator*() { return pair_; }
        iterator& operator++() {
            ++it_;
            unpack();
            return *this;
        }
        bool operator!=(const iterator& other) const { return it_ != other.it_; }

    private:
        void unpack() {
            if (*it_) pair_ = unpack2((*it_).get());
        }
        iterate::iterator it_;
        std::pair<Ref, Ref> pair_;
    };

    iterator begin() { return iterator(pairs_.begin()); }
    iterator end() { return iterator(pairs_.end()); }

private:
    Ref view_;
    iterate pairs_;
};

// A name of the module's globals, looked up when the statement runs.
Ref global(PyObject* globals, N n);
// module.function, the module imported on first use: how the native code
// reaches the package's Python glue (Dask, reports, saved files).
Ref module_function(const char* module, const char* function);
// A name of the builtins module (print, tuple, str, ...).
Ref builtin(const char* s);

}  // namespace vt
