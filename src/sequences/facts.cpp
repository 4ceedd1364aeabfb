// The facts pass: per column ranges, missing counts, constancy, first-row and
// step moments, step and value divisors and category pairs, all of which
// combine across partitions by sums, minima, maxima and gcds.
#include "sequences/facts.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <type_traits>
#include <unordered_map>

namespace vt {
namespace seq {

namespace {

struct Moments {
    double n = 0, mean = 0, m2 = 0;
    void add(double x) {
        n += 1;
        const double d = x - mean;
        mean += d / n;
        m2 += d * (x - mean);
    }
    Ref tuple() const {
        Ref a = require(PyFloat_FromDouble(n)), b = require(PyFloat_FromDouble(mean)), c = require(PyFloat_FromDouble(m2));
        return new_tuple({a, b, c});
    }
};

Ref number(double v) { return std::isnan(v) ? Ref::borrow(Py_None) : require(PyFloat_FromDouble(v)); }
Ref number(int64_t v) { return integer(v); }

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool same(int64_t a, int64_t b) { return a == b; }

uint64_t magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }
bool subtract(double a, double b, double& out) {
    out = a - b;
    return true;
}
bool subtract(int64_t a, int64_t b, int64_t& out) { return !__builtin_sub_overflow(a, b, &out); }
double encoded(const ColumnModel& c, double v) { return c.encode(v); }
double encoded(const ColumnModel& c, int64_t v) { return c.encode_ns(v); }

template <class T>
struct Stats {
    int64_t observed = 0, missing = 0, constant = 0, in_range = 0, rising = 0;
    bool any = false, any_step = false;
    T lo{}, hi{}, step_lo{}, step_hi{};
    uint64_t step_gcd = 0, value_gcd = 0;
    Moments first, step;

    void value(T v, const ColumnModel* b) {
        if (!any || v < lo) lo = v;
        if (!any || v > hi) hi = v;
        any = true;
        ++observed;
        if constexpr (std::is_same<T, int64_t>::value) value_gcd = std::gcd(value_gcd, magnitude(v));
        if (b != nullptr && !std::isnan(b->lo)) {
            const double e = encoded(*b, v);
            if (e >= b->lo && e <= b->hi) ++in_range;
        }
    }
    void difference(T d) {
        if (!any_step || d < step_lo) step_lo = d;
        if (!any_step || d > step_hi) step_hi = d;
        any_step = true;
        if (d > T{}) ++rising;
        if constexpr (std::is_same<T, int64_t>::value) step_gcd = std::gcd(step_gcd, magnitude(d));
        step.add(static_cast<double>(d));
    }
    void entity(const Order& o, size_t e, const Values<T>& v, const ColumnModel* b) {
        const int64_t s = o.starts[e], t = o.starts[e + 1];
        const T head = v[static_cast<size_t>(o.perm[static_cast<size_t>(s)])];
        if (!seq::missing(head)) first.add(static_cast<double>(head));
        bool steady = true, seen = false;
        T last{};
        for (int64_t r = s; r < t; ++r) {
            const T x = v[static_cast<size_t>(o.perm[static_cast<size_t>(r)])];
            steady = steady && same(x, head);
            if (seq::missing(x)) {
                ++missing;
                continue;
            }
            value(x, b);
            T d;
            if (seen && subtract(x, last, d)) difference(d);
            last = x;
            seen = true;
        }
        constant += steady;
    }
    void into(PyObject* dict) const {
        auto set = [&](N key, const Ref& v) { require_ok(PyDict_SetItem(dict, name(key), v.get())); };
        set(N::observed, integer(observed));
        set(N::missing, integer(missing));
        set(N::constant, integer(constant));
        set(N::in_range, integer(in_range));
        set(N::rising, integer(rising));
        set(N::lo, any ? number(lo) : Ref::borrow(Py_None));
        set(N::hi, any ? number(hi) : Ref::borrow(Py_None));
        set(N::step_lo, any_step ? number(step_lo) : Ref::borrow(Py_None));
        set(N::step_hi, any_step ? number(step_hi) : Ref::borrow(Py_None));
        set(N::step_gcd, require(PyLong_FromUnsignedLongLong(step_gcd)));
        set(N::value_gcd, require(PyLong_FromUnsignedLongLong(value_gcd)));
        set(N::first, first.tuple());
        set(N::step, step.tuple());
    }
};

template <class T>
void numeric_facts(const Order& o, const Values<T>& v, const ColumnModel* b, PyObject* dict) {
    Stats<T> s;
    for (size_t e = 0; e < o.entities(); ++e) s.entity(o, e, v, b);
    s.into(dict);
}

// The pairs in the order of their keys' reprs: rebuilt entities draw
// successors by walking this order, so it must not depend on how the rows
// were split into partitions or on hash-table internals.
Ref in_key_order(PyObject* pairs) {
    std::vector<std::pair<std::string, Py_ssize_t>> keys;
    Ref items = require(PyDict_Items(pairs));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref shown = require(PyObject_Repr(PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0)));
        const char* utf8 = PyUnicode_AsUTF8(shown.get());
        if (utf8 == nullptr) throw_python_error();
        keys.emplace_back(utf8, i);
    }
    std::sort(keys.begin(), keys.end());
    Ref out = require(PyDict_New());
    for (const auto& k : keys) {
        PyObject* item = PyList_GET_ITEM(items.get(), k.second);
        require_ok(PyDict_SetItem(out.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)));
    }
    return out;
}

