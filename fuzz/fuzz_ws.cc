// The WebSocket codec in both roles, with permessage-deflate on and off,
// whole messages or streamed fragments. Properties, not only "no crash":
// - input split anywhere decodes as the whole input does (the same events,
//   fragments merged, or the same violation);
// - every event received, sent back by a peer of the other role and read by
//   a fresh codec of ours, decodes to itself (messages, pings, pongs, the
//   close code and reason).
//
// The first input octet picks the configuration: bit 0 the role (server),
// bit 1 permessage-deflate, bit 2 streaming, bits 3-7 the seed of the
// split. The rest is the wire.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/input.h"
#include "proto/ws/codec.h"
#include "tests/cpp/ws/ws_wire.h"

using namespace velmora::ws;
using velmora::ws::test::merged;

namespace {

bool same(const Event& a, const Event& b) { return a.kind == b.kind && a.code == b.code && a.data == b.data; }

Config config(uint8_t sel, bool server) {
  Config c{.role = server ? Role::server : Role::client,
           .max_frame_size = 1 << 20,
           .max_message_size = 1 << 20,
           .streaming = bool(sel & 4)};
  if (sel & 2) c.deflate = DeflateParams{};
  return c;
}

// Sends `e` from a codec of the other role and reads it back with a fresh
// codec of ours.
void round_trip(const Event& e, uint8_t sel, bool server) {
  Codec peer(config(sel, !server));
  Codec back(config(sel & ~4, server));
  std::string wire;
  Result<bool> sent;
  switch (e.kind) {
    case EventKind::text: sent = peer.send_message(true, e.data, true, wire); break;
    case EventKind::binary: sent = peer.send_message(false, e.data, true, wire); break;
    case EventKind::ping: sent = peer.send_ping(e.data, wire); break;
    case EventKind::pong: sent = peer.send_pong(e.data, wire); break;
    case EventKind::close:
      sent = e.code == close_code::no_status ? peer.send_close(0, {}, wire) : peer.send_close(e.code, e.data, wire);
      break;
  }
  CHECK(sent && *sent);
  std::vector<Event> got;
  CHECK(bool(back.receive(wire, got)));
  CHECK(got.size() == 1 && same(got[0], e));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t sel = data[0];
  const bool server = sel & 1;
  std::string_view wire(reinterpret_cast<const char*>(data + 1), size - 1);

  Codec whole(config(sel, server));
  std::vector<Event> a;
  Result<void> ra = whole.receive(wire, a);

  Codec split(config(sel, server));
  std::vector<Event> b;
  Result<void> rb;
  uint32_t seed = sel >> 3;
  for (size_t at = 0; at < wire.size() && rb;) {
    seed = seed * 1103515245u + 12345u;
    size_t n = std::min(wire.size() - at, size_t(1 + (seed >> 16) % 23));
    rb = split.receive(wire.substr(at, n), b);
    at += n;
  }
  CHECK(bool(ra) == bool(rb));
  if (!ra) {
    CHECK(ra.error().kind == rb.error().kind && ra.error().code == rb.error().code);
    CHECK(ra.error().code != 0);
    // Failed for good, with the same code.
    std::vector<Event> none;
    Result<void> again = whole.receive("x", none);
    CHECK(!again && again.error().code == ra.error().code);
    return 0;
  }
  std::vector<Event> ma = merged(a), mb = merged(b);
  CHECK(ma.size() == mb.size());
  for (size_t i = 0; i < ma.size(); ++i) CHECK(same(ma[i], mb[i]));
  for (const Event& e : ma) round_trip(e, sel, server);
  return 0;
}
