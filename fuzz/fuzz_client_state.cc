// A client connection driven the way the client driver drives it, against a
// scripted server: exchanges whose responses arrive in arbitrary pieces
// (length, chunked, close-delimited, HTTP/1.0 keep-alive, an interim 100, a
// protocol switch, garbage, a response cut short), request bodies sent in
// full or cut short, the idle watcher armed or not between exchanges and
// completing idle (EOF, error, stray bytes) or during the next exchange
// (its read handed to the exchange), and failures. Whatever the order:
//   - the transport is handed back exactly once over the connection's life
//     (by whichever closing step came first, or by the hand-off of a switch);
//   - a connection is reused exactly when the response allows keep-alive,
//     the request went out framed to its end and nothing closed or failed
//     it; a dead connection never starts another request;
//   - every response read is the one the server sent, with its own body; the
//     watcher's read reaches the exchange whole, and stray bytes between
//     exchanges never become the next response;
//   - the first error stored stays, and no handle dies under the lock.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/input.h"
#include "proto/h1/client_state.h"
#include "proto/h1/head_encoder.h"
#include "tests/cpp/h1/conn_harness.h"

using namespace velmora;
using velmora::fuzz::Input;
using namespace velmora::h1;
using namespace velmora::h1::testing;
using Client = ClientState<TestPolicy>;

namespace {

// One scripted response and what reading it must give.
struct Script {
  std::string wire;          // what the server sends for this exchange
  bool closes = false;       // the server closes the connection after it
  bool ok = true;            // a whole, valid response (else the exchange fails)
  bool cut = false;          // cut short: its head may be whole, its body is not
  bool keep = false;         // it allows keep-alive
  bool http10 = false;
  bool upgrade = false;
  bool head_request = false; // the request is HEAD
  uint16_t status = 200;
  std::string body, tail;    // tail: the bytes after a switching head
};

Script script(Input& in, bool allow_close) {
  Script s;
  s.body.assign(in.u8() % 9, 'b');
  const std::string cl = "Content-Length: " + std::to_string(s.body.size()) + "\r\n";
  uint8_t kind = in.u8() % (allow_close ? 10 : 6);
  switch (kind) {
    case 0:
      s.keep = true;
      s.wire = "HTTP/1.1 200 OK\r\n" + cl + "\r\n" + s.body;
      break;
    case 1: {
      s.keep = true;
      s.wire = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
      for (size_t at = 0; at < s.body.size();) {
        size_t n = std::min<size_t>(1 + in.u8() % 4, s.body.size() - at);
        s.wire += std::to_string(n) + "\r\n" + s.body.substr(at, n) + "\r\n";
        at += n;
      }
      s.wire += "0\r\n\r\n";
      break;
    }
    case 2:
      s.keep = true;
      s.http10 = true;
      s.wire = "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n" + cl + "\r\n" + s.body;
      break;
    case 3:
      s.keep = true;
      s.wire = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n" + cl + "\r\n" + s.body;
      break;
    case 4:
      s.keep = true;
      s.head_request = true;
      s.wire = "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n";
      s.body.clear();
      break;
    case 5:
      s.status = 204;
      s.keep = true;
      s.wire = "HTTP/1.1 204 No Content\r\n\r\n";
      s.body.clear();
      break;
    // The connection ends with these.
    case 6:
      s.closes = true;
      s.wire = "HTTP/1.1 200 OK\r\nConnection: close\r\n" + cl + "\r\n" + s.body;
      break;
    case 7:
      s.closes = true;
      s.http10 = true;
      s.wire = "HTTP/1.0 200 OK\r\n\r\n" + s.body;
      break;
    case 8:
      s.closes = true;
      s.upgrade = true;
      s.status = 101;
      s.body.clear();
      s.tail.assign(in.u8() % 12, '\x02');
      s.wire = "HTTP/1.1 101 Switching Protocols\r\nConnection: upgrade\r\nUpgrade: x\r\n\r\n" + s.tail;
      break;
    default: {
      // Garbage, or a valid response cut short: the exchange fails.
      s.closes = true;
      s.ok = false;
      if (in.bit()) {
        s.wire = "\x01junk " + s.body + "\r\n\r\n";
      } else {
        std::string whole = "HTTP/1.1 200 OK\r\n" + cl + "\r\n" + s.body;
        s.wire = whole.substr(0, in.u8() % whole.size());
        s.cut = true;
      }
    }
  }
  return s;
}

struct Drive {
  Input& in;
  Guarded<Codec> codec{Codec()};
  Locked<Client> state{&codec, obj("transport")};
  int handed = 0;          // transports handed back
  bool upgraded = false;
  TH first_error;          // the first error the driver stored
  std::string pending;     // bytes the server sent that nobody read yet
  bool eof = false;        // the server closed after `pending`
  bool watcher_handle = false;

