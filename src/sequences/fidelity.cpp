// Real against rebuilt entities, measured by the facts pass over both frames
// with the fitted model's ranges, encodings and category pairs.
#include "sequences/facts.hpp"

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

}  // namespace

Ref fidelity(const Libs& L, const Model& m, PyObject* real, PyObject* rebuilt, PyObject* rebuilt_id) {
    Ref rid = Ref::borrow(rebuilt_id);
    if (rebuilt_id == Py_None) {
        // The compatible class puts its fresh ids in front as UNIQUE_ID and
        // carries the synthetic rows' own ids along: a UNIQUE_ID the real
        // frame lacks is those entities.
        Ref in_rebuilt = getattr(rebuilt, N::columns), in_real = getattr(real, N::columns);
        const bool compatible = contains(in_rebuilt.get(), name(N::UNIQUE_ID)) && !contains(in_real.get(), name(N::UNIQUE_ID));
        rid = Ref::borrow(compatible ? name(N::UNIQUE_ID) : m.cfg.id.get());
    }
    Side a = measure(L, m, real, m.cfg.id.get()), b = measure(L, m, rebuilt, rid.get());
    FactsView fa(a.facts.get()), fb(b.facts.get());
    Table t;
    length_rows(t, fa.item(N::lengths).get(), fb.item(N::lengths).get());
    const double ea = static_cast<double>(fa.i64(N::entities)), eb = static_cast<double>(fb.i64(N::entities));
    for (const ColumnModel& c : m.cols) {
        Ref x = a.find(c.name.get()), y = b.find(c.name.get());
        if (x && y) column_rows(t, m, c, FactsView(x.get()), FactsView(y.get()), ea, eb);
    }
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    Ref names = new_list({text("measure"), text("column"), text("real"), text("rebuilt")});
    return call(frame_type.get(), {t.rows}, {kw(N::columns, names)});
}

}  // namespace seq
}  // namespace vt
