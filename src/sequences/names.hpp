// The sequences module's interned names: N::<identifier> for each entry of its list.
#pragma once

#include "common/py.hpp"

namespace vt {

enum class N : int {
#define VT_NAME(id, text) id,
#include "sequences/all_names.def"
#undef VT_NAME
    count_
};

}  // namespace vt
