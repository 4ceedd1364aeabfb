// Real against rebuilt entities, measured by the facts pass over both frames
// with the fitted model's ranges, encodings and category pairs.
#include "sequences/facts.hpp"
#include "sequences/features.hpp"

#include <algorithm>
#include <map>
#include <string>

namespace vt {
namespace seq {

namespace {

struct Table {
    Ref rows = require(PyList_New(0));
    void add(const char* measure, PyObject* column, double real, double rebuilt) {
        Ref m = text(measure), a = require(PyFloat_FromDouble(real)), b = require(PyFloat_FromDouble(rebuilt));
        Ref row = new_tuple({m, column, a, b});
        require_ok(PyList_Append(rows.get(), row.get()));
    }
};

double ratio(double a, double b) { return b > 0 ? a / b : nan; }

struct Side {
    Ref facts;
    std::map<std::string, Ref> by_name;  // column facts by repr of the label
    Ref find(PyObject* label) const {
        Ref shown = require(PyObject_Repr(label));
        auto it = by_name.find(PyUnicode_AsUTF8(shown.get()));
        return it == by_name.end() ? Ref() : Ref::borrow(it->second.get());
    }
};

Side measure(const Libs& L, const Model& m, PyObject* frame, PyObject* id_label) {
    Ref present = getattr(frame, N::columns);
    if (!contains(present.get(), id_label)) raise(PyExc_KeyError, {"the rebuilt frame has no id column '", id_label, "'"});
    Ref labels = new_list({id_label});
    std::vector<Kind> kinds{Kind::category};
    for (const ColumnModel& c : m.cols)
        if (contains(present.get(), c.name.get())) {
            require_ok(PyList_Append(labels.get(), c.name.get()));
            kinds.push_back(c.kind);
        }
    Side s;
    s.facts = partition_facts(L, frame, id_label, m.cols[m.time_index].name.get(), labels.get(), kinds, &m);
    for (Ref& entry : iterate(FactsView(s.facts.get()).item(N::columns).get())) {
        Ref shown = require(PyObject_Repr(FactsView(entry.get()).item(N::name).get()));
        s.by_name[PyUnicode_AsUTF8(shown.get())] = Ref::borrow(entry.get());
    }
    return s;
}

double moment(const FactsView& f, N key, int which) {
    Ref t = f.item(key);
    const double v = PyFloat_AsDouble(PyTuple_GetItem(t.get(), which));
    if (PyErr_Occurred()) throw_python_error();
    return v;
}

double spread(const FactsView& f, N key) {
    const double n = moment(f, key, 0);
    return n > 1 ? std::sqrt(moment(f, key, 2) / (n - 1)) : nan;
}

double seen_share(PyObject* real_pairs, const FactsView& f) {
    Ref pairs = f.item(N::pairs);
    double seen = 0, all = 0;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(pairs.get(), &pos, &key, &value)) {
        const double n = PyFloat_AsDouble(value);
        all += n;
        if (require_ok(PyDict_Contains(real_pairs, key))) seen += n;
    }
    return ratio(seen, all);
}

void column_rows(Table& t, const Model& m, const ColumnModel& c, const FactsView& a, const FactsView& b,
                 double entities_a, double entities_b) {
    PyObject* col = c.name.get();
    auto both = [&](const char* measure, double (*f)(const ColumnModel&, const FactsView&)) {
        t.add(measure, col, f(c, a), f(c, b));
    };
    if (c.kind == Kind::category) {
        if (!c.is_static) t.add("seen pairs", col, seen_share(c.pairs.get(), a), seen_share(c.pairs.get(), b));
    } else {
        both("start mean", [](const ColumnModel& c, const FactsView& f) {
            if (moment(f, N::first, 0) == 0) return nan;
            const double mean = moment(f, N::first, 1);
            return is_time_like(c.kind) ? (mean - static_cast<double>(c.origin)) / c.scale : mean;
        });
        both("start spread", [](const ColumnModel& c, const FactsView& f) { return spread(f, N::first) / c.scale; });
        if (!c.is_static) {
            both("step mean", [](const ColumnModel& c, const FactsView& f) {
                return moment(f, N::step, 0) == 0 ? nan : moment(f, N::step, 1) / c.scale;
            });
            if (c.is_time)
                both("rising steps", [](const ColumnModel&, const FactsView& f) {
                    return ratio(static_cast<double>(f.i64(N::rising)), moment(f, N::step, 0));
                });
        }
        both("within range", [](const ColumnModel&, const FactsView& f) {
            return ratio(static_cast<double>(f.i64(N::in_range)), static_cast<double>(f.i64(N::observed)));
        });
    }
    both("missing rate", [](const ColumnModel&, const FactsView& f) {
        const double miss = static_cast<double>(f.i64(N::missing));
        return ratio(miss, miss + static_cast<double>(f.i64(N::observed)));
    });
    if (c.is_static)
        t.add("constant", col, ratio(static_cast<double>(a.i64(N::constant)), entities_a),
              ratio(static_cast<double>(b.i64(N::constant)), entities_b));
    (void)m;
}

void length_rows(Table& t, PyObject* real, PyObject* rebuilt) {
    std::map<long long, std::pair<double, double>> counts;
    for (int side = 0; side < 2; ++side) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(side == 0 ? real : rebuilt, &pos, &key, &value)) {
            auto& slot = counts[PyLong_AsLongLong(key)];
            (side == 0 ? slot.first : slot.second) = PyFloat_AsDouble(value);
        }
        if (PyErr_Occurred()) throw_python_error();
    }
    for (const auto& kv : counts) t.add("entities", integer(kv.first).get(), kv.second.first, kv.second.second);
}

