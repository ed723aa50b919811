// Text helpers for proxy credentials: Base64 (proto/http/base64.h) and
// percent-decoding of userinfo (RFC 3986) into valid UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "proto/http/base64.h"

namespace velmora::proxy {

using http::base64_append;
using http::base64_size;

// Decodes every "%XX" escape (hex digits in any case); a '%' that does not
// start a valid escape is kept as is. Invalid UTF-8 in the decoded bytes is
// replaced by U+FFFD, one replacement per maximal invalid subpart, so the
// result is always valid UTF-8.
std::string percent_decode_utf8(std::string_view in);

}  // namespace velmora::proxy
