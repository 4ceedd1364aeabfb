// The reverse pass's pieces: the synthetic tables read natively, step pools
// grouped by key, and the rebuilt columns with their way back to the input's
// dtypes.
#pragma once

#include "sequences/seq.hpp"

#include <unordered_map>
#include <unordered_set>

namespace vt {
namespace seq {

// A request of counts: entities of a row count.
struct Request {
    int64_t rows, entities;
};
// counts as requests, in its order (raising on bad ones).
std::vector<Request> requests_of(PyObject* counts);

// A run of the plan: `entities` entity rows of row count `count`, from rank
// `first` among them in table order, each rebuilt with `rows` rows.
struct Run {
    int64_t count, first, entities, rows;
};
// Deals entity rows by row count (histogram[c]: rows of row count c) to the
// requests, in order: nearest row count first (ties: the larger), in table
// order, starting over once every row has been handed out.
std::vector<Run> deal(const std::vector<int64_t>& histogram, const std::vector<Request>& requests);
// The nearest row count with steps to k (ties: the larger); 0 if none.
int64_t nearest_pool(const std::vector<bool>& has_steps, int64_t k);

// Row counts of a table, rounded and clipped to [lowest, longest real entity].
std::vector<int64_t> row_counts(const Libs& L, const Model& m, PyObject* frame, const char* table, int64_t lowest);

// A value as it may come back: on the column's grid and, with clip, within
// its real range.
inline double settle(const ColumnModel& c, double v, bool clip) {
    if (c.grid > 0) v = std::nearbyint(v / c.grid) * c.grid;
    if (clip && !std::isnan(c.lo)) v = std::min(std::max(v, c.lo), c.hi);
    return v;
}

// Step rows grouped by one 64-bit key: an open-addressing table from key to
// group, and each group's steps in row order.
struct Level {
    std::vector<uint64_t> slot_keys;
    std::vector<uint32_t> slot_groups;  // empty slots hold no_group
    std::vector<uint32_t> offsets;      // group g: steps[offsets[g]] .. steps[offsets[g + 1] - 1]
    std::vector<int32_t> steps;
    bool in_place = false;  // steps are numbered in this level's group order
    static constexpr uint32_t no_group = 0xFFFFFFFFu;
    void build(const std::vector<uint64_t>& hashes);
    struct Group {
        size_t offset = 0, size = 0;
        const int32_t* steps = nullptr;  // nullptr: offset, offset + 1, ...
        int64_t at(size_t i) const { return steps != nullptr ? steps[i] : static_cast<int64_t>(offset + i); }
    };
    Group find(uint64_t key) const;

private:
    size_t slot_of(uint64_t key) const;
    uint32_t group_of(uint64_t key, uint32_t& groups);
};

// Narrowest first: row count, statics, from-values and position; then
// without position; without statics; without from-values; row count alone.
constexpr int levels = 5;

inline uint64_t chain(uint64_t h, uint64_t x) { return Rng::mix(h ^ (x + 0x9E3779B97F4A7C15ull)); }

// The keys of the levels, built from a row count, a statics key, the
// from-values and a position.
struct LevelKeys {
    uint64_t with_cats, all, count, statics;
    LevelKeys(int64_t rows, uint64_t skey)
        : with_cats(chain(2, static_cast<uint64_t>(rows))),
          all(chain(chain(1, static_cast<uint64_t>(rows)), skey)),
          count(chain(4, static_cast<uint64_t>(rows))),
          statics(chain(chain(3, static_cast<uint64_t>(rows)), skey)) {}
    void add(int32_t code) {
        with_cats = chain(with_cats, static_cast<uint64_t>(code));
        all = chain(all, static_cast<uint64_t>(code));
    }
    uint64_t at(int level, int64_t position) const {
        switch (level) {
            case 0: return chain(all, static_cast<uint64_t>(position));
            case 1: return all;
            case 2: return with_cats;
            case 3: return statics;
            default: return count;
        }
    }
};

struct Pools {
    size_t n_e = 0, n_s = 0;
    std::vector<int32_t> s_count, s_pos;  // s_pos: -1 where unknown
    // By model column: numbers (settled statics and starts; differences read
    // in place), codes (statics in s_from), the values behind the codes.
    std::vector<std::vector<double>> e_num, s_num;
    std::vector<Values<double>> s_diff;
    std::vector<std::vector<int32_t>> e_code, s_from, s_to;
    std::vector<Ref> uniques;
    std::vector<std::unordered_set<uint64_t>> pairs;  // seen (from, to) codes
    std::vector<std::unordered_map<int32_t, std::vector<std::pair<int32_t, int64_t>>>> successors;
    std::vector<uint64_t> e_skey, s_skey;
    Level level[levels];
    // The sequence columns' step values row by row (numbers, then codes), so
    // that trying a step touches one place in memory.
    std::vector<size_t> seq_num, seq_cat;
    size_t width = 0;
    std::vector<double> packed;
    double diff(size_t s, size_t i) const { return packed[s * width + i]; }
    int32_t to(size_t s, size_t j) const { return static_cast<int32_t>(packed[s * width + seq_num.size() + j]); }

    // Steps are renumbered so that the narrowest level's groups are runs
    // (a draw then touches one place); replay keeps the table's order.
    std::vector<int32_t> order;  // step number -> row of the steps frame
    // Seen pairs as a matrix where the values are few.
    std::vector<std::vector<uint8_t>> seen_matrix;
    std::vector<size_t> side;

    Pools(const Libs& L, const Model& m, PyObject* entities, PyObject* steps, bool replay);
    bool seen(size_t c, int32_t a, int32_t b) const {
        if (!seen_matrix[c].empty())
            return seen_matrix[c][static_cast<size_t>(a + 1) * side[c] + static_cast<size_t>(b + 1)] != 0;
        return pairs[c].count(pair_code(a, b)) != 0;
    }
    // A successor of `from` seen in the real data, drawn by frequency; `otherwise` if none.
    int32_t successor(size_t c, int32_t from, int32_t otherwise, Rng& rng) const;
    // For each row count up to longest, the nearest row count with steps.
    std::vector<int64_t> nearest_pools(int64_t longest, bool replay) const;
    std::vector<bool> has_steps;  // by row count

private:
    void read_column(const Libs& L, const Model& m, size_t c, PyObject* entities, PyObject* steps);
    void read_pairs(const ColumnModel& c, size_t i, const std::vector<int32_t>& from, const std::vector<int32_t>& to);
    void build_keys(const Model& m, bool replay);
    void pack(const Model& m);
    template <class T>
    void renumber(std::vector<T>& v) const;
};

// The rebuilt columns: numbers straight in the float64 arrays the frame is
// built from, categories as codes.
struct Output {
    size_t rows;
    std::vector<Ref> arrays;
    std::vector<double*> num;
    std::vector<std::vector<int32_t>> code;
    Output(const Libs& L, const Model& m, size_t rows);
    // Writes entity row e's value of column c into k rows; the value (NaN for categories).
    double fill(size_t c, const Pools& p, size_t e, size_t row, size_t k);
    // ids: one per rebuilt entity, repeated over its rows.
    Ref frame(const Libs& L, const Model& m, const std::vector<Ref>& uniques, const std::vector<int64_t>& ids,
              const std::vector<int64_t>& lengths);
};

}  // namespace seq
}  // namespace vt