// ----- dynamics ------------------------------------------------------------

// Transition counts {(from, to): n} as {from: {to: n}} and {from: total}.
void by_from(PyObject* pairs, Ref& rows, Ref& totals) {
    rows = require(PyDict_New());
    totals = require(PyDict_New());
    for (auto& kv : items(pairs)) {
        PyObject* from = PyTuple_GetItem(kv.first.get(), 0);
        PyObject* to = PyTuple_GetItem(kv.first.get(), 1);
        if (from == nullptr || to == nullptr) throw_python_error();
        PyObject* row = PyDict_GetItemWithError(rows.get(), from);
        if (row == nullptr) {
            if (PyErr_Occurred()) throw_python_error();
            Ref fresh = require(PyDict_New());
            require_ok(PyDict_SetItem(rows.get(), from, fresh.get()));
            row = fresh.get();
        }
        require_ok(PyDict_SetItem(row, to, kv.second.get()));
        PyObject* old = PyDict_GetItemWithError(totals.get(), from);
        if (old == nullptr && PyErr_Occurred()) throw_python_error();
        Ref sum = old == nullptr ? Ref::borrow(kv.second.get()) : require(PyNumber_Add(old, kv.second.get()));
        require_ok(PyDict_SetItem(totals.get(), from, sum.get()));
    }
}

double as_double(PyObject* v) {
    const double x = v == nullptr ? 0.0 : PyFloat_AsDouble(v);
    if (PyErr_Occurred()) throw_python_error();
    return x;
}

double lookup(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr && PyErr_Occurred()) throw_python_error();
    return as_double(v);
}

// The share of steps whose category changes (missing counts as a value).
double change_rate(PyObject* pairs) {
    double changed = 0, all = 0;
    for (auto& kv : items(pairs)) {
        const double n = as_double(kv.second.get());
        all += n;
        if (!require_ok(PyObject_RichCompareBool(PyTuple_GetItem(kv.first.get(), 0), PyTuple_GetItem(kv.first.get(), 1), Py_EQ)))
            changed += n;
    }
    return ratio(changed, all);
}

// The total-variation distance between P(to | from) of both sides, averaged
// over the real from-values by their share of real steps; a from-value the
// rebuilt entities never leave counts as fully apart.
double transition_distance(PyObject* real, PyObject* rebuilt) {
    Ref ra, ta, rb, tb;
    by_from(real, ra, ta);
    by_from(rebuilt, rb, tb);
    double all = 0, sum = 0;
    for (auto& kv : items(ta.get())) {
        const double weight = as_double(kv.second.get());
        all += weight;
        const double other = lookup(tb.get(), kv.first.get());
        if (other <= 0) {
            sum += weight;
            continue;
        }
        PyObject* pa = PyDict_GetItem(ra.get(), kv.first.get());
        PyObject* pb = PyDict_GetItem(rb.get(), kv.first.get());
        double gap = 0;
        for (auto& to : items(pa)) gap += std::fabs(as_double(to.second.get()) / weight - lookup(pb, to.first.get()) / other);
        for (auto& to : items(pb))
            if (!require_ok(PyDict_Contains(pa, to.first.get()))) gap += as_double(to.second.get()) / other;
        sum += weight * gap / 2;
    }
    return ratio(sum, all);
}

void transition_rows(Table& t, const ColumnModel& c, const FactsView& a, const FactsView& b) {
    Ref pa = a.item(N::pairs), pb = b.item(N::pairs);
    t.add("category change rate", c.name.get(), change_rate(pa.get()), change_rate(pb.get()));
    t.add("transition TV distance", c.name.get(), 0.0, transition_distance(pa.get(), pb.get()));
}

const Sorted::Col* find_column(const Sorted& s, const ColumnModel& c) {
    for (const Sorted::Col& col : s.cols)
        if (col.c == &c) return &col;
    return nullptr;
}