  // One step under the state's lock; a handle dropped inside it fails the
  // run, naming the harness line of the step.
  template <class F>
  decltype(auto) st(F&& f, int line = __builtin_LINE()) {
    struct Watch {
      int before, line;
      ~Watch() {
        if (g_dropped_under_lock == before) return;
        std::fprintf(stderr, "a handle was dropped under the lock in the step at line %d\n", line);
        std::abort();
      }
    } watch{g_dropped_under_lock, line};
    return state(std::forward<F>(f));
  }

  void got_transport(const TH& t) {
    if (t) {
      CHECK(t.name() == "transport");
      ++handed;
    }
  }
  bool dead() { return st([](Client& s) { return s.is_dead(); }); }

  // The transport's next read: a piece of what is pending, or EOF.
  std::string read() {
    size_t n = std::min<size_t>(1 + in.u8() % 24, pending.size());
    std::string s = pending.substr(0, n);
    pending.erase(0, n);
    return s;
  }

  void fail(const char* why) {
    bool was_failed = st([](Client& s) { return s.failed(); });
    auto f = st([&](Client& s) { return s.fail(obj(why)); });
    got_transport(f.transport);
    CHECK(bool(f.dropped) == was_failed);
    if (!was_failed) first_error = st([](Client& s) { return s.error(); });
    CHECK(first_error.name() != "none" && st([](Client& s) { return s.closed(); }));
    TH e = st([](Client& s) { return s.error(); });
    CHECK(e.is(first_error));
  }

  // Acts on the watcher's verdict for a read completed while idle.
  void idle_verdict(WatchVerdict v, TH transport, bool closed_before) {
    got_transport(transport);
    switch (v) {
      case WatchVerdict::idle_eof: CHECK(transport || closed_before); break;
      case WatchVerdict::idle_bytes: fail("stray bytes"); break;
      case WatchVerdict::idle_error: fail("idle read failed"); break;
      case WatchVerdict::ignored: CHECK(closed_before); break;
      case WatchVerdict::handoff: CHECK(false);
    }
    CHECK(st([](Client& s) { return s.closed(); }));
  }

  // The idle watcher's read completes now (before an exchange started
  // writing): with stray bytes, with EOF after a close, or failing.
  void complete_idle() {
    bool closed_before = st([](Client& s) { return s.closed(); });
    Client::WatchResult r;
    if (!pending.empty() || eof) {
      std::string d = read();
      r = st([&](Client& s) { return s.watcher_completed(bytes(d), TH()); });
      CHECK(r.verdict == (d.empty() ? WatchVerdict::idle_eof : WatchVerdict::idle_bytes));
    } else {
      r = st([&](Client& s) { return s.watcher_completed(Received<TH>{}, obj("oserror")); });
      CHECK(r.verdict == (closed_before ? WatchVerdict::ignored : WatchVerdict::idle_error));
    }
    idle_verdict(r.verdict, std::move(r.transport), closed_before);
  }

  // Between exchanges: maybe arm the watcher (and store its task handle);
  // true when armed.
  bool arm() {
    uint8_t b = in.u8();
    if (!(b & 1)) return false;
    bool expect = !dead() && !st([](Client& s) { return s.has_watcher(); });
    auto a = st([&](Client& s) { return s.arm_watcher(obj("done")); });
    CHECK(a.armed == expect && bool(a.refused) == !expect);
    if (!a.armed) return false;
    if (b & 2) {
      TH refused = st([&](Client& s) { return s.store_watcher_handle(obj("handle")); });
      CHECK(!refused);
      watcher_handle = true;
      CHECK(st([&](Client& s) { return s.store_watcher_handle(obj("handle2")); }).name() == "handle2");
    }
    return true;
  }

