// The sequences module's name table.
#define VT_NAME_TABLE
#include "sequences/names.hpp"
