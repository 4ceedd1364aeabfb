// The reverse pass: which entity rows are rebuilt, step pools keyed by row
// count, statics, from-values and position, and each entity's walk from its
// own start values.
#include "sequences/rebuild.hpp"

#include <algorithm>
#include <memory>

namespace vt {
namespace seq {

// ----- the plan ----------------------------------------------------------------------

std::vector<int64_t> row_counts(const Libs& L, const Model& m, PyObject* frame, const char* table, int64_t lowest) {
    Ref series = column(frame, m.count_name.get(), table);
    const Values<double> raw = read_numbers(L, series.get(), m.count_name.get(), table);
    std::vector<int64_t> out(raw.size());
    const double top = static_cast<double>(std::max(m.max_len, lowest));
    for (size_t i = 0; i < raw.size(); ++i) {
        if (std::isnan(raw[i]))
            raise(PyExc_ValueError, {"the ", table, " frame has missing row counts in '", m.count_name, "'"});
        out[i] = static_cast<int64_t>(std::min(std::max(std::nearbyint(raw[i]), static_cast<double>(lowest)), top));
    }
    return out;
}

namespace {

int64_t whole(PyObject* obj, const char* what, int64_t lowest) {
    Ref index = require(PyNumber_Index(obj));
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw_python_error();
    if (v < lowest) raise(PyExc_ValueError, {"counts: ", what, " must be at least ", integer(lowest), ", not ", obj});
    return v;
}

// The nearest row count c in [lowest, has.size()) with has[c] (ties: the
// larger), or 0 when there is none.
int64_t nearest(const std::vector<bool>& has, int64_t k, int64_t lowest) {
    const int64_t top = static_cast<int64_t>(has.size()) - 1;
    for (int64_t d = 0; d <= std::max(k, top); ++d)
        for (int64_t c : {k + d, k - d})
            if (c >= lowest && c <= top && has[static_cast<size_t>(c)]) return c;
    return 0;
}

}  // namespace

std::vector<Request> requests_of(PyObject* counts) {
    if (!PyDict_Check(counts)) raise(PyExc_TypeError, {"counts must be a dict {row count: number of entities}"});
    std::vector<Request> out;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(counts, &pos, &key, &value))
        out.push_back({whole(key, "a row count", 1), whole(value, "a number of entities", 0)});
    return out;
}

std::vector<Run> deal(const std::vector<int64_t>& histogram, const std::vector<Request>& requests) {
    const bool any = std::any_of(histogram.begin() + (histogram.empty() ? 0 : 1), histogram.end(), [](int64_t h) { return h > 0; });
    std::vector<int64_t> used(histogram.size(), 0);
    std::vector<bool> left(histogram.size());
    std::vector<Run> runs;
    for (const Request& r : requests) {
        if (r.entities > 0 && !any) raise(PyExc_ValueError, {"the entities frame is empty"});
        for (int64_t n = r.entities; n > 0;) {
            for (size_t c = 0; c < histogram.size(); ++c) left[c] = used[c] < histogram[c];
            const int64_t c = nearest(left, r.rows, 1);
            if (c == 0) {
                // Every entity row has been handed out: the next round starts over.
                std::fill(used.begin(), used.end(), 0);
                continue;
            }
            const size_t i = static_cast<size_t>(c);
            const int64_t take = std::min(n, histogram[i] - used[i]);
            runs.push_back({c, used[i], take, r.rows});
            used[i] += take;
            n -= take;
        }
    }
    return runs;
}

int64_t nearest_pool(const std::vector<bool>& has_steps, int64_t k) { return nearest(has_steps, k, 2); }

void plan(const Libs& L, const Model& m, PyObject* entities, PyObject* counts, std::vector<int64_t>& rows,
          std::vector<int64_t>& lengths) {
    const std::vector<int64_t> k_of = row_counts(L, m, entities, "entities", 1);
    if (k_of.empty()) raise(PyExc_ValueError, {"the entities frame is empty"});
    rows.clear();
    lengths.clear();
    if (counts == Py_None) {
        for (size_t i = 0; i < k_of.size(); ++i) rows.push_back(static_cast<int64_t>(i));
        lengths = k_of;
        return;
    }
    const std::vector<Request> requests = requests_of(counts);
    // Entity rows of each row count in table order; a run takes a stretch of them.
    std::vector<std::vector<int64_t>> by_count(static_cast<size_t>(m.max_len) + 1);
    std::vector<int64_t> histogram(by_count.size(), 0);
    for (size_t i = 0; i < k_of.size(); ++i) {
        by_count[static_cast<size_t>(k_of[i])].push_back(static_cast<int64_t>(i));
        ++histogram[static_cast<size_t>(k_of[i])];
    }
    for (const Run& run : deal(histogram, requests))
        for (int64_t j = 0; j < run.entities; ++j) {
            rows.push_back(by_count[static_cast<size_t>(run.count)][static_cast<size_t>(run.first + j)]);
            lengths.push_back(run.rows);
        }
}

// ----- the walk ----------------------------------------------------------------------

namespace {

constexpr int tries = 4;

struct Walker {
    const Model& m;
    const Pools& p;
    Output& out;
    const std::vector<size_t>& seq_num;
    const std::vector<size_t>& seq_cat;
    bool replay;
    std::vector<double> last;    // per seq_num: last observed value (NaN: none yet)
    std::vector<int32_t> cur;    // per seq_cat: current code