  // The exchange's first read: the watcher's, when one was parked.
  std::optional<std::string> first_read(bool parked, bool& failed) {
    if (!parked) return std::nullopt;
    // The watcher's read completes while the exchange runs.
    std::string got;
    if (in.bit()) {
      auto r = st([&](Client& s) { return s.watcher_completed(Received<TH>{}, obj("oserror")); });
      CHECK(r.verdict == WatchVerdict::handoff && !r.transport);
    } else {
      got = read();
      auto r = st([&](Client& s) { return s.watcher_completed(bytes(got), TH()); });
      CHECK(r.verdict == WatchVerdict::handoff && !r.transport);
    }
    auto h = st([](Client& s) { return s.take_watcher_handoff(); });
    CHECK(!st([](Client& s) { return s.has_watcher(); }));
    CHECK(bool(h.handle) == watcher_handle);
    watcher_handle = false;
    if (h.error) {
      CHECK(!h.data && h.error.name() == "oserror");
      failed = true;
      return std::nullopt;
    }
    CHECK(h.data && h.data->bytes == got);
    if (h.data->bytes.empty()) {
      failed = true;  // EOF before the response
      return std::nullopt;
    }
    return h.data->bytes;
  }

  // One exchange; false when the connection cannot carry another.
  bool exchange(int round) {
    CHECK(st([](Client& s) { return s.try_begin_exchange(); }));
    CHECK(!st([](Client& s) { return s.try_begin_exchange(); }));  // the slot is held
    bool dead_before = dead();
    bool parked = st([](Client& s) { return s.has_watcher(); });
    // The server closed, or stray bytes wait before the response: the
    // exchange cannot succeed, whatever it reads.
    const bool doomed = !pending.empty() || eof;
    // The watcher may complete idle between the claim and the first write.
    if (parked && (in.u8() % 8) == 0) {
      complete_idle();
      parked = false;
      dead_before = true;
    }
    auto start = st([](Client& s) { return s.begin_send(); });
    CHECK(bool(start.transport) == !dead_before);
    if (!start.transport) {
      CHECK(st([](Client& s) { return s.end_exchange(); }));
      return false;
    }
    CHECK(bool(start.watcher_done) == st([](Client& s) { return s.has_watcher(); }));

    Script sc = script(in, round > 0 || in.bit());
    const bool http10 = st([](Client& s) { return s.peer_http10(); });
    uint8_t rb = in.u8();
    const bool post = !sc.head_request && (rb & 1);
    const uint64_t body_len = rb >> 5;
    Result<RequestEncoding> req =
        prepare_request(sc.head_request ? "HEAD" : post ? "POST" : "GET", "/r" + std::to_string(round), {}, http10,
                        post ? BodyLength{BodyLength::known, body_len} : BodyLength{}, false);
    CHECK(req.has_value());
    codec.with([&](Codec& c) { c.commit_request(*req); });
    st([](Client& s) { s.exchange_started(); });

    // The body writer: sends the body in full, or stops short (cancelled).
    bool full = !(rb & 2);
    if (post && body_len) {
      auto stored = st([](Client& s) { return s.store_writer(obj("writer")); });
      CHECK(!stored.refused && !stored.dropped);
      uint64_t sent = full ? body_len : body_len / 2;
      codec.with([&](Codec& c) {
        c.plan_data(sent);
        if (full) CHECK(c.end_body().has_value());
      });
    }
    if (full) st([](Client& s) { s.writer_done(); });
    if (!eof) {
      pending += sc.wire;
      eof = sc.closes;
    }

    bool failed = false;
    std::optional<std::string> data = first_read(parked, failed);
    ResponseHead head;
    bool have_head = false;
    while (!failed) {
      std::string d;
      if (data) {
        d = std::move(*data);
        data.reset();
      } else {
        if (pending.empty()) {
          CHECK(eof);
          break;  // the server closed before the head was whole
        }
        d = read();
      }
      Result<HeadProgress> r = codec.with([&](Codec& c) { return c.receive_head(d, head); });
      if (!r) break;
      if (*r == HeadProgress::complete) {
        have_head = true;
        break;
      }
    }
    if (!have_head) {
      CHECK(failed || doomed || !sc.ok);
      return abandon(failed ? "read failed" : "bad response");
    }
    CHECK(!doomed && (sc.ok || sc.cut) && head.status == sc.status && head.http10 == sc.http10);
    if (head.http10) st([](Client& s) { s.set_peer_http10(true); });

    if (sc.upgrade) {
      // The switch hands the transport over, with the bytes read past the head
      // left in the codec for the new protocol.
      TH t = st([](Client& s) { return s.upgrade(); });
      CHECK(t);
      got_transport(t);
      upgraded = true;
      std::string left = codec.with([](Codec& c) { return c.take_body(); });
      CHECK(left + pending == sc.tail);
      pending.clear();
      st([](Client& s) { return s.take_writer(); });
      CHECK(st([](Client& s) { return s.end_exchange(); }));
      return false;
    }

    BodyDecoder dec = head.body == BodyKind::chunked  ? BodyDecoder(BodyFraming::chunked)
                      : head.body == BodyKind::length ? BodyDecoder(BodyFraming::length, head.content_length)
                      : head.body == BodyKind::close  ? BodyDecoder(BodyFraming::close)
                                                      : BodyDecoder(BodyFraming::length, 0);
    codec.with([&](Codec& c) { c.take_body_into(dec); });
    CHECK(codec.with([](Codec& c) { return c.buffered(); }) == 0);
    std::string body;
    for (;;) {
      Result<BodyDecoder::Decoded> r = dec.decode();
      if (!r) {
        CHECK(sc.cut);
        return abandon("body cut short");
      }
      if (r->progress == BodyDecoder::Progress::data) {
        body += r->data.str();
        continue;
      }
      if (dec.is_complete()) break;
      if (pending.empty()) {
        CHECK(eof);
        dec.mark_eof();
      } else {
        dec.feed(read());
      }
    }
    CHECK(!sc.cut && body == sc.body);
    std::string extra;
    dec.drain_input([&](std::string_view s) { extra += s; });
    CHECK(extra.empty());  // the script never sends past a response

    // Reuse: decided in one step with the writer's report.
    bool keep = head.wants_keep_alive;
    CHECK(keep == (sc.keep && !codec.with([](Codec& c) { return c.request_connection_close(); })));
    const bool framed = codec.with([](Codec& c) { return c.message_complete(); });
    // Another task may close or fail the connection meanwhile (close(), a
    // finalizer, the writer failing).
    switch (in.u8() % 16) {
      case 14: got_transport(st([](Client& s) { return s.close_now(); })); break;
      case 15: fail("writer failed"); break;
      default: break;
    }
    const bool was_dead = dead();
    auto f = st([&](Client& s) { return s.finish_exchange(keep); });
    CHECK(f.reuse == (keep && full && framed && !was_dead));
    CHECK(f.fully_sent == (full && framed));
    if (f.reuse) {
      TH t = st([](Client& s) { return s.transport_ref(); });
      CHECK(!f.transport && t);
    } else {
      CHECK(st([](Client& s) { return s.closed(); }));
      got_transport(f.transport);
    }
    // A reused connection's server keeps it open: close-delimited bodies and
    // Connection: close never reach here with reuse.
    if (f.reuse) CHECK(!sc.closes);
    if (!f.reuse && !sc.closes) {
      // We close a connection the server would have kept.
      pending.clear();
      eof = true;
    }
    TH w = st([](Client& s) { return s.take_writer(); });
    CHECK(bool(w) == (post && body_len > 0));
    CHECK(st([](Client& s) { return s.end_exchange(); }));
    CHECK(!st([](Client& s) { return s.end_exchange(); }));
    return f.reuse;
  }