void category_facts(const Order& o, const std::vector<int32_t>& codes, PyObject* uniques, PyObject* dict) {
    int64_t miss = 0, constant = 0;
    std::unordered_map<uint64_t, int64_t> pairs;
    for (size_t e = 0; e < o.entities(); ++e) {
        const int64_t s = o.starts[e], t = o.starts[e + 1];
        const int32_t head = codes[static_cast<size_t>(o.perm[static_cast<size_t>(s)])];
        bool steady = true;
        int32_t prev = head;
        for (int64_t r = s; r < t; ++r) {
            const int32_t x = codes[static_cast<size_t>(o.perm[static_cast<size_t>(r)])];
            miss += x < 0;
            steady = steady && x == head;
            if (r > s) ++pairs[pair_code(prev, x)];
            prev = x;
        }
        constant += steady;
    }
    Buffer values(uniques, PyBUF_RECORDS_RO);
    auto value = [&](uint32_t code) { return code == 0 ? Py_None : values.at<PyObject*>(code - 1); };
    Ref seen = require(PyDict_New());
    for (const auto& p : pairs) {
        Ref key = new_tuple({value(static_cast<uint32_t>(p.first >> 32)), value(static_cast<uint32_t>(p.first))});
        Ref count = integer(p.second);
        require_ok(PyDict_SetItem(seen.get(), key.get(), count.get()));
    }
    const int64_t rows = static_cast<int64_t>(codes.size());
    require_ok(PyDict_SetItem(dict, name(N::observed), integer(rows - miss).get()));
    require_ok(PyDict_SetItem(dict, name(N::missing), integer(miss).get()));
    require_ok(PyDict_SetItem(dict, name(N::constant), integer(constant).get()));
    require_ok(PyDict_SetItem(dict, name(N::pairs), in_key_order(seen.get()).get()));
}

const ColumnModel* bounds_of(const Model* m, PyObject* label) {
    if (m == nullptr) return nullptr;
    for (const ColumnModel& c : m->cols)
        if (require_ok(PyObject_RichCompareBool(c.name.get(), label, Py_EQ))) return &c;
    return nullptr;
}

Ref lengths_of(const Order& o) {
    std::vector<int64_t> histogram;
    for (size_t e = 0; e < o.entities(); ++e) {
        const size_t k = static_cast<size_t>(o.starts[e + 1] - o.starts[e]);
        if (histogram.size() <= k) histogram.resize(k + 1, 0);
        ++histogram[k];
    }
    Ref out = require(PyDict_New());
    for (size_t k = 1; k < histogram.size(); ++k)
        if (histogram[k] != 0) require_ok(PyDict_SetItem(out.get(), integer(static_cast<long long>(k)).get(), integer(histogram[k]).get()));
    return out;
}

}  // namespace

