// A server connection driven the way the serve loop drives it, with the
// client's pipelined requests arriving in arbitrary pieces: whoever reads a
// piece (the serve loop, a body reader, the drain, the mid-message watcher),
// every request is served once, in order, with its own body, and no handle is
// dropped under the state's lock. This guards the paths that move bytes read
// past one message back to where the next one is parsed. Requests may carry
// Expect: 100-continue (the handler claims the 100 or not; a claimed 100
// holds the head until it is written, and is claimed once) and Upgrade (a
// 101 switches: the hand-off gets exactly the bytes after the request that
// the server had read; a 200 keeps the connection serving).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "proto/h1/server_state.h"
#include "tests/cpp/h1/conn_harness.h"

using namespace velmora;
using velmora::fuzz::Input;
using namespace velmora::h1;
using namespace velmora::h1::testing;
using Server = ServerState<TestPolicy>;

namespace {

struct Want {
  std::string target, body;
  bool expect = false, upgrade = false, switches = false;
};

struct Drive {
  Input& in;
  std::string wire;
  size_t pos = 0;
  Guarded<Codec> codec{Codec()};
  Locked<Server> st{&codec, obj("transport"), true, false};
  bool watcher_pending = false;
  std::string tail;  // the bytes after a switching request

  // The next piece the transport delivers; none at its end.
  std::optional<std::string> piece() {
    if (pos == wire.size()) return std::nullopt;
    size_t n = std::min<size_t>(1 + in.u8() % 24, wire.size() - pos);
    std::string s = wire.substr(pos, n);
    pos += n;
    return s;
  }

  // Reads a body to its end from the decoder, feeding pieces; false when the
  // transport ended first.
  bool read_body(const TH& dec, std::string& body) {
    for (;;) {
      bool complete = dec->decoder->with([&](BodyDecoder& d) {
        for (;;) {
          Result<BodyDecoder::Decoded> r = d.decode();
          CHECK(r.has_value());
          if (r->progress != BodyDecoder::Progress::data) return d.is_complete();
          body += r->data.str();
        }
      });
      if (complete) return true;
      auto p = piece();
      if (!p) return false;
      dec->decoder->with([&](BodyDecoder& d) { d.feed(*p); });
    }
  }

  // The first bytes of the next head, as the ready verdict says to get them.
  std::optional<std::string> first_read(const Server::Read& r) {
    switch (r.code) {
      case ReadCode::read_parse: return std::string();
      case ReadCode::read_transport:
        if (auto p = piece()) return p;
        st([](Server& s) { return s.unpark_idle_read(); });
        return std::nullopt;
      case ReadCode::read_watcher: {
        if (watcher_pending) complete_watcher();
        st([](Server& s) { return s.take_watcher_handle(); });
        auto res = st([](Server& s) { return s.take_watcher_result(); });
        CHECK(!st([](Server& s) { return s.has_watcher(); }));
        if (res.data && !res.data->bytes.empty()) return res.data->bytes;
        return std::nullopt;
      }
      default: return std::nullopt;
    }
  }

  // The parked watcher read returns the next piece (or EOF).
  bool complete_watcher() {
    watcher_pending = false;
    auto p = piece();
    return st([&](Server& s) { return s.watcher_completed(bytes(p ? *p : ""), TH()); }).peer_gone;
  }

