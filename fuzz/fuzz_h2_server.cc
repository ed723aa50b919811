// A server-role connection core driven by arbitrary client bytes, the way the
// driver drives it: after a valid preface and SETTINGS, every decoded event
// goes to its receive step, stream errors are answered with reset_on_error,
// connection errors fail the connection, requests are answered through the
// send path (a head, then a body framed under flow control), and the write
// pump takes the pending buffer now and then and credits it.
//
// Checked after every event: the state invariants of fuzz/h2_harness.h, and
// every handle the core was given is released exactly once, none left at
// the end.
// And every batch the pump takes must decode, as a client would, to
// well-formed frames: no decode error, no stream error, a response head
// before its DATA, nothing after END_STREAM or RST_STREAM, no more DATA than
// the client's connection window allowed.
//
// Input: one byte of knobs (windows, stream limit, buffer room, whether the
// application releases DATA at once, response size), then the client bytes;
// the split points of the client bytes and the pump's writes come from a
// generator seeded by the input, and so does whether the server accepts
// extended CONNECT (RFC 8441), whose streams stay open after the response
// until the client ends them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "fuzz/h2_harness.h"
#include "proto/h2/conn_core.h"
#include "proto/h2/frame.h"

using namespace velmora::h2;
using namespace velmora::h2::fuzz;

namespace {

// What the client sees of the server's output.
struct ClientView {
  Receiver recv;
  RecvBatch batch;
  uint64_t data_total = 0;  // flow-controlled DATA octets the server sent
  struct S {
    bool head = false, ended = false, reset = false;
  };
  std::unordered_map<uint32_t, S> streams;
  std::unordered_set<uint32_t> errored;  // ids of the decoder's stream errors
  uint32_t goaway_last = 0x7fffffff;     // the lowest last-stream-id our GOAWAYs named
  ClientView() { recv.set_max_frame_size(16777215); }

  void parse(std::string_view bytes, uint32_t last_client_id) {
    auto ok = recv.receive(bytes, batch);
    CHECK(ok.has_value());
    for (const Event& e : batch.events) {
      std::visit(
          [&](const auto& ev) {
            using T = std::decay_t<decltype(ev)>;
            if constexpr (std::is_same_v<T, StreamErrorEvent>) {
              fault(__FILE__, __LINE__);
            } else if constexpr (std::is_same_v<T, GoAwayEvent>) {
              // a later GOAWAY never raises the last stream id
              CHECK(ev.last_stream_id <= goaway_last);
              goaway_last = ev.last_stream_id;
            } else if constexpr (std::is_same_v<T, HeadersEvent>) {
              CHECK(ev.stream_id & 1 && ev.stream_id <= last_client_id);
              // nothing is answered above the last stream id a GOAWAY promised
              CHECK(ev.stream_id <= goaway_last);
              S& s = streams[ev.stream_id];
              CHECK(!s.ended && !s.reset);
              CHECK(s.head || ev.head.status != 0);
              s.head = true;
              s.ended = ev.end_stream;
            } else if constexpr (std::is_same_v<T, DataEvent>) {
              S& s = streams[ev.stream_id];
              CHECK(s.head && !s.ended && !s.reset);
              s.ended = ev.end_stream;
              data_total += ev.flow_controlled_len;
            } else if constexpr (std::is_same_v<T, RstStreamEvent>) {
              // a stream the client used, or one the decoder reported a stream
              // error on (a PRIORITY naming itself may do so on an idle id)
              CHECK((ev.stream_id & 1 && ev.stream_id <= last_client_id) || errored.contains(ev.stream_id));
              streams[ev.stream_id].reset = true;
            } else if constexpr (std::is_same_v<T, WindowUpdateEvent>) {
              CHECK(ev.stream_id == 0 || (ev.stream_id & 1 && ev.stream_id <= last_client_id));
            }
          },
          e);
    }
  }
};

struct Knobs {
  uint32_t initial_window;
  std::optional<uint32_t> max_streams;
  uint64_t send_buf;
  bool release_at_once;
  size_t body_len;
  bool extended_connect = false;
};

Knobs knobs_of(uint8_t k) {
  static constexpr uint32_t windows[] = {65535, 1000, 16384, 1 << 20};
  static constexpr size_t bodies[] = {0, 1, 300, 5000, 20000, 70000, 150000, 1 << 20};
  return Knobs{windows[k & 3], (k & 4) ? std::optional<uint32_t>(3) : std::nullopt, (k & 8) ? 3000u : 65536u,
               !(k & 16), bodies[(k >> 5) & 7]};
}

struct Harness : ConnHarness<Harness> {
  Knobs kn;
  ClientView client;
  std::string body;
  uint64_t conn_allowance = 65535;  // the client's connection window as the server was told
  uint32_t last_client_id = 0;
  std::string taken;

  static ConnConfig config(const Knobs& kn) {
    ConnConfig c;
    c.role = Role::server;
    c.initial_window_size = kn.initial_window;
    c.connection_window = 1 << 20;
    c.max_send_buf_size = kn.send_buf;
    c.max_concurrent_streams = kn.max_streams;
    c.max_local_error_reset_streams = 64;
    c.auto_date_header = false;
    c.enable_connect_protocol = kn.extended_connect;
    return c;
  }

