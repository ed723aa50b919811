// Interned Python objects for well-known header names, so that turning a
// map into Python objects does not allocate a new str per common name.
#pragma once

#include <string_view>

#include "src/common.h"

namespace velmora::py {

int init_common_names();
// Borrowed references, or nullptr for a name outside the table.
PyObject* common_name_str(std::string_view lname) noexcept;
PyObject* common_name_bytes(std::string_view lname) noexcept;

}  // namespace velmora::py
