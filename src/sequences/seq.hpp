// The sequence pipeline's shared pieces: column kinds, columns read into
// native arrays, the entity order, the fitted model and the random stream.
#pragma once

#include "common/buffer.hpp"
#include "sequences/names.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

namespace vt {
namespace seq {

constexpr int64_t not_a_time = std::numeric_limits<int64_t>::min();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

inline bool missing(double v) { return std::isnan(v); }
inline bool missing(int64_t v) { return v == not_a_time; }

// number: ints and floats; datetime (tz-aware kept) and timedelta: floats in
// the time unit; category: text, booleans and anything else, by value.
enum class Kind { number, datetime, timedelta, category };
const char* kind_name(Kind k);
Kind kind_from_name(PyObject* name);
inline bool is_time_like(Kind k) { return k == Kind::datetime || k == Kind::timedelta; }

// pandas, numpy and pandas.api.types, looked up once per call.
struct Libs {
    Ref pd, np, types;
    Libs();
};

// Sets an exception of `type` with the built message and throws.
[[noreturn]] void raise(PyObject* type, std::initializer_list<Piece> pieces);

// ----- columns in and out (frames.cpp) ---------------------------------------

Kind classify(const Libs& L, PyObject* series, PyObject* label);
// frame[label], or a KeyError that names the table.
Ref column(PyObject* frame, PyObject* label, const char* table);
// A column's values read in place: a native view of a numpy array that it
// keeps alive, so a column already of that type is not copied.
template <class T>
class Values {
public:
    Values() = default;
    explicit Values(Ref arr) : arr_(std::move(arr)), buffer_(new Buffer(arr_.get(), PyBUF_RECORDS_RO)) {
        static_assert(sizeof(T) == 8, "float64 or int64 columns");
        if (!(std::is_floating_point<T>::value ? buffer_->holds("d", 8) : buffer_->holds_int64()))
            raise(PyExc_SystemError, {"unexpected array layout"});
        base_ = static_cast<const char*>(buffer_->data());
        stride_ = buffer_->stride();
        n_ = static_cast<size_t>(buffer_->size());
    }
    size_t size() const { return n_; }
    T operator[](size_t i) const { return *reinterpret_cast<const T*>(base_ + static_cast<Py_ssize_t>(i) * stride_); }

private:
    Ref arr_;
    std::unique_ptr<Buffer> buffer_;
    const char* base_ = nullptr;
    Py_ssize_t stride_ = 0;
    size_t n_ = 0;
};

// Plain numbers (NaN missing); a TypeError that names the column when it holds text.
Values<double> read_numbers(const Libs& L, PyObject* series, PyObject* label, const char* table);
// Datetimes (as UTC) or timedeltas in nanoseconds, not_a_time missing.
Values<int64_t> read_nanoseconds(PyObject* series, Kind kind);
// Codes over one set of values shared by all the series (-1 missing), and
// that set as an object array.
std::vector<std::vector<int32_t>> read_codes(const Libs& L, const std::vector<PyObject*>& series, Ref& uniques);

// Hands the pages of freed temporaries back to the system between the
// stages of a pass, so that they do not add to its peak.
void release_freed_memory();
// numpy.empty(n, dtype).
Ref empty_array(const Libs& L, size_t n, const char* dtype);
// A new numpy array of n items in arr, to fill natively through the returned
// pointer (valid while arr lives).
template <class T>
T* new_array(const Libs& L, size_t n, const char* dtype, Ref& arr) {
    arr = empty_array(L, n, dtype);
    Buffer b(arr.get(), PyBUF_RECORDS);
    return static_cast<T*>(b.data());
}
Ref int_array(const Libs& L, const std::vector<int64_t>& v);
// The object array of the codes' values (None where a code is -1).
Ref object_array(const Libs& L, const std::vector<int32_t>& codes, PyObject* uniques);
// pd.DataFrame from labels and columns, in that order.
Ref make_frame(const Libs& L, const std::vector<std::pair<Ref, Ref>>& columns);

// ----- entity order (order.cpp) ------------------------------------------------

// Rows grouped by entity (entities in order of first appearance), each entity
// in time order (missing times last, ties in row order).
struct Order {
    std::vector<int64_t> perm;
    std::vector<int64_t> starts;  // entity e owns perm[starts[e]] .. perm[starts[e + 1] - 1]
    size_t entities() const { return starts.size() - 1; }
};
Order entity_order(const Libs& L, PyObject* ids, PyObject* id_label, const Values<double>& time);
Order entity_order(const Libs& L, PyObject* ids, PyObject* id_label, const Values<int64_t>& time);

// ----- configuration and fitted model (model.cpp) -------------------------------

struct Config {
    Ref id, time;
    Ref statics;  // None or a list of labels
    Ref columns;  // None or a list of labels
    Ref unit;     // None or one of the unit names
    bool clip = true;
    Ref random_state;
};

struct ColumnModel {
    Ref name, dtype;
    Kind kind = Kind::number;
    bool is_time = false, is_static = false, integral = false;
    // Encoded space: numbers as they are, datetimes as (ns - origin) / scale,
    // timedeltas as ns / scale.
    double lo = nan, hi = nan;  // observed range
    double step_lo = nan;       // smallest observed step (from the last observed value)
    double grid = 0;            // rebuilt values are multiples of it (0: any value)
    double missing_rate = 0;
    int64_t origin = 0;
    int64_t lo_ns = 0;  // lo in nanoseconds (the reference of time-like columns)
    double scale = 1;
    Ref pairs;  // category: {(from, to): count} seen in the real data
    Ref step_name, to_name;
    double encode(double raw) const { return (raw - static_cast<double>(origin)) / scale; }
    double encode_ns(int64_t raw) const { return static_cast<double>(raw - origin) / scale; }
};

struct Model {
    Config cfg;
    std::vector<ColumnModel> cols;  // the pipelined columns in input order
    Ref order;                      // id and those columns, labels in input order
    size_t id_position = 0;         // of the id in order
    Ref count_name, position_name;
    Ref unit;  // None when no column is time-like
    int64_t unit_ns = 1;
    int64_t max_len = 1;
    int64_t rows = 0, entities = 0;
    Ref lengths;  // {row count: entities}
    size_t time_index = 0;
};

// Parses the constructor's arguments (raising on bad ones).
Config parse_config(PyObject* id, PyObject* time, PyObject* statics, PyObject* columns, PyObject* unit,
                    int clip, PyObject* random_state);
// The labels the facts pass reads (the id's included), in frame order, and
// their kinds (the id's is a placeholder).
void chosen_columns(const Libs& L, const Config& cfg, PyObject* frame, Ref& labels, std::vector<Kind>& kinds);
Model build_model(const Libs& L, const Config& cfg, PyObject* facts);

// ----- passes --------------------------------------------------------------------

// Reducible facts of one frame whose entities are whole (facts.cpp).
// labels and kinds as chosen_columns gives them; bounds: the model whose
// ranges values are counted within (or nullptr).
// kept: where to leave the entity order for a table pass that follows (or nullptr).
Ref partition_facts(const Libs& L, PyObject* frame, PyObject* id_label, PyObject* time_label, PyObject* labels,
                    const std::vector<Kind>& kinds, const Model* bounds, Order* kept = nullptr);
Ref combine_facts(PyObject* facts_list);
// The entity and step tables of one frame (tables.cpp).
// given: the frame's entity order when the facts pass already found it.
Ref make_tables(const Libs& L, const Model& m, PyObject* frame, Order* given = nullptr);
// Which entity rows are rebuilt with how many rows each (rebuild.cpp).
void plan(const Libs& L, const Model& m, PyObject* entities, PyObject* counts, std::vector<int64_t>& rows,
          std::vector<int64_t>& lengths);
// ids: one per entity (nullptr: 1, 2, 3, ...).
Ref rebuild(const Libs& L, const Model& m, PyObject* entities, PyObject* steps, const std::vector<int64_t>& rows,
            const std::vector<int64_t>& lengths, bool replay, const int64_t* ids = nullptr);
Ref fidelity(const Libs& L, const Model& m, PyObject* real, PyObject* rebuilt, PyObject* rebuilt_id);

// A (from, to) pair of category codes (-1 missing) as one key.
inline uint64_t pair_code(int32_t a, int32_t b) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(a + 1)) << 32) | static_cast<uint32_t>(b + 1);
}

// ----- random stream ---------------------------------------------------------------

// splitmix64: one independent stream per (seed, entity number), so an
// entity's draws do not depend on how the work is split.
struct Rng {
    uint64_t state;
    Rng(uint64_t seed, uint64_t stream) : state(mix(seed ^ mix(stream + 0x9E3779B97F4A7C15ull))) {}
    static uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t next() { return mix(state += 0x9E3779B97F4A7C15ull); }
    // Uniform in [0, n), by multiply-shift (the same on every platform).
    uint64_t below(uint64_t n) { return static_cast<uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64); }
};

}  // namespace seq
}  // namespace vt
