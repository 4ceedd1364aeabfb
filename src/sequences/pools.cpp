// The synthetic tables read natively and grouped into step pools.
#include "sequences/rebuild.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace vt {
namespace seq {

size_t Level::slot_of(uint64_t key) const {
    const size_t mask = slot_keys.size() - 1;
    size_t i = static_cast<size_t>(Rng::mix(key)) & mask;
    while (slot_groups[i] != no_group && slot_keys[i] != key) i = (i + 1) & mask;
    return i;
}

uint32_t Level::group_of(uint64_t key, uint32_t& groups) {
    if (2 * (static_cast<size_t>(groups) + 1) > slot_keys.size()) {
        std::vector<uint64_t> keys = std::move(slot_keys);
        std::vector<uint32_t> ids = std::move(slot_groups);
        slot_keys.assign(std::max<size_t>(16, 2 * keys.size()), 0);
        slot_groups.assign(slot_keys.size(), no_group);
        for (size_t i = 0; i < keys.size(); ++i)
            if (ids[i] != no_group) {
                const size_t j = slot_of(keys[i]);
                slot_keys[j] = keys[i];
                slot_groups[j] = ids[i];
            }
    }
    const size_t i = slot_of(key);
    if (slot_groups[i] == no_group) {
        slot_keys[i] = key;
        slot_groups[i] = groups++;
    }
    return slot_groups[i];
}

// Groups in order of first appearance, steps in row order within each: a
// counting sort, so the same tables always give the same pools.
void Level::build(const std::vector<uint64_t>& hashes) {
    slot_keys.clear();
    slot_groups.clear();
    uint32_t groups = 0;
    std::vector<uint32_t> group(hashes.size());
    for (size_t s = 0; s < hashes.size(); ++s) group[s] = group_of(hashes[s], groups);
    offsets.assign(static_cast<size_t>(groups) + 1, 0);
    for (uint32_t g : group) ++offsets[g + 1];
    for (size_t g = 0; g < groups; ++g) offsets[g + 1] += offsets[g];
    std::vector<uint32_t> next(offsets.begin(), offsets.end() - 1);
    steps.resize(hashes.size());
    for (size_t s = 0; s < hashes.size(); ++s) steps[next[group[s]]++] = static_cast<int32_t>(s);
}

Level::Group Level::find(uint64_t key) const {
    Group out;
    if (slot_keys.empty()) return out;
    const uint32_t g = slot_groups[slot_of(key)];
    if (g == no_group) return out;
    out.offset = offsets[g];
    out.size = offsets[g + 1] - offsets[g];
    if (!in_place) out.steps = steps.data() + out.offset;
    return out;
}

namespace {

void require_columns(const Model& m, PyObject* frame, const char* table, bool steps) {
    Ref present = getattr(frame, N::columns);
    Ref lacking = require(PyList_New(0));
    auto need = [&](PyObject* label) {
        if (!contains(present.get(), label)) require_ok(PyList_Append(lacking.get(), label));
    };
    need(m.count_name.get());
    for (const ColumnModel& c : m.cols) {
        if (!steps || c.is_static) {
            need(c.name.get());
        } else {
            need(c.step_name.get());
            if (c.kind == Kind::category) need(c.to_name.get());
        }
    }
    if (PyList_GET_SIZE(lacking.get()) != 0) {
        Ref shown = require(PyObject_Str(lacking.get()));
        raise(PyExc_ValueError, {"the ", table, " frame lacks the columns ", shown});
    }
}

std::vector<double> settled(const Libs& L, const ColumnModel& c, PyObject* frame, PyObject* label, const char* table,
                            bool clip) {
    Ref series = column(frame, label, table);
    const Values<double> raw = read_numbers(L, series.get(), label, table);
    std::vector<double> v(raw.size());
    for (size_t i = 0; i < v.size(); ++i) {
        const double x = raw[i];
        v[i] = settle(c, std::isnan(x) && c.missing_rate == 0 ? c.lo : x, clip);
    }
    return v;
}

uint64_t bits(double v) {
    if (std::isnan(v)) return 0x7FF8000000000000ull;
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

Pools::Pools(const Libs& L, const Model& m, PyObject* entities, PyObject* steps, bool replay) {
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    for (PyObject* f : {entities, steps})
        if (!require_ok(PyObject_IsInstance(f, frame_type.get()))) raise(PyExc_TypeError, {"expected pandas DataFrames"});
    require_columns(m, entities, "entities", false);
    require_columns(m, steps, "steps", true);
    n_e = static_cast<size_t>(length(entities));
    n_s = static_cast<size_t>(length(steps));
    if (n_s >= 0x7FFFFFFFu) raise(PyExc_ValueError, {"the steps frame has too many rows (at most 2**31 - 2)"});
    {
        const std::vector<int64_t> counts = row_counts(L, m, steps, "steps", 2);
        s_count.assign(counts.begin(), counts.end());
    }
    s_pos.assign(n_s, -1);
    Ref present = getattr(steps, N::columns);
    if (contains(present.get(), m.position_name.get())) {
        Ref series = column(steps, m.position_name.get(), "steps");
        const Values<double> raw = read_numbers(L, series.get(), m.position_name.get(), "steps");
        for (size_t s = 0; s < n_s; ++s)
            if (!std::isnan(raw[s]))
                s_pos[s] = static_cast<int32_t>(std::min(std::max(std::nearbyint(raw[s]), 0.0), static_cast<double>(s_count[s] - 2)));
    }
    const size_t n = m.cols.size();
    e_num.resize(n), s_num.resize(n), s_diff.resize(n), e_code.resize(n), s_from.resize(n), s_to.resize(n);
    uniques.resize(n), pairs.resize(n), successors.resize(n), seen_matrix.resize(n), side.assign(n, 0);
    for (size_t c = 0; c < n; ++c) read_column(L, m, c, entities, steps);
    build_keys(m, replay);
    release_freed_memory();
    pack(m);
}

template <class T>
void Pools::renumber(std::vector<T>& v) const {
    std::vector<T> out(v.size());
    for (size_t s = 0; s < v.size(); ++s) out[s] = v[static_cast<size_t>(order[s])];
    v.swap(out);
}

void Pools::pack(const Model& m) {
    for (size_t c = 0; c < m.cols.size(); ++c)
        if (!m.cols[c].is_static) (m.cols[c].kind == Kind::category ? seq_cat : seq_num).push_back(c);
    width = seq_num.size() + seq_cat.size();
    packed.resize(n_s * width);
    for (size_t s = 0; s < n_s; ++s) {
        double* row = packed.data() + s * width;
        const size_t r = static_cast<size_t>(order[s]);
        for (size_t i = 0; i < seq_num.size(); ++i) row[i] = s_diff[seq_num[i]][r];
        for (size_t j = 0; j < seq_cat.size(); ++j) row[seq_num.size() + j] = s_to[seq_cat[j]][r];
    }
    for (size_t c : seq_num) s_diff[c] = Values<double>();
    for (size_t c : seq_cat) s_to[c] = std::vector<int32_t>();
}

void Pools::read_column(const Libs& L, const Model& m, size_t i, PyObject* entities, PyObject* steps) {
    const ColumnModel& c = m.cols[i];
    if (c.kind != Kind::category) {
        e_num[i] = settled(L, c, entities, c.name.get(), "entities", m.cfg.clip);
        if (c.is_static) {
            s_num[i] = settled(L, c, steps, c.name.get(), "steps", m.cfg.clip);
        } else {
            Ref series = column(steps, c.step_name.get(), "steps");
            s_diff[i] = read_numbers(L, series.get(), c.step_name.get(), "steps");
        }
        return;
    }
    Ref e = column(entities, c.name.get(), "entities");
    if (c.is_static) {
        Ref s = column(steps, c.name.get(), "steps");
        auto codes = read_codes(L, {e.get(), s.get()}, uniques[i]);
        e_code[i] = std::move(codes[0]);
        s_from[i] = std::move(codes[1]);
        return;
    }
    Ref from = column(steps, c.step_name.get(), "steps"), to = column(steps, c.to_name.get(), "steps");
    // The real pairs join the same coding, so that they can be looked up.
    Ref firsts = require(PyList_New(0)), seconds = require(PyList_New(0));
    for (Ref& key : iterate(c.pairs.get())) {
        require_ok(PyList_Append(firsts.get(), PyTuple_GetItem(key.get(), 0)));
        require_ok(PyList_Append(seconds.get(), PyTuple_GetItem(key.get(), 1)));
    }
    Ref series_type = getattr(L.pd.get(), N::Series);
    Ref object_type = builtin("object");
    Ref pf = call(series_type.get(), {firsts}, {kw(N::dtype, object_type)});
    Ref pt = call(series_type.get(), {seconds}, {kw(N::dtype, object_type)});
    auto codes = read_codes(L, {e.get(), from.get(), to.get(), pf.get(), pt.get()}, uniques[i]);
    e_code[i] = std::move(codes[0]);
    s_from[i] = std::move(codes[1]);
    s_to[i] = std::move(codes[2]);
    read_pairs(c, i, codes[3], codes[4]);
    const size_t values = static_cast<size_t>(length(uniques[i].get())) + 1;
    if (values <= 2048) {
        side[i] = values;
        seen_matrix[i].assign(values * values, 0);
        for (size_t j = 0; j < codes[3].size(); ++j)
            seen_matrix[i][static_cast<size_t>(codes[3][j] + 1) * values + static_cast<size_t>(codes[4][j] + 1)] = 1;
    }
}

void Pools::read_pairs(const ColumnModel& c, size_t i, const std::vector<int32_t>& from, const std::vector<int32_t>& to) {
    size_t j = 0;
    for (Ref& count : iterate(call_method(c.pairs.get(), N::values).get())) {
        const long long n = PyLong_AsLongLong(count.get());
        if (n == -1 && PyErr_Occurred()) throw_python_error();
        pairs[i].insert(pair_code(from[j], to[j]));
        auto& next = successors[i][from[j]];
        next.emplace_back(to[j], (next.empty() ? 0 : next.back().second) + n);
        ++j;
    }
}

int32_t Pools::successor(size_t c, int32_t from, int32_t otherwise, Rng& rng) const {
    auto it = successors[c].find(from);
    if (it == successors[c].end() || it->second.empty()) return otherwise;
    const auto& next = it->second;
    const int64_t pick = static_cast<int64_t>(rng.below(static_cast<uint64_t>(next.back().second)));
    return std::upper_bound(next.begin(), next.end(), pick,
                            [](int64_t v, const std::pair<int32_t, int64_t>& e) { return v < e.second; })
        ->first;
}

void Pools::build_keys(const Model& m, bool replay) {
    e_skey.assign(n_e, 0);
    s_skey.assign(n_s, 0);
    std::vector<size_t> cats;
    for (size_t c = 0; c < m.cols.size(); ++c) {
        if (!m.cols[c].is_static) {
            if (m.cols[c].kind == Kind::category) cats.push_back(c);
            continue;
        }
        const bool is_cat = m.cols[c].kind == Kind::category;
        for (size_t e = 0; e < n_e; ++e)
            e_skey[e] = chain(e_skey[e], is_cat ? static_cast<uint64_t>(e_code[c][e]) : bits(e_num[c][e]));
        for (size_t s = 0; s < n_s; ++s)
            s_skey[s] = chain(s_skey[s], is_cat ? static_cast<uint64_t>(s_from[c][s]) : bits(s_num[c][s]));
    }
    std::vector<uint64_t> hashes(n_s);
    order.resize(n_s);
    std::iota(order.begin(), order.end(), 0);
    for (int l = 0; l < levels; ++l) {
        for (size_t s = 0; s < n_s; ++s) {
            LevelKeys keys(s_count[s], s_skey[s]);
            for (size_t c : cats) keys.add(s_from[c][s]);
            hashes[s] = keys.at(l, s_pos[s]);
        }
        level[l].build(hashes);
        if (l == 0 && !replay) {
            order = std::move(level[0].steps);
            level[0].steps = std::vector<int32_t>();
            level[0].in_place = true;
            renumber(s_count);
            renumber(s_pos);
            renumber(s_skey);
            for (size_t c : cats) renumber(s_from[c]);
        }
    }
    // Only the levels and the packed values are walked.
    for (int32_t k : s_count) {
        if (static_cast<size_t>(k) >= has_steps.size()) has_steps.resize(static_cast<size_t>(k) + 1, false);
        has_steps[static_cast<size_t>(k)] = true;
    }
    s_count = std::vector<int32_t>();
    s_pos = std::vector<int32_t>();
    s_skey = std::vector<uint64_t>();
    for (auto& codes : s_from) codes = std::vector<int32_t>();
}

std::vector<int64_t> Pools::nearest_pools(int64_t longest, bool replay) const {
    std::vector<int64_t> out(static_cast<size_t>(longest) + 1, 0);
    for (int64_t k = 2; k <= longest; ++k) {
        out[static_cast<size_t>(k)] = nearest_pool(has_steps, k);
        if (out[static_cast<size_t>(k)] == 0 && !replay)
            raise(PyExc_ValueError, {"no steps to rebuild entities of ", integer(k), " rows: the steps frame is empty"});
    }
    return out;
}

}  // namespace seq
}  // namespace vt
