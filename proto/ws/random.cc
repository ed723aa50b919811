#include "proto/ws/random.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace velmora::ws {

void os_random(uint8_t* out, size_t n) noexcept {
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(out + got, n - got, 0);
    if (r > 0) {
      got += size_t(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    break;
  }
  if (got == n) return;
  // No getrandom (a kernel older than 3.17): the C++ library's source of OS
  // entropy.
  try {
    std::random_device rd;
    for (; got < n; ++got) out[got] = uint8_t(rd());
  } catch (...) {
    std::terminate();  // no entropy at all: masking keys would be predictable
  }
}

}  // namespace velmora::ws
