// Frames written octet by octet for the tests, independently of the codec's
// own writer, and a codec driver that collects events.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

#include "proto/ws/codec.h"

namespace velmora::ws::test {

// One frame: first octet `b0` (FIN, RSV and opcode), payload, and a mask
// key when `masked`. `len_form` forces the 16-bit (2) or 64-bit (8) length
// form for a short payload (a non-minimal length).
inline std::string frame(uint8_t b0, std::string_view payload, bool masked, int len_form = 0,
                         const uint8_t key[4] = nullptr) {
  static const uint8_t kKey[4] = {0x37, 0xfa, 0x21, 0x3d};
  if (!key) key = kKey;
  std::string f;
  f += char(b0);
  const uint8_t m = masked ? 0x80 : 0;
  uint64_t n = payload.size();
  if (len_form == 0 && n < 126) {
    f += char(m | n);
  } else if (len_form == 2 || (len_form == 0 && n <= 0xffff)) {
    f += char(m | 126);
    f += char(n >> 8);
    f += char(n);
  } else {
    f += char(m | 127);
    for (int i = 7; i >= 0; --i) f += char(n >> (8 * i));
  }
  if (masked) f.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < n; ++i) f += masked ? char(uint8_t(payload[i]) ^ key[i & 3]) : payload[i];
  return f;
}

inline std::string close_payload(uint16_t code, std::string_view reason = {}) {
  std::string p;
  p += char(code >> 8);
  p += char(code);
  p += reason;
  return p;
}

struct Run {
  std::vector<Event> events;
  Result<void> result;
};

inline Run feed(Codec& c, std::string_view data) {
  Run r;
  r.result = c.receive(data, r.events);
  return r;
}

// Text and binary fragments merged into whole messages (control events
// stay where they came), to compare runs that split the input differently.
// A message still unfinished at the end is left out.
inline std::vector<Event> merged(const std::vector<Event>& ev) {
  std::vector<Event> out;
  size_t open = SIZE_MAX;  // the message being merged, by index into out
  for (const Event& e : ev) {
    if (e.kind != EventKind::text && e.kind != EventKind::binary) {
      out.push_back(e);
      continue;
    }
    if (open == SIZE_MAX) {
      open = out.size();
      out.push_back(e);
    } else {
      out[open].data += e.data;
    }
    out[open].fin = true;
    if (e.fin) open = SIZE_MAX;
  }
  if (open != SIZE_MAX) out.erase(out.begin() + long(open));  // an unfinished message is not compared
  return out;
}

}  // namespace velmora::ws::test
