// Octets from the operating system's random source (getrandom), for masking
// keys and handshake keys: unpredictable to the peer, as RFC 6455 asks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::ws {

void os_random(uint8_t* out, size_t n) noexcept;

}  // namespace velmora::ws
