// Per-entity running sums over a frame's rows, computed in one native pass.
#pragma once

#include "timeseries/names.hpp"

namespace vt {

// frame.groupby(id_column)[value_column].transform(pd.Series.cumsum), value
// for value, dtype, index and name alike, for the frames where that can be
// had natively: an int64 id column in non-decreasing order (so every entity is
// one block and blocks come in group order), a float64, int64 or object value
// column, at least one row. Returns an empty Ref for any other frame; the
// caller then makes the pandas call itself.
Ref running_sums_by_entity(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* value_column);

// The restored datetime column, for a caller that has no further use for the
// difference column: what seeding the timedelta64 column diff_column with
// `seeds` (a naive datetime64 array, one per label of the Index `first_rows`)
// through .loc, summing it per entity, passing the sums through
// pd.to_datetime and giving them the dtype named by result_dtype (a naive
// "datetime64[<unit>]") gives, computed on int64 counts of the units at hand
// (s, ms, us or ns, each side its own) without boxing a single value. The
// frame's id column must be int64 and non-decreasing, its index a 0-based
// range, and every entity's first row must be exactly one of the labels.
// Returns an empty Ref when any of that fails, or when a value is missing or
// a sum leaves the range pandas can hold: the caller then takes the pandas
// route, which raises or warns as pandas does.
Ref datetime_running_sums(PyObject* pd, PyObject* frame, PyObject* id_column, PyObject* diff_column,
                          PyObject* first_rows, PyObject* seeds, PyObject* result_dtype);

}  // namespace vt