    // Which differences of the columns that may miss are missing: acceptance
    // compares only steps of the same pattern, so rejecting out-of-range
    // values cannot tilt the draw towards missing ones.
    uint64_t missing_pattern(int64_t s) const {
        uint64_t h = 0;
        for (size_t i = 0; i < seq_num.size(); ++i)
            if (m.cols[seq_num[i]].missing_rate > 0 && std::isnan(p.diff(static_cast<size_t>(s), i))) h = chain(h, i);
        return h;
    }

    bool acceptable(int64_t s) const {
        for (size_t i = 0; i < seq_num.size(); ++i) {
            const ColumnModel& c = m.cols[seq_num[i]];
            const double d = p.diff(static_cast<size_t>(s), i);
            if (std::isnan(d)) {
                if (c.missing_rate == 0) return false;
                continue;
            }
            if (c.is_time) {
                if (!std::isnan(last[i]) && d < c.step_lo) return false;
                continue;
            }
            const double v = (std::isnan(last[i]) ? c.lo : last[i]) + d;
            if (m.cfg.clip && (v < c.lo || v > c.hi)) return false;
        }
        for (size_t i = 0; i < seq_cat.size(); ++i)
            if (!p.seen(seq_cat[i], cur[i], p.to(static_cast<size_t>(s), i))) return false;
        return true;
    }

    int64_t choose(Rng& rng, int64_t pool, uint64_t skey, int64_t position) const {
        LevelKeys keys(pool, skey);
        for (int32_t code : cur) keys.add(code);
        int64_t fallback = -1;
        uint64_t pattern = 0;
        for (int level = 0; level < levels; ++level) {
            const Level::Group group = p.level[level].find(keys.at(level, position));
            if (group.size == 0) continue;
            // The first draw settles the missing pattern; draws of another pattern are skipped.
            for (int t = 0, judged = 0; t < 4 * tries && judged < tries; ++t) {
                const int64_t s = group.at(rng.below(group.size));
                if (fallback < 0) {
                    fallback = s;
                    pattern = missing_pattern(s);
                } else if (missing_pattern(s) != pattern) {
                    continue;
                }
                ++judged;
                if (acceptable(s)) return s;
            }
        }
        return fallback;
    }

    void step(Rng& rng, int64_t s, size_t row) {
        for (size_t i = 0; i < seq_num.size(); ++i) {
            const ColumnModel& c = m.cols[seq_num[i]];
            double d = p.diff(static_cast<size_t>(s), i);
            if (std::isnan(d) && c.missing_rate == 0) d = c.is_time && !std::isnan(c.step_lo) ? c.step_lo : 0.0;
            double& v = out.num[seq_num[i]][row];
            if (std::isnan(d)) {
                v = nan;
                continue;
            }
            if (c.is_time && !replay && !std::isnan(last[i]) && d < c.step_lo) d = c.step_lo;
            v = settle(c, (std::isnan(last[i]) ? c.lo : last[i]) + d, m.cfg.clip && !c.is_time);
            last[i] = v;
        }
        for (size_t i = 0; i < seq_cat.size(); ++i) {
            int32_t to = p.to(static_cast<size_t>(s), i);
            // A value never seen followed by any takes the drawn step's value: one
            // pair never seen, after which the entity chains again.
            if (!replay && !p.seen(seq_cat[i], cur[i], to)) to = p.successor(seq_cat[i], cur[i], to, rng);
            out.code[seq_cat[i]][row] = to;
            cur[i] = to;
        }
    }

    // The entity's first row: its statics over all k rows, its start values and codes.
    void start(const std::vector<size_t>& statics, size_t e, size_t row, size_t k) {
        for (size_t c : statics) out.fill(c, p, e, row, k);
        for (size_t j = 0; j < seq_num.size(); ++j) last[j] = out.fill(seq_num[j], p, e, row, 1);
        for (size_t j = 0; j < seq_cat.size(); ++j) cur[j] = out.code[seq_cat[j]][row] = p.e_code[seq_cat[j]][e];
    }

