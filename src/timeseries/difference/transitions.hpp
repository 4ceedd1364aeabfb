// Transition texts of a categorical column without a per-row Python callback.
#pragma once

#include "timeseries/names.hpp"

namespace vt {

// pairs is the two-column [from, to] frame of a categorical column. Returns
// what pairs.apply(tuple, axis=1).apply(str) returns, or an empty Ref when
// identical values cannot be had natively and the caller must make that call.
Ref transition_texts(PyObject* pd, PyObject* pairs);

}  // namespace vt