  explicit Harness(const Knobs& k) : ConnHarness(config(k)), kn(k), body(k.body_len, 'b') {
    recv.expect_preface(true);
    recv.set_role(Role::server);
    recv.set_extended_connect(k.extended_connect);
    begin(config(k));
  }

  // A step's error: stream errors reset the stream, the rest fail the connection.
  void on_error(const Error& err) {
    // Our own heads and frames are always valid.
    CHECK(err.kind != ErrorKind::argument);
    CHECK(!(err.kind == ErrorKind::user && err.misuse == Misuse::data_over_frame_size));
    if (err.kind == ErrorKind::stream) {
      auto r = core.reset_on_error(err.stream_id, err.code, sink);
      if (!r) fail_connection();
      return;
    }
    fail_connection();
  }

  // One event through the core's dispatch, then what the driver does with
  // its verdict: a new request is answered, DATA read now or later.
  void dispatch(const Event& e) {
    if (auto* h = std::get_if<HeadersEvent>(&e); h && h->stream_id & 1)
      last_client_id = std::max(last_client_id, h->stream_id);
    if (auto* se = std::get_if<StreamErrorEvent>(&e)) {
      client.errored.insert(se->stream_id);
      // A refused request still uses its id: the client may later see frames
      // on any id up to it (a DATA on a lower idle id is then a closed stream).
      if (se->stream_id & 1) last_client_id = std::max(last_client_id, se->stream_id);
    }
    std::vector<Handle> wake;
    std::vector<Aborted> aborted;
    auto v = apply_event(core, recv, e, std::holds_alternative<HeadersEvent>(e) ? sink.cell() : nullptr, sink, wake,
                         aborted);
    if (!v) {
      // A failed reset_on_error (too many resets) fails the connection.
      if (std::holds_alternative<StreamErrorEvent>(e)) fail_connection();
      else on_error(v.error());
    } else if (auto* h = std::get_if<HeadersVerdict>(&*v)) {
      if (h->kind == HeadersKind::opened) respond(h->stream_id);
    } else if (auto* d = std::get_if<DataVerdict>(&*v)) {
      if (d->deliver && d->handle) {
        const auto& ev = std::get<DataEvent>(e);
        Unreleased u{ev.stream_id, uint32_t(ev.data.size()), d->budgeted};
        if (kn.release_at_once) {
          release(u);
        } else {
          unreleased.push_back(u);
        }
      }
    } else if (auto* w = std::get_if<WindowUpdateEvent>(&e); w && w->stream_id == 0) {
      conn_allowance += w->increment;
    }
    sink.flush();
  }

  void respond(uint32_t sid) {
    core.state.accepted(sid);
    OutHead head;
    CHECK(build_response_head(200, head).has_value());
    bool empty = body.empty();
    auto r = core.send_response_head(sid, head, nullptr, nullptr, {}, empty, sink);
    if (!r) return on_error(r.error());
    if (!empty && !r->stopped) senders.push_back({sid, 0});
  }

  // The application gives up on a response it is sending.
  void cancel_one(uint32_t pick) {
    if (senders.empty() || failed) return;
    size_t i = pick % senders.size();
    auto r = core.reset_stream(senders[i].sid, uint32_t(ErrorCode::cancel), Initiator::user, sink);
    sink.flush();
    CHECK(r.has_value());
    senders[i] = senders.back();
    senders.pop_back();
  }

  void graceful_shutdown() {
    // Also after a GOAWAY went out (our reply, or the end of the exchange):
    // ClientView checks that no later GOAWAY raises the last stream id.
    if (failed) return;
    CHECK(core.begin_graceful_shutdown().has_value());
  }

  // The write pump: the batch is taken, must parse, and is credited.
  void pump() {
    std::string buf;
    core.take_pending(buf);
    client.parse(buf, last_client_id);
    CHECK(client.data_total <= conn_allowance);
    std::vector<Handle> wake;
    core.credit_written(wake);
    buf.clear();
    core.give_back(buf);
  }

  // Events after the GOAWAY exchange in the same read still reach the core:
  // a request above the announced last stream id must be ignored
  // (ClientView checks no response goes to it).
  void feed(std::string_view bytes) {
    feed_events(bytes, [&] {
      run_senders(body);
      check();
    });
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  Knobs kn = knobs_of(data[0]);
  kn.extended_connect = seed & 1;
  Harness h(kn);
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::string start(kPreface);
  write_settings(start, Settings{});
  h.feed(start);
  h.pump();

  for (size_t at = 0; at < in.size() && !h.failed;) {
    seed = seed * 1103515245u + 12345u;
    size_t n = 1 + (seed >> 16) % 512;
    h.feed(in.substr(at, n));
    at += n;
    if ((seed >> 8) & 1) h.pump();
    if ((seed >> 9) & 1) h.release_some(1 + ((seed >> 10) & 3));
    if (((seed >> 12) & 15) == 0) h.cancel_one(seed >> 16);
    if (((seed >> 4) & 63) == 0) h.graceful_shutdown();
    h.run_senders(h.body);
    h.check();
  }
  h.drain(h.body);
  return 0;
}
