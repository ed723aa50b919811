// Content-Length values (RFC 9110, section 8.6), the rules both codecs and
// both roles apply to them.
#pragma once

#include <cstdint>
#include <string_view>

#include "proto/http/error.h"
#include "proto/http/header_map.h"

namespace velmora::http {

// The strict rule, for one field line: one or more ASCII digits, no sign,
// space or comma, within 64 bits. Errors: invalid_content_length.
Result<uint64_t> parse_content_length(std::string_view value) noexcept;

// The list rule, over every Content-Length line of a message: each line is
// visible ASCII and a comma-separated list, each trimmed element is digits
// only (the strict rule), and every element of every line is equal.
class ContentLengthLines {
 public:
  void add(std::string_view line) noexcept;
  // Any line was added.
  bool present() const noexcept { return present_; }
  // No line broke the rule (true when none was added).
  bool valid() const noexcept { return valid_; }
  // The length, when present() and valid().
  uint64_t value() const noexcept { return value_; }

 private:
  bool present_ = false;
  bool seen_ = false;  // an element was read: value_ is the one all must equal
  bool valid_ = true;
  uint64_t value_ = 0;
};

// The list rule over every `content-length` value of a map.
ContentLengthLines content_length_lines(const HeaderMap& h) noexcept;

}  // namespace velmora::http
