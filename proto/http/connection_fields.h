// Connection-specific fields (RFC 9110, section 7.6.1): fields that describe
// one hop's connection rather than the message. HTTP/2 forbids them in a
// header block (RFC 9113, section 8.2.2), in both directions.
#pragma once

#include <string_view>

namespace velmora::http {

// The connection-specific names (as stored: lowercase), for a caller that
// looks them up in a map rather than testing each field.
inline constexpr std::string_view kConnectionSpecificNames[] = {"connection", "transfer-encoding", "upgrade",
                                                                "keep-alive", "proxy-connection"};

// One of kConnectionSpecificNames.
bool is_connection_specific_name(std::string_view lname) noexcept;

// A field that may not travel in an HTTP/2 header block: a connection-
// specific name, or `te` with any value other than exactly "trailers".
bool is_connection_specific(std::string_view lname, std::string_view value) noexcept;

}  // namespace velmora::http
