// Per-entity running sums over a frame's rows, computed in one native pass.
#pragma once

#include "common/py.hpp"

namespace vt {

// frame.groupby(id_column)[value_column].transform(pd.Series.cumsum), value
// for value, dtype, index and name alike, for the frames where that can be
// had natively: an int64 id column in non-decreasing order (so every entity is
// one block and blocks come in group order), a float64, int64 or object value
// column, at least one row. Returns an empty Ref for any other frame; the
// caller then makes the pandas call itself.
Ref running_sums_by_entity(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* value_column);

}  // namespace vt
