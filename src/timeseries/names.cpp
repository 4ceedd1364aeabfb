// The timeseries module's name table.
#define VT_NAME_TABLE
#include "timeseries/names.hpp"