    // Moves (or, failing that, compresses) the entity's times into the real range.
    void fit_time(size_t first_row, size_t k) {
        const ColumnModel& c = m.cols[m.time_index];
        double* t = out.num[m.time_index];
        double lo = nan, hi = nan, observed = 0;
        for (size_t r = first_row; r < first_row + k; ++r) {
            if (std::isnan(t[r])) continue;
            if (std::isnan(lo)) lo = t[r];
            hi = t[r];
            ++observed;
        }
        if (std::isnan(hi) || hi <= c.hi) return;
        double shift = std::min(hi - c.hi, lo - c.lo);
        if (c.grid > 0) shift = std::ceil(shift / c.grid - 1e-9) * c.grid;
        const double span = hi - lo, room = c.hi - c.lo;
        const double squeeze = span > room && span > 0 ? room / span : 1.0;
        // Rising times matter more than the grid when the steps cannot all
        // fit on it (integers have no finer values).
        const double grid = c.integral || (observed - 1) * c.grid <= room ? c.grid : 0.0;
        double prev = nan;
        for (size_t r = first_row; r < first_row + k; ++r) {
            if (std::isnan(t[r])) continue;
            double v = squeeze < 1.0 ? c.lo + (t[r] - lo) * squeeze : t[r] - shift;
            if (grid > 0) v = std::floor(v / grid + 1e-9) * grid;
            if (!std::isnan(prev) && c.step_lo > 0 && v <= prev) v = prev + (grid > 0 ? grid : c.step_lo * squeeze);
            t[r] = v = std::min(std::max(v, c.lo), c.hi);
            prev = v;
        }
    }
};

std::vector<size_t> static_columns(const Model& m) {
    std::vector<size_t> statics;
    for (size_t i = 0; i < m.cols.size(); ++i)
        if (m.cols[i].is_static) statics.push_back(i);
    return statics;
}

struct PlanSize {
    size_t total = 0;   // rows out
    size_t needed = 0;  // steps drawn
    int64_t longest = 1;
};

// Checks the plan against the pools and measures it.
PlanSize plan_size(const Pools& p, const std::vector<int64_t>& rows, const std::vector<int64_t>& lengths, bool replay) {
    PlanSize z;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] < 0 || static_cast<size_t>(rows[i]) >= p.n_e) raise(PyExc_IndexError, {"entity row out of range"});
        z.total += static_cast<size_t>(lengths[i]);
        z.needed += static_cast<size_t>(lengths[i] - 1);
        z.longest = std::max(z.longest, lengths[i]);
    }
    if (replay && z.needed > p.n_s)
        raise(PyExc_ValueError, {"replaying needs ", integer(static_cast<long long>(z.needed)),
                                 " steps but the steps frame has ", integer(static_cast<long long>(p.n_s))});
    return z;
}

}  // namespace

Ref rebuild(const Libs& L, const Model& m, PyObject* entities, PyObject* steps, const std::vector<int64_t>& rows,
            const std::vector<int64_t>& lengths, bool replay, const int64_t* given_ids) {
    auto pools = std::make_unique<Pools>(L, m, entities, steps, replay);
    Pools& p = *pools;
    const std::vector<size_t> statics = static_columns(m);
    const PlanSize size = plan_size(p, rows, lengths, replay);
    const std::vector<int64_t> pool_of = p.nearest_pools(size.longest, replay);

    release_freed_memory();
    Output out(L, m, size.total);
    Walker w{m, p, out, p.seq_num, p.seq_cat, replay, std::vector<double>(p.seq_num.size()),
             std::vector<int32_t>(p.seq_cat.size())};
    std::vector<int64_t> ids(rows.size());
    const uint64_t seed = PyLong_AsUnsignedLongLongMask(m.cfg.random_state.get());
    if (PyErr_Occurred()) throw_python_error();
    size_t row = 0, cursor = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const size_t e = static_cast<size_t>(rows[i]), k = static_cast<size_t>(lengths[i]);
        // Given ids let a partition rebuild entities whose plan numbers are not consecutive.
        const int64_t id = given_ids != nullptr ? given_ids[i] : static_cast<int64_t>(i) + 1;
        Rng rng(seed, static_cast<uint64_t>(id));
        ids[i] = id;
        w.start(statics, e, row, k);
        for (size_t j = 0; j + 1 < k; ++j) {
            const int64_t s = replay ? static_cast<int64_t>(cursor++)
                                     : w.choose(rng, pool_of[k], p.e_skey[e], static_cast<int64_t>(j));
            w.step(rng, s, row + j + 1);
        }
        if (m.cfg.clip) w.fit_time(row, k);
        row += k;
    }
    // The pools go before the frame is built: they are the larger part.
    std::vector<Ref> uniques = std::move(p.uniques);
    pools.reset();
    release_freed_memory();
    return out.frame(L, m, uniques, ids, lengths);
}

}  // namespace seq
}  // namespace vt
