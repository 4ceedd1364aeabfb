// The table pass: one entity row per entity (row count, statics, first
// values) and one step row per pair of consecutive rows (row count,
// position, statics, differences, from- and to-values).
//
// A difference is taken from the last observed value of the entity, or from
// the column's smallest value when none was observed yet; a missing value
// gives a missing difference. Running sums that skip missing differences
// and start from the same reference then give back every observed value.
#include "sequences/seq.hpp"

namespace vt {
namespace seq {

namespace {

// The tables' columns by model column, built in any order and placed in
// input order at the end.
struct Tables {
    const Order& o;
    size_t n_steps;
    std::vector<Ref> first, step, to;  // to: categories' to-values
};

double encode(const ColumnModel&, double v) { return v; }
double encode(const ColumnModel& c, int64_t v) { return missing(v) ? nan : c.encode_ns(v); }
double difference(const ColumnModel&, double x, double base) { return x - base; }
double difference(const ColumnModel& c, int64_t x, int64_t base) { return static_cast<double>(x - base) / c.scale; }
double reference(const ColumnModel& c, double) { return c.lo; }
int64_t reference(const ColumnModel& c, int64_t) { return c.lo_ns; }

// Differences (or, for statics, the entity's value on every step) written
// straight into the step table's array.
template <class T>
void numeric_column(const Libs& L, const ColumnModel& c, const Values<T>& v, Tables& t, size_t i) {
    const Order& o = t.o;
    double* first = new_array<double>(L, o.entities(), "float64", t.first[i]);
    double* out = new_array<double>(L, t.n_steps, "float64", t.step[i]);
    size_t j = 0;
    for (size_t e = 0; e < o.entities(); ++e) {
        const int64_t s = o.starts[e], end = o.starts[e + 1];
        const T head = v[static_cast<size_t>(o.perm[static_cast<size_t>(s)])];
        first[e] = encode(c, head);
        if (c.is_static) {
            for (int64_t r = s + 1; r < end; ++r) out[j++] = first[e];
            continue;
        }
        bool seen = !missing(head);
        T last = head;
        for (int64_t r = s + 1; r < end; ++r, ++j) {
            const T x = v[static_cast<size_t>(o.perm[static_cast<size_t>(r)])];
            if (missing(x)) {
                out[j] = nan;
                continue;
            }
            out[j] = difference(c, x, seen ? last : reference(c, x));
            last = x;
            seen = true;
        }
    }
}

// Text stays plain Python objects (pandas 3 would otherwise convert every
// column to its own string storage, a second copy at the peak).
Ref text_column(const Libs& L, const std::vector<int32_t>& codes, PyObject* uniques) {
    Ref series_type = getattr(L.pd.get(), N::Series);
    Ref object_type = builtin("object");
    return call(series_type.get(), {object_array(L, codes, uniques)}, {kw(N::dtype, object_type), kw(N::copy, Py_False)});
}

void category_column(const Libs& L, const ColumnModel& c, PyObject* series, Tables& t, size_t i) {
    const Order& o = t.o;
    Ref uniques;
    const std::vector<int32_t> codes = std::move(read_codes(L, {series}, uniques)[0]);
    std::vector<int32_t> first(o.entities()), from(t.n_steps), to(c.is_static ? 0 : t.n_steps);
    size_t j = 0;
    for (size_t e = 0; e < o.entities(); ++e) {
        const int64_t s = o.starts[e], end = o.starts[e + 1];
        first[e] = codes[static_cast<size_t>(o.perm[static_cast<size_t>(s)])];
        for (int64_t r = s + 1; r < end; ++r, ++j) {
            if (c.is_static) {
                from[j] = first[e];
                continue;
            }
            from[j] = codes[static_cast<size_t>(o.perm[static_cast<size_t>(r - 1)])];
            to[j] = codes[static_cast<size_t>(o.perm[static_cast<size_t>(r)])];
        }
    }
    t.first[i] = text_column(L, first, uniques.get());
    t.step[i] = text_column(L, from, uniques.get());
    if (!c.is_static) t.to[i] = text_column(L, to, uniques.get());
}

void add_column(const Libs& L, const ColumnModel& c, PyObject* frame, Tables& t, size_t i) {
    Ref series = column(frame, c.name.get(), "input");
    switch (c.kind) {
        case Kind::number:
            numeric_column(L, c, read_numbers(L, series.get(), c.name.get(), "input"), t, i);
            break;
        case Kind::datetime:
        case Kind::timedelta:
            numeric_column(L, c, read_nanoseconds(series.get(), c.kind), t, i);
            break;
        case Kind::category:
            category_column(L, c, series.get(), t, i);
            break;
    }
}

}  // namespace

Ref make_tables(const Libs& L, const Model& m, PyObject* frame, Order* given) {
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    if (!require_ok(PyObject_IsInstance(frame, frame_type.get()))) raise(PyExc_TypeError, {"expected a pandas DataFrame"});
    if (length(frame) == 0) raise(PyExc_ValueError, {"the frame is empty"});
    const ColumnModel& tc = m.cols[m.time_index];
    Order o;
    if (given != nullptr) {
        o = std::move(*given);
    } else {
        Ref ids = column(frame, m.cfg.id.get(), "input");
        Ref times = column(frame, tc.name.get(), "input");
        o = is_time_like(tc.kind) ? entity_order(L, ids.get(), m.cfg.id.get(), read_nanoseconds(times.get(), tc.kind))
                                  : entity_order(L, ids.get(), m.cfg.id.get(), read_numbers(L, times.get(), tc.name.get(), "input"));
    }
    const size_t n = m.cols.size();
    Tables t{o, o.perm.size() - o.entities(), std::vector<Ref>(n), std::vector<Ref>(n), std::vector<Ref>(n)};
    // Categories first: coding them needs the most room, and the tables are smallest then.
    for (bool categories : {true, false})
        for (size_t i = 0; i < n; ++i)
            if ((m.cols[i].kind == Kind::category) == categories) add_column(L, m.cols[i], frame, t, i);

    Ref entity_count, step_count, position;
    int64_t* ek = new_array<int64_t>(L, o.entities(), "int64", entity_count);
    int64_t* sk = new_array<int64_t>(L, t.n_steps, "int64", step_count);
    int64_t* sp = new_array<int64_t>(L, t.n_steps, "int64", position);
    size_t j = 0;
    for (size_t e = 0; e < o.entities(); ++e) {
        const int64_t k = o.starts[e + 1] - o.starts[e];
        ek[e] = k;
        for (int64_t p = 0; p + 1 < k; ++p, ++j) {
            sk[j] = k;
            sp[j] = p;
        }
    }
    // Statics first in both tables, then the sequence columns, each in input order.
    std::vector<std::pair<Ref, Ref>> entity_cols, step_cols;
    entity_cols.emplace_back(Ref::borrow(m.count_name.get()), std::move(entity_count));
    step_cols.emplace_back(Ref::borrow(m.count_name.get()), std::move(step_count));
    step_cols.emplace_back(Ref::borrow(m.position_name.get()), std::move(position));
    for (bool statics : {true, false})
        for (size_t i = 0; i < n; ++i) {
            const ColumnModel& c = m.cols[i];
            if (c.is_static != statics) continue;
            entity_cols.emplace_back(Ref::borrow(c.name.get()), std::move(t.first[i]));
            step_cols.emplace_back(Ref::borrow(statics ? c.name.get() : c.step_name.get()), std::move(t.step[i]));
            if (t.to[i]) step_cols.emplace_back(Ref::borrow(c.to_name.get()), std::move(t.to[i]));
        }
    Ref entities = make_frame(L, entity_cols);
    entity_cols.clear();
    Ref steps = make_frame(L, step_cols);
    return new_tuple({entities, steps});
}

}  // namespace seq
}  // namespace vt
