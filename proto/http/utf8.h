// UTF-8 validation and repair, shared by everything that turns received
// bytes into text. Validation runs on the scanner kernels of field_scan.h
// (portable, SSE4.2, AVX2), chosen once at run time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::http {

// Every byte below 0x80.
bool is_ascii(std::string_view s) noexcept;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) noexcept;

// Appends `in` to `out`, replacing each maximal invalid subpart by U+FFFD.
void repair_utf8_append(std::string_view in, std::string& out);

// Validates a text that arrives in pieces (a WebSocket message split into
// frames, a frame split across reads): a code point may be split anywhere.
// feed() answers false as soon as the bytes so far cannot begin a valid text
// (the first invalid byte, not only at the end); finish() answers whether the
// text ended on a whole code point. Up to 3 bytes of an unfinished code point
// are carried from one piece to the next.
class Utf8Stream {
 public:
  bool feed(std::string_view s) noexcept;
  bool finish() const noexcept { return held_ == 0; }
  // Octets of an unfinished code point at the end of what was fed.
  size_t held() const noexcept { return held_; }
  void reset() noexcept { held_ = 0; }

 private:
  char carry_[4] = {};
  uint8_t held_ = 0;
};

}  // namespace velmora::http
