#include "proto/http/connection_fields.h"

namespace velmora::http {

bool is_connection_specific_name(std::string_view n) noexcept {
  switch (n.size()) {
    case 7: return n == "upgrade";
    case 10: return n == "connection" || n == "keep-alive";
    case 16: return n == "proxy-connection";
    case 17: return n == "transfer-encoding";
  }
  return false;
}

bool is_connection_specific(std::string_view lname, std::string_view value) noexcept {
  if (lname == "te") return value != "trailers";
  return is_connection_specific_name(lname);
}

}  // namespace velmora::http
