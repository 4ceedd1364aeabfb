// The per-row steps of the self-join (wrapping entries in lists, joining the
// two paths, the repeated-entry test) done in one native pass.
#pragma once

#include "timeseries/names.hpp"

namespace vt {

struct JoinedPaths {
    // Series over the frame's rows: the left path followed by the right one,
    // each entry wrapped as make_element_a_list wraps it. Empty when the
    // pandas calls must be made instead.
    Ref paths;
    // One-dimensional bool array, per row: the joined path holds no entry
    // twice. Empty when that test must run through pandas' map.
    Ref keep;
};

// left and right are the two filled path columns of one frame.
JoinedPaths join_paths(PyObject* pd, PyObject* left, PyObject* right);

}  // namespace vt