  void run(const std::vector<Want>& want) {
    size_t served = 0;
    bool switched = false;
    std::string body;
    for (int round = 0; round < 64; ++round) {
      auto r = st([](Server& s) { return s.begin_read(MonoClock::now()); });
      if (r.code == ReadCode::next_drain) {
        TH dec = st([](Server& s) { return s.current_decoder(); });
        bool complete = read_body(dec, body);
        CHECK(complete || pos == wire.size());
        if (complete) CHECK(body == want[served - 1].body);
        r = st([&](Server& s) { return s.drain_done(complete, MonoClock::now()); });
      }
      std::optional<std::string> data = first_read(r);
      if (!data) break;
      Server::Accepted a;
      for (;;) {
        a = st([&](Server& s) { return s.accept_head(*data, decoder_obj()); });
        CHECK(a.status.has_value());
        if (*a.status == Server::Accept::head) break;
        data = piece();
        if (!data) break;
      }
      if (!a.status || *a.status != Server::Accept::head) break;
      CHECK(served < want.size() && a.head.target() == want[served].target && a.seq == served + 1);
      ++served;
      body.clear();
      if (in.bit()) {  // the handler reads the body; otherwise the next begin_read drains it
        bool reading = st([&](Server& s) { return s.begin_body_read(a.seq); });
        bool complete = read_body(a.decoder, body);
        if (reading) st([&](Server& s) { s.end_body_read(a.seq, complete); });
        if (!complete) break;
        CHECK(body == want[served - 1].body);
      }
      const Want& w = want[served - 1];
      bool claimed = false;
      if (in.bit()) {  // the handler sends the 100 (a second claim is refused)
        claimed = st([&](Server& s) { return s.try_send_continue(a.seq); });
        CHECK(claimed == w.expect);
        if (claimed) CHECK(!st([&](Server& s) { return s.try_send_continue(a.seq); }));
      }
      bool want_watch = in.bit();
      uint16_t status = w.switches ? 101 : 200;
      auto respond = [&] {
        return st([&](Server& s) {
          return s.respond_head(a.seq, {status, {}, {BodyLength::known, 0}, want_watch}, obj("done"));
        });
      };
      auto res = respond();
      if (claimed) {  // the head waits for the 100 to be written
        CHECK(res.code == ReqCode::continue_wait);
        res = respond();
      }
      CHECK(res.code == ReqCode::ok && res.head.has_value());
      watcher_pending = res.armed;
      if (w.switches) {
        if (res.armed && in.bit() && complete_watcher()) break;
        auto f = st([&](Server& s) { return s.finish_response(a.seq); });
        CHECK(f.switched && f.leftover);
        // the bytes read past the request, then the unread rest: the tail
        CHECK(*f.leftover + wire.substr(pos) == tail);
        pos = wire.size();
        switched = true;
        break;
      }
      if (res.armed && in.bit() && complete_watcher()) break;  // the client went away mid-response
      auto f = st([&](Server& s) { return s.finish_response(a.seq); });
      CHECK(!f.switched && !f.close);
      st([&](Server& s) { return s.close_window(a.seq); });
    }
    // Every request arrived whole before the transport ended: all were served.
    CHECK(pos == wire.size() && served == want.size());
    // (a switch handed the transport over already)
    CHECK(bool(st([](Server& s) { return s.mark_closed(); }).transport) != switched);
    CHECK(g_dropped_under_lock == 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  std::vector<Want> want(1 + in.u8() % 4);
  std::string wire, tail;
  for (size_t i = 0; i < want.size(); ++i) {
    Want& w = want[i];
    w.target = "/r" + std::to_string(i);
    w.body.assign(in.u8() % 7, char('a' + i));
    uint8_t kind = in.u8();
    switch (kind % 5) {
      case 0:
        w.body.clear();
        wire += "GET " + w.target + " HTTP/1.1\r\nHost: h\r\n\r\n";
        break;
      case 1:
        wire += "POST " + w.target + " HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(w.body.size()) +
                "\r\n\r\n" + w.body;
        break;
      case 2: {
        wire += "POST " + w.target + " HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (size_t at = 0; at < w.body.size();) {
          size_t n = std::min<size_t>(1 + in.u8() % 3, w.body.size() - at);
          wire += std::to_string(n) + "\r\n" + w.body.substr(at, n) + "\r\n";
          at += n;
        }
        wire += "0\r\n\r\n";
        break;
      }
      case 3:
        w.expect = true;
        wire += "POST " + w.target + " HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: " +
                std::to_string(w.body.size()) + "\r\n\r\n" + w.body;
        break;
      default:
        // An upgrade request; a switching one is the last, followed by the
        // new protocol's bytes.
        w.body.clear();
        w.upgrade = true;
        w.switches = kind & 0x80;
        wire += "GET " + w.target + " HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\nUpgrade: fuzz/1\r\n\r\n";
        if (w.switches) {
          tail.assign(in.u8() % 40, '\x01');
          if (!tail.empty()) tail[0] = char(i);
          wire += tail;
          want.resize(i + 1);
        }
    }
  }
  g_dropped_under_lock = 0;
  Drive d{in, std::move(wire)};
  d.tail = std::move(tail);
  d.run(want);
  return 0;
}