Ref partition_facts(const Libs& L, PyObject* frame, PyObject* id_label, PyObject* time_label, PyObject* labels,
                    const std::vector<Kind>& kinds, const Model* bounds, Order* kept) {
    if (length(frame) == 0) raise(PyExc_ValueError, {"the frame is empty"});
    Ref ids = column(frame, id_label, "input");
    Ref time_series = column(frame, time_label, "input");
    Kind time_kind = Kind::number;
    for (size_t i = 0; i < kinds.size(); ++i)
        if (require_ok(PyObject_RichCompareBool(PyList_GET_ITEM(labels, static_cast<Py_ssize_t>(i)), time_label, Py_EQ)))
            time_kind = kinds[i];
    Order o = is_time_like(time_kind)
                  ? entity_order(L, ids.get(), id_label, read_nanoseconds(time_series.get(), time_kind))
                  : entity_order(L, ids.get(), id_label, read_numbers(L, time_series.get(), time_label, "input"));

    Ref columns = require(PyList_New(0));
    for (size_t i = 0; i < kinds.size(); ++i) {
        PyObject* label = PyList_GET_ITEM(labels, static_cast<Py_ssize_t>(i));
        if (require_ok(PyObject_RichCompareBool(label, id_label, Py_EQ))) continue;
        Ref series = column(frame, label, "input");
        Ref dtype = getattr(series.get(), N::dtype);
        Ref kind = text(kind_name(kinds[i]));
        Ref entry = new_dict({{name(N::name), label}, {name(N::kind), kind}, {name(N::dtype), dtype}});
        const ColumnModel* b = bounds_of(bounds, label);
        switch (kinds[i]) {
            case Kind::number:
                numeric_facts(o, read_numbers(L, series.get(), label, "input"), b, entry.get());
                break;
            case Kind::datetime:
            case Kind::timedelta:
                numeric_facts(o, read_nanoseconds(series.get(), kinds[i]), b, entry.get());
                break;
            case Kind::category: {
                Ref uniques;
                auto codes = read_codes(L, {series.get()}, uniques);
                category_facts(o, codes[0], uniques.get(), entry.get());
                break;
            }
        }
        require_ok(PyList_Append(columns.get(), entry.get()));
    }
    Ref rows = integer(static_cast<long long>(o.perm.size()));
    Ref entities = integer(static_cast<long long>(o.entities()));
    Ref lengths = lengths_of(o);
    Ref out = new_dict({{name(N::rows), rows}, {name(N::entities), entities}, {name(N::lengths), lengths}, {name(N::order), labels},
                        {name(N::columns), columns}});
    if (kept != nullptr) *kept = std::move(o);
    return out;
}

// ----- combining -------------------------------------------------------------------

namespace {

Ref add(PyObject* a, PyObject* b) { return require(PyNumber_Add(a, b)); }

// Counts keyed by value, summed key by key.
Ref add_counts(PyObject* a, PyObject* b) {
    Ref out = require(PyDict_Copy(a));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(b, &pos, &key, &value)) {
        PyObject* old = PyDict_GetItemWithError(out.get(), key);
        if (old == nullptr && PyErr_Occurred()) throw_python_error();
        Ref sum = old == nullptr ? Ref::borrow(value) : add(old, value);
        require_ok(PyDict_SetItem(out.get(), key, sum.get()));
    }
    return out;
}

// The smaller (or larger) of two values, None standing for "nothing seen".
Ref extreme(PyObject* a, PyObject* b, int op) {
    if (a == Py_None) return Ref::borrow(b);
    if (b == Py_None) return Ref::borrow(a);
    return Ref::borrow(require_ok(PyObject_RichCompareBool(b, a, op)) ? b : a);
}

Ref gcd_of(PyObject* a, PyObject* b) {
    const unsigned long long x = PyLong_AsUnsignedLongLong(a), y = PyLong_AsUnsignedLongLong(b);
    if (PyErr_Occurred()) throw_python_error();
    return require(PyLong_FromUnsignedLongLong(std::gcd(x, y)));
}

