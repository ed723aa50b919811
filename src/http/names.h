// Interned Python objects for well-known header names and for the standard
// methods, so that turning a map or a head into Python objects does not
// allocate a new str per common name.
#pragma once

#include <string_view>

#include "proto/http/method.h"
#include "src/common.h"

namespace velmora::py {

int init_common_names();
// Borrowed references, or nullptr for a name outside the table.
PyObject* common_name_str(std::string_view lname) noexcept;
PyObject* common_name_bytes(std::string_view lname) noexcept;
// Borrowed reference to the interned text of a standard method (not
// `extension`). Valid once init_common_names() succeeded.
PyObject* method_str(http::Method m) noexcept;

}  // namespace velmora::py
