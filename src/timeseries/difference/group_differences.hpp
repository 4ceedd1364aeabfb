// Per-entity first-order differences in one native pass.
#pragma once

#include "timeseries/names.hpp"

namespace vt {

// df[[id_column, column]].groupby(id_column).diff() as pandas before 2.0
// computes it, value for value: a DataFrame of the one column `column` on
// df's index, each row its value minus the previous row of its entity, NaN
// (NaT) on an entity's first row. Those versions run DataFrame.diff once per
// entity from Python; pandas 2 computes it vectorised and is left to do so.
//
// Only where the result is known: a plain frame with unique single-level
// columns and a unique index, an int64 id column in non-decreasing order (so
// every entity is one block of rows), and a float64, int64 or datetime64[ns]
// column whose differences stay within int64. Returns an empty Ref otherwise;
// the caller then makes the pandas call, which raises or warns as it does.
Ref group_differences(PyObject* pd, PyObject* df, PyObject* id_column, PyObject* column);

}  // namespace vt
