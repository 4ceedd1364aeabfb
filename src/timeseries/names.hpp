// The timeseries module's interned names.
#pragma once

#define VT_NAME_LIST "timeseries/all_names.def"
#include "common/name_table.hpp"