  // The exchange fails: the driver stores the error and lets the slot go.
  bool abandon(const char* why) {
    fail(why);
    st([](Client& s) { return s.take_writer(); });
    CHECK(st([](Client& s) { return s.end_exchange(); }));
    return false;
  }

  void run() {
    for (int round = 0; round < 8; ++round) {
      if (round) {
        // While the connection idles the server may close, send stray bytes,
        // or the read may fail; an armed watcher notices at once, otherwise
        // the next request finds out.
        bool armed = arm();
        uint8_t ev = in.u8() % 8;
        if (ev == 0) eof = true;
        if (ev == 1) pending += "\x01stray";
        if (armed && ev <= 2) complete_idle();
      }
      if (!exchange(round)) break;
    }
    // close(): the transport goes back now unless it already went.
    bool closed_before = st([](Client& s) { return s.closed(); });
    auto c = st([](Client& s) { return s.mark_closed(); });
    CHECK(bool(c.transport) == !closed_before);
    got_transport(c.transport);
    CHECK(c.idle && !c.writer);
    TH h = st([](Client& s) { return s.take_watcher_handle(); });
    CHECK(bool(h) == watcher_handle);
    st([](Client& s) { return s.take_watcher_result(); });
    // Exactly one hand-back over the connection's life, none after.
    CHECK(handed == 1);
    CHECK(!st([](Client& s) { return s.fail(obj("late")); }).transport);
    CHECK(!st([](Client& s) { return s.close_now(); }));
    CHECK(!st([](Client& s) { return s.upgrade(); }));
    CHECK(st([](Client& s) { return s.upgraded(); }) == true || !upgraded);
    if (first_error) CHECK(st([](Client& s) { return s.error(); }).is(first_error));
    CHECK(g_dropped_under_lock == 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  g_dropped_under_lock = 0;
  Drive d{in};
  d.run();
  return 0;
}
