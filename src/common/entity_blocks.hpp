// Frames whose entities are blocks of consecutive rows, as the native passes
// over them need.
#pragma once

#include "common/buffer.hpp"

namespace vt {

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