// Chan et al.'s pairwise update of (count, mean, sum of squared deviations).
Ref merge_moments(PyObject* a, PyObject* b) {
    double x[3], y[3];
    for (int i = 0; i < 3; ++i) {
        x[i] = PyFloat_AsDouble(PyTuple_GetItem(a, i));
        y[i] = PyFloat_AsDouble(PyTuple_GetItem(b, i));
    }
    if (PyErr_Occurred()) throw_python_error();
    Moments m;
    m.n = x[0] + y[0];
    if (m.n > 0) {
        const double d = y[1] - x[1];
        m.mean = x[1] + d * y[0] / m.n;
        m.m2 = x[2] + y[2] + d * d * x[0] * y[0] / m.n;
    }
    return m.tuple();
}

// Facts that crossed a process boundary hold equal keys, not the interned ones.
bool is(PyObject* key, N n) { return key == name(n) || PyUnicode_Compare(key, name(n)) == 0; }

Ref merge_entry(PyObject* a, PyObject* b) {
    Ref out = require(PyDict_Copy(a));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(a, &pos, &key, &value)) {
        PyObject* other = PyDict_GetItemWithError(b, key);
        if (other == nullptr) {
            if (!PyErr_Occurred()) raise(PyExc_ValueError, {"facts to combine differ in '", key, "'"});
            throw_python_error();
        }
        Ref merged;
        if (is(key, N::name) || is(key, N::kind) || is(key, N::dtype)) {
            if (!require_ok(PyObject_RichCompareBool(value, other, Py_EQ)) && !is(key, N::dtype))
                raise(PyExc_ValueError, {"facts to combine differ in their columns: ", value, " and ", other});
            continue;
        } else if (is(key, N::lo) || is(key, N::step_lo)) {
            merged = extreme(value, other, Py_LT);
        } else if (is(key, N::hi) || is(key, N::step_hi)) {
            merged = extreme(value, other, Py_GT);
        } else if (is(key, N::step_gcd) || is(key, N::value_gcd)) {
            merged = gcd_of(value, other);
        } else if (is(key, N::first) || is(key, N::step)) {
            merged = merge_moments(value, other);
        } else if (is(key, N::pairs)) {
            merged = in_key_order(add_counts(value, other).get());
        } else {
            merged = add(value, other);
        }
        require_ok(PyDict_SetItem(out.get(), key, merged.get()));
    }
    return out;
}

Ref merge(PyObject* a, PyObject* b) {
    FactsView x(a), y(b);
    Ref ca = x.item(N::columns), cb = y.item(N::columns);
    const Py_ssize_t n = length(ca.get());
    if (n != length(cb.get())) raise(PyExc_ValueError, {"facts to combine have different columns"});
    Ref columns = require(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref merged = merge_entry(PyList_GET_ITEM(ca.get(), i), PyList_GET_ITEM(cb.get(), i));
        require_ok(PyList_Append(columns.get(), merged.get()));
    }
    Ref rows = add(x.item(N::rows).get(), y.item(N::rows).get());
    Ref entities = add(x.item(N::entities).get(), y.item(N::entities).get());
    Ref lengths = add_counts(x.item(N::lengths).get(), y.item(N::lengths).get());
    return new_dict({{name(N::rows), rows}, {name(N::entities), entities}, {name(N::lengths), lengths}, {name(N::order), x.item(N::order)},
                        {name(N::columns), columns}});
}

}  // namespace

Ref combine_facts(PyObject* facts_list) {
    Ref list = require(PySequence_List(facts_list));
    if (PyList_GET_SIZE(list.get()) == 0) raise(PyExc_ValueError, {"no facts to combine"});
    Ref out = Ref::borrow(PyList_GET_ITEM(list.get(), 0));
    FactsView check(out.get());
    for (Py_ssize_t i = 1; i < PyList_GET_SIZE(list.get()); ++i) out = merge(out.get(), PyList_GET_ITEM(list.get(), i));
    return out;
}

}  // namespace seq
}  // namespace vt
