// What the fuzz harnesses share: the check that aborts naming the failing
// line, and the reader that turns the input into a stream of choices.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace velmora::fuzz {

[[noreturn]] inline void fault(const char* file, int line) {
  std::fprintf(stderr, "%s: check failed at line %d\n", file, line);
  std::abort();
}

// The input read front to back; past its end every choice is 0.
struct Input {
  const uint8_t* p;
  size_t n;

  uint8_t u8() { return n ? (--n, *p++) : 0; }
  bool bit() { return u8() & 1; }
  // Raw bytes: a length byte (at most `max`), then that many.
  std::string_view raw(size_t max) {
    size_t k = std::min<size_t>(u8() % (max + 1), n);
    std::string_view s(reinterpret_cast<const char*>(p), k);
    p += k;
    n -= k;
    return s;
  }
  // An entry of `table`, or (for the top sixteen byte values) raw bytes.
  template <size_t N>
  std::string_view pick(const std::string_view (&table)[N]) {
    uint8_t b = u8();
    return b >= 0xf0 ? raw(16) : table[b % N];
  }
};

}  // namespace velmora::fuzz

#define CHECK(c)                                       \
  do {                                                 \
    if (!(c)) velmora::fuzz::fault(__FILE__, __LINE__); \
  } while (0)
