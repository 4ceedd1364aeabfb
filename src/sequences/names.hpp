// The sequences module's interned names.
#pragma once

#define VT_NAME_LIST "sequences/all_names.def"
#include "common/name_table.hpp"