// {value: (rows, sum)} of a number per category value.
Ref means_by_value(const Sorted::Col& category, const Sorted::Col& number) {
    const auto sums = means_by_code(category, number);
    Buffer values(category.uniques.get(), PyBUF_RECORDS_RO);
    Ref out = require(PyDict_New());
    for (size_t u = 0; u < sums.size(); ++u) {
        Ref n = require(PyFloat_FromDouble(sums[u].first)), total = require(PyFloat_FromDouble(sums[u].second));
        require_ok(PyDict_SetItem(out.get(), values.at<PyObject*>(static_cast<Py_ssize_t>(u)), new_tuple({n, total}).get()));
    }
    return out;
}

// The mean of each number per value of each category, for the category's
// most frequent real values: a band drifting off its weight shows here.
void mean_rows(Table& t, const Sorted& a, const Sorted& b) {
    constexpr size_t most = 10;
    for (const Sorted::Col& cat : a.cols) {
        if (cat.c->kind != Kind::category) continue;
        const Sorted::Col* cat_b = find_column(b, *cat.c);
        for (const Sorted::Col& num : a.cols) {
            const Sorted::Col* num_b = find_column(b, *num.c);
            if (num.c->kind != Kind::number || cat_b == nullptr || num_b == nullptr) continue;
            auto real = means_by_code(cat, num);
            std::vector<size_t> order(real.size());
            for (size_t u = 0; u < order.size(); ++u) order[u] = u;
            std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return real[x].first > real[y].first; });
            Ref rebuilt = means_by_value(*cat_b, *num_b);
            Buffer values(cat.uniques.get(), PyBUF_RECORDS_RO);
            for (size_t k = 0; k < std::min(most, order.size()) && real[order[k]].first > 0; ++k) {
                PyObject* value = values.at<PyObject*>(static_cast<Py_ssize_t>(order[k]));
                PyObject* other = PyDict_GetItemWithError(rebuilt.get(), value);
                if (other == nullptr && PyErr_Occurred()) throw_python_error();
                const double mean_b = other ? ratio(as_double(PyTuple_GET_ITEM(other, 1)), as_double(PyTuple_GET_ITEM(other, 0))) : nan;
                Ref label = build_message({num.c->name, " by ", cat.c->name, "=", value});
                t.add("mean by category", label.get(), real[order[k]].second / real[order[k]].first, mean_b);
            }
        }
    }
}

void dynamics_rows(Table& t, const Model& m, const Side& a, const Side& b, const Sorted& sa, const Sorted& sb) {
    for (const ColumnModel& c : m.cols) {
        Ref x = a.find(c.name.get()), y = b.find(c.name.get());
        const Sorted::Col *ca = find_column(sa, c), *cb = find_column(sb, c);
        if (c.is_static || !x || !y || ca == nullptr || cb == nullptr) continue;
        if (c.kind == Kind::category) {
            transition_rows(t, c, FactsView(x.get()), FactsView(y.get()));
            continue;
        }
        const auto ra = step_correlations(sa, *ca), rb = step_correlations(sb, *cb);
        t.add("step autocorrelation", c.name.get(), ra.first, rb.first);
        t.add("level-step correlation", c.name.get(), ra.second, rb.second);
    }
    mean_rows(t, sa, sb);
}

}  // namespace

Ref fidelity(const Libs& L, const Model& m, PyObject* real, PyObject* rebuilt, PyObject* rebuilt_id) {
    // The compatible class puts its fresh ids in front as UNIQUE_ID and
    // carries the synthetic rows' own ids along.
    Ref rid = rebuilt_id_label(m, rebuilt, rebuilt_id, real);
    Side a = measure(L, m, real, m.cfg.id.get()), b = measure(L, m, rebuilt, rid.get());
    FactsView fa(a.facts.get()), fb(b.facts.get());
    Table t;
    length_rows(t, fa.item(N::lengths).get(), fb.item(N::lengths).get());
    const double ea = static_cast<double>(fa.i64(N::entities)), eb = static_cast<double>(fb.i64(N::entities));
    for (const ColumnModel& c : m.cols) {
        Ref x = a.find(c.name.get()), y = b.find(c.name.get());
        if (x && y) column_rows(t, m, c, FactsView(x.get()), FactsView(y.get()), ea, eb);
    }
    dynamics_rows(t, m, a, b, read_sorted(L, m, real, m.cfg.id.get(), "real"), read_sorted(L, m, rebuilt, rid.get(), "rebuilt"));
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    Ref names = new_list({text("measure"), text("column"), text("real"), text("rebuilt")});
    return call(frame_type.get(), {t.rows}, {kw(N::columns, names)});
}

}  // namespace seq
}  // namespace vt
