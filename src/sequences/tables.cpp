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

struct Tables {
    const Order& o;
    size_t n_steps;
    std::vector<std::pair<Ref, Ref>> entity_cols, step_cols;
    std::vector<std::pair<Ref, Ref>> static_steps;  // placed after count and position
};

double encode(const ColumnModel&, double v) { return v; }
double encode(const ColumnModel& c, int64_t v) { return missing(v) ? nan : c.encode_ns(v); }
double difference(const ColumnModel&, double x, double base) { return x - base; }
double difference(const ColumnModel& c, int64_t x, int64_t base) { return static_cast<double>(x - base) / c.scale; }
double reference(const ColumnModel& c, double) { return c.lo; }
int64_t reference(const ColumnModel& c, int64_t) { return c.lo_ns; }

template <class T>
void numeric_column(const Libs& L, const ColumnModel& c, const std::vector<T>& v, Tables& t) {
    const Order& o = t.o;
    std::vector<double> first(o.entities()), diff(c.is_static ? 0 : t.n_steps), statics(c.is_static ? t.n_steps : 0);
    size_t j = 0;
    for (size_t e = 0; e < o.entities(); ++e) {
        const int64_t s = o.starts[e], end = o.starts[e + 1];
        const T head = v[static_cast<size_t>(o.perm[static_cast<size_t>(s)])];
        first[e] = encode(c, head);
        if (c.is_static) {
            for (int64_t r = s + 1; r < end; ++r) statics[j++] = first[e];
            continue;
        }
        bool seen = !missing(head);
        T last = head;
        for (int64_t r = s + 1; r < end; ++r, ++j) {
            const T x = v[static_cast<size_t>(o.perm[static_cast<size_t>(r)])];
            if (missing(x)) {
                diff[j] = nan;
                continue;
            }
            diff[j] = difference(c, x, seen ? last : reference(c, x));
            last = x;
            seen = true;
        }
    }
    t.entity_cols.emplace_back(Ref::borrow(c.name.get()), float_array(L, first));
    if (c.is_static)
        t.static_steps.emplace_back(Ref::borrow(c.name.get()), float_array(L, statics));
    else
        t.step_cols.emplace_back(Ref::borrow(c.step_name.get()), float_array(L, diff));
}

void category_column(const Libs& L, const ColumnModel& c, PyObject* series, Tables& t) {
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
    t.entity_cols.emplace_back(Ref::borrow(c.name.get()), object_array(L, first, uniques.get()));
    if (c.is_static) {
        t.static_steps.emplace_back(Ref::borrow(c.name.get()), object_array(L, from, uniques.get()));
        return;
    }
    t.step_cols.emplace_back(Ref::borrow(c.step_name.get()), object_array(L, from, uniques.get()));
    t.step_cols.emplace_back(Ref::borrow(c.to_name.get()), object_array(L, to, uniques.get()));
}

void add_column(const Libs& L, const ColumnModel& c, PyObject* frame, Tables& t) {
    Ref series = column(frame, c.name.get(), "input");
    switch (c.kind) {
        case Kind::number:
            numeric_column(L, c, read_numbers(L, series.get(), c.name.get(), "input"), t);
            break;
        case Kind::datetime:
        case Kind::timedelta:
            numeric_column(L, c, read_nanoseconds(L, series.get(), c.kind), t);
            break;
        case Kind::category:
            category_column(L, c, series.get(), t);
            break;
    }
}

}  // namespace

Ref make_tables(const Libs& L, const Model& m, PyObject* frame) {
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    if (!require_ok(PyObject_IsInstance(frame, frame_type.get()))) raise(PyExc_TypeError, {"expected a pandas DataFrame"});
    if (length(frame) == 0) raise(PyExc_ValueError, {"the frame is empty"});
    const ColumnModel& tc = m.cols[m.time_index];
    Ref ids = column(frame, m.cfg.id.get(), "input");
    Ref times = column(frame, tc.name.get(), "input");
    Order o = is_time_like(tc.kind) ? entity_order(L, ids.get(), m.cfg.id.get(), read_nanoseconds(L, times.get(), tc.kind))
                                    : entity_order(L, ids.get(), m.cfg.id.get(), read_numbers(L, times.get(), tc.name.get(), "input"));
    Tables t{o, o.perm.size() - o.entities(), {}, {}, {}};

    std::vector<int64_t> entity_count(o.entities()), step_count(t.n_steps), position(t.n_steps);
    size_t j = 0;
    for (size_t e = 0; e < o.entities(); ++e) {
        const int64_t k = o.starts[e + 1] - o.starts[e];
        entity_count[e] = k;
        for (int64_t p = 0; p + 1 < k; ++p, ++j) {
            step_count[j] = k;
            position[j] = p;
        }
    }
    t.entity_cols.emplace_back(Ref::borrow(m.count_name.get()), int_array(L, entity_count));
    t.step_cols.emplace_back(Ref::borrow(m.count_name.get()), int_array(L, step_count));
    t.step_cols.emplace_back(Ref::borrow(m.position_name.get()), int_array(L, position));
    // Statics first in both tables, then the sequence columns, each in input order.
    for (bool statics : {true, false})
        for (const ColumnModel& c : m.cols)
            if (c.is_static == statics) add_column(L, c, frame, t);
    t.step_cols.insert(t.step_cols.begin() + 2, std::make_move_iterator(t.static_steps.begin()),
                       std::make_move_iterator(t.static_steps.end()));
    Ref entities = make_frame(L, t.entity_cols);
    Ref steps = make_frame(L, t.step_cols);
    return new_tuple({entities, steps});
}

}  // namespace seq
}  // namespace vt
