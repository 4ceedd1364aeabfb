// Frames whose entities are blocks of consecutive rows, as the native passes
// over them need.
#pragma once

#include "common/buffer.hpp"
#include "timeseries/names.hpp"

namespace vt {

// A DataFrame of pandas' own type: subclasses may group or build their
// results otherwise.
bool exact_frame(PyObject* pd, PyObject* obj);

// An exact DataFrame with unique, single-level columns and a single-level,
// unnamed index (unique too where unique_index): pandas then puts per-entity
// results back by plain reindexing, and reset_index names the labels "index".
bool plain_frame(PyObject* pd, PyObject* df, bool unique_index);

// The kind of a column a native pass can take: plain numpy dtypes only.
// Extension dtypes (nullable ints, categoricals, strings...) and narrower or
// unsigned types compute differently or change dtype.
enum class Column { other, float64, int64, datetime, object };
Column column_kind(PyObject* series);  // datetime: datetime64[ns]

// The id and value columns of a frame whose rows can be taken entity by
// entity in row order: a plain DataFrame where both labels (str) name one
// column each, the
// id column int64 and non-decreasing (so every entity is one block and the
// blocks come in group order), not also an index level name, and at least
// one row. False otherwise: the caller then leaves the work to pandas.
struct EntityColumns {
    Ref ids;
    Ref values;
    Ref id_array;  // the ids as a one-dimensional int64 numpy array
    Py_ssize_t rows = 0;
};
bool entity_columns(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* value_column, EntityColumns& out);

// Row i starts an entity.
inline bool new_entity(const Buffer& ids, Py_ssize_t i) {
    return i == 0 || ids.at<int64_t>(i) != ids.at<int64_t>(i - 1);
}

}  // namespace vt
