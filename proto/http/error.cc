#include "proto/http/error.h"

namespace velmora::http {

std::string_view message(ErrorKind k) noexcept {
  switch (k) {
    case ErrorKind::invalid_char: return "invalid uri character";
    case ErrorKind::invalid_scheme: return "invalid scheme";
    case ErrorKind::invalid_authority: return "invalid authority";
    case ErrorKind::invalid_port: return "invalid port";
    case ErrorKind::invalid_format: return "invalid format";
    case ErrorKind::scheme_missing: return "scheme missing";
    case ErrorKind::authority_missing: return "authority missing";
    case ErrorKind::path_missing: return "path missing";
    case ErrorKind::path_no_slash: return "path does not start with slash";
    case ErrorKind::too_long: return "uri too long";
    case ErrorKind::empty: return "empty string";
    case ErrorKind::scheme_too_long: return "scheme too long";
    case ErrorKind::invalid_number: return "invalid number";
    case ErrorKind::invalid_content_length: return "invalid content-length";
    case ErrorKind::header_map_full: return "header map is full (HeaderMap MAX_SIZE, 32768 entries)";
    case ErrorKind::invalid_header_name: return "invalid header name: invalid HTTP header name";
    case ErrorKind::invalid_header_value: return "invalid header value: failed to parse header value";
  }
  return "invalid format";
}

}  // namespace velmora::http
