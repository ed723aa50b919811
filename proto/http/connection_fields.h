// Connection-specific fields (RFC 9110, section 7.6.1): fields that describe
// one hop's connection rather than the message. HTTP/2 forbids them in a
// header block (RFC 9113, section 8.2.2), in both directions.
#pragma once

#include <string_view>

namespace velmora::http {

// `connection`, `keep-alive`, `proxy-connection`, `transfer-encoding` or
// `upgrade` (names as stored: lowercase).
bool is_connection_specific_name(std::string_view lname) noexcept;

// A field that may not travel in an HTTP/2 header block: a connection-
// specific name, or `te` with any value other than exactly "trailers".
bool is_connection_specific(std::string_view lname, std::string_view value) noexcept;

}  // namespace velmora::http
