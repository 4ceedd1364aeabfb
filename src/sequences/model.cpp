// The constructor's options, the columns a frame contributes, and the fitted
// model derived from combined facts: statics, time unit, origins, bounds and
// the tables' column names.
#include "sequences/seq.hpp"

#include "sequences/facts.hpp"

#include <numeric>

namespace vt {
namespace seq {

namespace {

struct UnitEntry {
    const char* name;
    int64_t ns;
};
constexpr UnitEntry units[] = {{"D", 86400000000000LL}, {"h", 3600000000000LL}, {"min", 60000000000LL},
                               {"s", 1000000000LL},     {"ms", 1000000LL},        {"us", 1000LL},
                               {"ns", 1LL}};

// The largest unit dividing g (every unit divides 0).
const UnitEntry& unit_dividing(uint64_t g) {
    for (const UnitEntry& u : units)
        if (g % static_cast<uint64_t>(u.ns) == 0) return u;
    return units[6];
}

// None, or the labels as a new list (one label given on its own counts as one).
Ref label_list(PyObject* labels) {
    if (labels == Py_None) return Ref::borrow(Py_None);
    if (PyUnicode_Check(labels) || PyTuple_Check(labels)) return new_list({labels});
    return require(PySequence_List(labels));
}

}  // namespace

Config parse_config(PyObject* id, PyObject* time, PyObject* statics, PyObject* columns, PyObject* unit, int clip,
                    PyObject* random_state) {
    Config c;
    if (id == Py_None || time == Py_None) raise(PyExc_TypeError, {"id_column and time_column must name columns"});
    if (require_ok(PyObject_RichCompareBool(id, time, Py_EQ)))
        raise(PyExc_ValueError, {"id_column and time_column are the same column '", id, "'"});
    c.id = Ref::borrow(id);
    c.time = Ref::borrow(time);
    c.statics = label_list(statics);
    c.columns = label_list(columns);
    if (unit != Py_None) {
        bool known = false;
        for (const UnitEntry& u : units) known = known || (PyUnicode_Check(unit) && PyUnicode_CompareWithASCIIString(unit, u.name) == 0);
        if (!known) raise(PyExc_ValueError, {"time_unit must be one of 'D', 'h', 'min', 's', 'ms', 'us', 'ns' or None, not ", unit});
    }
    c.unit = Ref::borrow(unit);
    c.clip = clip != 0;
    if (PyBool_Check(random_state) || !PyLong_Check(random_state))
        raise(PyExc_TypeError, {"random_state must be an int"});
    c.random_state = Ref::borrow(random_state);
    return c;
}

void chosen_columns(const Libs& L, const Config& cfg, PyObject* frame, Ref& labels, std::vector<Kind>& kinds) {
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    if (!require_ok(PyObject_IsInstance(frame, frame_type.get())))
        raise(PyExc_TypeError, {"expected a pandas DataFrame"});
    Ref present = getattr(frame, N::columns);
    Ref unique = getattr(present.get(), N::is_unique);
    if (!truthy(unique.get())) raise(PyExc_ValueError, {"the frame has repeated column labels"});
    Ref wanted = new_list({cfg.id, cfg.time});
    for (PyObject* group : {cfg.columns.get(), cfg.statics.get()}) {
        if (group == Py_None) continue;
        for (Ref& label : iterate(group)) {
            if (require_ok(PyObject_RichCompareBool(label.get(), cfg.id.get(), Py_EQ)))
                raise(PyExc_ValueError, {"the id column '", label, "' cannot also be a pipelined column"});
            require_ok(PyList_Append(wanted.get(), label.get()));
        }
    }
    for (Ref& label : iterate(wanted.get()))
        if (!contains(present.get(), label.get())) raise(PyExc_KeyError, {"unknown column '", label, "'"});
    if (cfg.statics.get() != Py_None && contains(cfg.statics.get(), cfg.time.get()))
        raise(PyExc_ValueError, {"the time column '", cfg.time, "' cannot be static"});

    labels = new_list();
    kinds.clear();
    for (Ref& label : iterate(present.get())) {
        if (require_ok(PyObject_RichCompareBool(label.get(), cfg.id.get(), Py_EQ))) {
            require_ok(PyList_Append(labels.get(), label.get()));
            kinds.push_back(Kind::category);  // not pipelined
            continue;
        }
        if (cfg.columns.get() != Py_None && !contains(wanted.get(), label.get())) continue;
        Ref series = getitem(frame, label.get());
        Kind k = classify(L, series.get(), label.get());
        if (k == Kind::category && require_ok(PyObject_RichCompareBool(label.get(), cfg.time.get(), Py_EQ)))
            raise(PyExc_TypeError, {"the time column '", label,
                                    "' must hold numbers, datetimes or timedeltas (convert text with pd.to_datetime)"});
        require_ok(PyList_Append(labels.get(), label.get()));
        kinds.push_back(k);
    }
}

namespace {

// base, or base_1, base_2, ... whichever is not yet taken; then taken.
Ref safe_name(PyObject* taken, Ref base) {
    Ref candidate = Ref::borrow(base.get());
    for (long i = 1; contains(taken, candidate.get()); ++i) {
        Ref number = integer(i);
        candidate = build_message({base, "_", number});
    }
    require_ok(PySet_Add(taken, candidate.get()));
    return candidate;
}

void name_columns(Model& m) {
    Ref taken = require(PySet_New(nullptr));
    for (Ref& label : iterate(m.order.get())) {
        Ref shown = format_text(label.get());
        require_ok(PySet_Add(taken.get(), shown.get()));
        require_ok(PySet_Add(taken.get(), label.get()));
    }
    m.count_name = safe_name(taken.get(), text("row_count"));
    m.position_name = safe_name(taken.get(), text("position"));
    for (ColumnModel& c : m.cols) {
        if (c.is_static) continue;
        if (c.kind == Kind::category) {
            c.step_name = safe_name(taken.get(), build_message({c.name, "_from"}));
            c.to_name = safe_name(taken.get(), build_message({c.name, "_to"}));
        } else {
            c.step_name = safe_name(taken.get(), build_message({c.name, "_diff"}));
        }
    }
}

void choose_statics(const Config& cfg, Model& m, const std::vector<int64_t>& constant) {
    for (size_t i = 0; i < m.cols.size(); ++i) {
        ColumnModel& c = m.cols[i];
        const bool steady = constant[i] == m.entities;
        if (cfg.statics.get() == Py_None) {
            c.is_static = steady && !c.is_time;
        } else if (contains(cfg.statics.get(), c.name.get())) {
            if (!steady)
                raise(PyExc_ValueError, {"static column '", c.name, "' changes within ",
                                         integer(m.entities - constant[i]), " entities"});
            c.is_static = true;
        }
    }
}

void choose_unit(const Config& cfg, Model& m, const std::vector<uint64_t>& step_gcd) {
    // From the time column's steps where it is time-like, else from those of
    // every time-like sequence column.
    bool any_time_like = false;
    uint64_t g = 0;
    const bool by_time = is_time_like(m.cols[m.time_index].kind);
    for (size_t i = 0; i < m.cols.size(); ++i) {
        if (!is_time_like(m.cols[i].kind)) continue;
        any_time_like = true;
        if (!m.cols[i].is_static && (!by_time || i == m.time_index)) g = std::gcd(g, step_gcd[i]);
    }
    if (cfg.unit.get() != Py_None) {
        for (const UnitEntry& u : units)
            if (PyUnicode_CompareWithASCIIString(cfg.unit.get(), u.name) == 0) m.unit_ns = u.ns;
        m.unit = Ref::borrow(cfg.unit.get());
    } else if (any_time_like) {
        const UnitEntry& u = unit_dividing(g);
        m.unit = text(u.name);
        m.unit_ns = u.ns;
    } else {
        m.unit = Ref::borrow(Py_None);
    }
}

int64_t floor_to(int64_t v, int64_t step) {
    int64_t q = v / step;
    if ((v % step != 0) && (v < 0)) --q;
    return q * step;
}

// What the later choices need of each column's facts, one entry a column
// (0 where a column has none).
struct ColumnFacts {
    std::vector<int64_t> constant;
    std::vector<uint64_t> step_gcd, value_gcd;
    std::vector<int64_t> hi_ns;
};

void read_totals(const Config& cfg, const FactsView& top, Model& m) {
    m.rows = top.i64(N::rows);
    m.entities = top.i64(N::entities);
    m.lengths = top.item(N::lengths);
    m.order = top.item(N::order);
    for (Ref& label : iterate(m.order.get())) {
        if (require_ok(PyObject_RichCompareBool(label.get(), cfg.id.get(), Py_EQ))) break;
        ++m.id_position;
    }
    for (Ref& k : iterate(m.lengths.get())) m.max_len = std::max(m.max_len, static_cast<int64_t>(PyLong_AsLongLong(k.get())));
}

ColumnModel read_column(const Config& cfg, const FactsView& f, PyObject* is_integer, ColumnFacts& facts) {
    ColumnModel c;
    c.name = f.item(N::name);
    c.kind = kind_from_name(f.item(N::kind).get());
    c.dtype = f.item(N::dtype);
    c.is_time = require_ok(PyObject_RichCompareBool(c.name.get(), cfg.time.get(), Py_EQ)) == 1;
    const int64_t observed = f.i64(N::observed), miss = f.i64(N::missing);
    c.missing_rate = observed + miss > 0 ? static_cast<double>(miss) / static_cast<double>(observed + miss) : 0.0;
    facts.constant.push_back(f.i64(N::constant));
    if (c.kind == Kind::category) {
        c.pairs = f.item(N::pairs);
        facts.step_gcd.push_back(0);
        facts.value_gcd.push_back(0);
        facts.hi_ns.push_back(0);
        return c;
    }
    c.integral = c.kind == Kind::number && truthy(call(is_integer, {c.dtype}).get());
    c.lo = f.f64(N::lo);
    c.hi = f.f64(N::hi);
    c.step_lo = f.f64(N::step_lo);
    if (is_time_like(c.kind) && observed > 0) {
        c.lo_ns = f.i64(N::lo);
        facts.hi_ns.push_back(f.i64(N::hi));
    } else {
        facts.hi_ns.push_back(0);
    }
    facts.step_gcd.push_back(is_time_like(c.kind) ? f.u64(N::step_gcd) : 0);
    facts.value_gcd.push_back(is_time_like(c.kind) ? f.u64(N::value_gcd) : 0);
    return c;
}

// Time-like bounds, steps and grids in the chosen unit (datetimes counted
// from their earliest value, floored to the unit); numbers only get a grid.
void rescale(Model& m, const ColumnFacts& facts) {
    for (size_t i = 0; i < m.cols.size(); ++i) {
        ColumnModel& c = m.cols[i];
        if (c.kind == Kind::number) {
            c.grid = c.integral ? 1.0 : 0.0;
            continue;
        }
        if (c.kind == Kind::category) continue;
        c.scale = static_cast<double>(m.unit_ns);
        if (c.kind == Kind::datetime && !std::isnan(c.lo)) c.origin = floor_to(c.lo_ns, m.unit_ns);
        if (!std::isnan(c.lo)) {
            c.lo = c.encode_ns(c.lo_ns);
            c.hi = c.encode_ns(facts.hi_ns[i]);
        }
        c.step_lo = c.step_lo / c.scale;
        c.grid = static_cast<double>(unit_dividing(facts.value_gcd[i]).ns) / c.scale;
    }
}

}  // namespace

Model build_model(const Libs& L, const Config& cfg, PyObject* facts) {
    Model m;
    m.cfg = Config{Ref::borrow(cfg.id.get()), Ref::borrow(cfg.time.get()), Ref::borrow(cfg.statics.get()),
                   Ref::borrow(cfg.columns.get()), Ref::borrow(cfg.unit.get()), cfg.clip,
                   Ref::borrow(cfg.random_state.get())};
    FactsView top(facts);
    read_totals(cfg, top, m);

    ColumnFacts per_column;
    Ref is_integer = getattr(L.types.get(), N::is_integer_dtype);
    bool time_found = false;
    for (Ref& entry : iterate(top.item(N::columns).get())) {
        ColumnModel c = read_column(cfg, FactsView(entry.get()), is_integer.get(), per_column);
        if (c.is_time) {
            m.time_index = m.cols.size();
            time_found = true;
        }
        m.cols.push_back(std::move(c));
    }
    if (!time_found) raise(PyExc_ValueError, {"the facts lack the time column '", cfg.time, "'"});

    choose_statics(cfg, m, per_column.constant);
    choose_unit(cfg, m, per_column.step_gcd);
    rescale(m, per_column);
    name_columns(m);
    return m;
}

}  // namespace seq
}  // namespace vt
