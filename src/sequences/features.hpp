// A frame read once in entity order for the reports: per-entity features,
// sequence fingerprints and the pooled dynamics of real and rebuilt frames.
#pragma once

#include "sequences/seq.hpp"

#include <utility>

namespace vt {
namespace seq {

// Every model column present in the frame, values in entity and time order:
// numbers as they are, times in the model's encoding (relative to the real
// origin, in the model's unit), categories as codes into `uniques`.
struct Sorted {
    struct Col {
        const ColumnModel* c = nullptr;
        std::vector<double> x;
        std::vector<int32_t> codes;
        Ref uniques;
    };
    Order o;
    Ref ids;  // the id column as given
    std::vector<Col> cols;
    size_t rows(size_t e) const { return static_cast<size_t>(o.starts[e + 1] - o.starts[e]); }
};

// `table` names the frame in errors ("real", "rebuilt", ...).
Sorted read_sorted(const Libs& L, const Model& m, PyObject* frame, PyObject* id_label, const char* table);
// The id label of a rebuilt frame: `given` unless None, else UNIQUE_ID where
// the frame has it, the model's id is another and `real` (if given) lacks it
// (the compatible class's fresh ids), else the model's id.
Ref rebuilt_id_label(const Model& m, PyObject* frame, PyObject* given, PyObject* real = nullptr);

// The entities to measure: all of them when there are at most `most`, else
// `most` drawn without replacement from the (seed, stream) stream, in entity order.
std::vector<size_t> pick_entities(const Sorted& s, size_t most, uint64_t seed, uint64_t stream);
// One row per picked entity, one float column per feature, indexed by the ids.
Ref entity_features(const Libs& L, const Sorted& s, const std::vector<size_t>& picked);
// A 64-bit fingerprint of each entity's whole sequence: its row count and,
// row by row in time order, every column's value.
std::vector<uint64_t> fingerprints(const Sorted& s);

// Pooled over all entities, for a number-like column: the correlation of
// each step with the next, and of each level with the step that follows it.
std::pair<double, double> step_correlations(const Sorted& s, const Sorted::Col& col);
// (rows, sum) of the number column per code of the category column.
std::vector<std::pair<double, double>> means_by_code(const Sorted::Col& category, const Sorted::Col& number);

}  // namespace seq
}  // namespace vt
