// The timeseries module's interned names: N::<identifier> for each entry of its list.
#pragma once

#include "common/py.hpp"

namespace vt {

enum class N : int {
#define VT_NAME(id, text) id,
#include "timeseries/all_names.def"
#undef VT_NAME
    count_
};

}  // namespace vt
