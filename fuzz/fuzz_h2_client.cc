// A client-role connection core driven by a script of application steps and
// server frames, the way the driver drives it: requests are opened (claiming
// a slot first), bodies framed under flow control, trailers sent, streams
// cancelled; the server's frames (responses, interim 1xx heads, trailers,
// DATA, RST_STREAM, GOAWAY, SETTINGS, WINDOW_UPDATE, PING, or raw bytes) are
// decoded and every event goes to its receive step; stream errors are
// answered with reset_on_error, connection errors fail the connection; the
// write pump takes the pending buffer now and then and credits it.
//
// Checked after every step: the state invariants of fuzz/h2_harness.h, and
// every handle the core was given is released exactly once, none left at
// the end.
// And every batch the pump takes must decode, as a server would, to
// well-formed frames: the preface first, no decode error, no stream error,
// request heads on new odd ids in increasing order, DATA only after its head
// and never after END_STREAM or RST_STREAM, no more DATA on the connection
// than the server's window allowed, nor on a stream than the largest initial
// window the server announced plus the stream's updates.
//
// Input: one byte of knobs (our windows, buffer room, whether DATA is
// released at once), then steps: an opcode byte and its operand bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "fuzz/h2_harness.h"
#include "proto/h2/codec.h"
#include "proto/h2/conn_core.h"
#include "proto/h2/frame.h"

using namespace velmora::h2;
using namespace velmora::h2::fuzz;
namespace http = velmora::http;

namespace {

// What the server sees of the client's output.
struct ServerView {
  Receiver recv;
  RecvBatch batch;
  uint64_t conn_data = 0;          // flow-controlled DATA octets the client sent
  uint64_t conn_allowance = 65535;  // the server's connection window as announced
  uint64_t max_initial = 65535;     // the largest initial stream window announced
  uint32_t last_id = 0;
  struct S {
    bool ended = false, reset = false;
    uint64_t data = 0;
  };
  std::unordered_map<uint32_t, S> streams;
  std::unordered_map<uint32_t, uint64_t> updates;  // WINDOW_UPDATE increments per stream
  ServerView() {
    recv.set_role(Role::server);
    recv.expect_preface(true);
    recv.set_max_frame_size(16777215);
    recv.set_extended_connect(true);
  }

  // `connect_allowed`: the client has seen SETTINGS_ENABLE_CONNECT_PROTOCOL = 1,
  // without which no request may carry :protocol.
  void parse(std::string_view bytes, bool connect_allowed) {
    auto ok = recv.receive(bytes, batch);
    if (!ok) fprintf(stderr, "server view: %s\n", ok.error().message().c_str());
    CHECK(ok.has_value());
    for (const Event& e : batch.events) {
      std::visit(
          [&](const auto& ev) {
            using T = std::decay_t<decltype(ev)>;
            if constexpr (std::is_same_v<T, StreamErrorEvent>) {
              fprintf(stderr, "server view: stream %u error %u\n", ev.stream_id, ev.error_code);
              fault(__FILE__, __LINE__);
            } else if constexpr (std::is_same_v<T, HeadersEvent>) {
              CHECK(ev.stream_id & 1);
              auto it = streams.find(ev.stream_id);
              if (it == streams.end()) {
                // a request head opens the next id; nothing else opens one
                CHECK(ev.stream_id > last_id);
                CHECK(ev.head.status == 0);
                CHECK(!ev.head.protocol || connect_allowed);
                last_id = ev.stream_id;
                streams[ev.stream_id].ended = ev.end_stream;
              } else {
                // trailers end the stream
                CHECK(!it->second.ended && !it->second.reset && ev.end_stream);
                it->second.ended = true;
              }
            } else if constexpr (std::is_same_v<T, DataEvent>) {
              auto it = streams.find(ev.stream_id);
              CHECK(it != streams.end());
              S& s = it->second;
              CHECK(!s.ended && !s.reset);
              s.ended = ev.end_stream;
              s.data += ev.flow_controlled_len;
              conn_data += ev.flow_controlled_len;
              CHECK(conn_data <= conn_allowance);
              CHECK(s.data <= max_initial + updates[ev.stream_id]);
            } else if constexpr (std::is_same_v<T, RstStreamEvent>) {
              // only a stream we opened: a stream error on an id we never
              // opened fails the connection instead, so our own idle ids are
              // never reset before we open them
              CHECK(ev.stream_id & 1 && ev.stream_id <= last_id);
              streams[ev.stream_id].reset = true;
            } else if constexpr (std::is_same_v<T, GoAwayEvent>) {
              CHECK(ev.last_stream_id == 0);  // a client pushes nothing
            } else if constexpr (std::is_same_v<T, WindowUpdateEvent>) {
              CHECK(ev.stream_id == 0 || (ev.stream_id & 1 && ev.stream_id <= last_id));
            }
          },
          e);
    }
  }
};

// The step script.
struct Script {
  std::string_view in;
  size_t at = 0;
  bool done() const { return at >= in.size(); }
  uint8_t byte() { return at < in.size() ? uint8_t(in[at++]) : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  }
};

constexpr std::string_view kMethods[] = {"GET", "POST", "HEAD", "CONNECT", "OPTIONS", "PUT", "G T", ""};
constexpr std::string_view kTargets[] = {"/",          "/a/b?c=d",      "http://example.com/x", "*",
                                         "example.com:443", "https://h:8443", "/\x01",              ""};
constexpr uint16_t kStatuses[] = {200, 100, 103, 204, 304, 404, 101, 199, 0, 999, 500, 100, 200, 302, 200, 103};
constexpr size_t kBodies[] = {0, 1, 100, 16384, 16385, 70000, 200000, 5};
constexpr uint32_t kWindows[] = {0, 1, 1000, 65535, 1 << 20, 0x7fffffff, 0x80000000u, 16384};

static const std::string& request_body() {
  static const std::string b(200000, 'q');
  return b;
}

// `recv` decodes the server's bytes.
struct Harness : ConnHarness<Harness> {
  Sender peer;  // the server's encoder
  ServerView server;
  const std::string& body = request_body();
  std::vector<uint32_t> opened;  // our stream ids, in order
  bool release_at_once;

  static ConnConfig config(uint8_t k) {
    static constexpr uint32_t windows[] = {65535, 1000, 16384, 1 << 20};
    ConnConfig c;
    c.role = Role::client;
    c.initial_window_size = windows[k & 3];
    c.connection_window = (k & 4) ? 65535 : 1 << 20;
    c.max_send_buf_size = (k & 8) ? 3000u : 65536u;
    c.max_local_error_reset_streams = 64;
    c.auto_date_header = false;
    return c;
  }

  explicit Harness(uint8_t k) : ConnHarness(config(k)), release_at_once(!(k & 16)) {
    recv.expect_preface(false);
    begin(config(k));
  }

  // Our own heads may be refused (a bad method, target or field): that is a
  // head's argument error or a user error, raised to the caller, the
  // connection intact. A stream error resets the stream; anything else (a
  // frame the encoder refused among them) fails the connection.
  void on_error(const Error& err) {
    if (err.kind == ErrorKind::argument) {
      switch (err.argument) {
        case BadArgument::invalid_method:
        case BadArgument::invalid_url:
        case BadArgument::no_authority:
        case BadArgument::invalid_status:
        case BadArgument::invalid_protocol:
        case BadArgument::protocol_not_connect: return;
        default: return fail_connection();
      }
    }
    if (err.kind == ErrorKind::user) {
      if (err.misuse == Misuse::data_over_frame_size) return fail_connection();
      return;
    }
    if (err.kind == ErrorKind::stream) {
      auto r = core.reset_on_error(err.stream_id, err.code, sink);
      sink.flush();
      if (!r) fail_connection();
      return;
    }
    fail_connection();
  }

  uint32_t pick(uint8_t b) {
    if (b & 0x80 || opened.empty()) return b & 0x7f;  // any id: idle, even, unused
    return opened[b % opened.size()];
  }

  // ---- application steps ----
  void open(Script& s) {
    uint8_t a = s.byte(), b = s.byte();
    std::string_view method = kMethods[a & 7], target = kTargets[(a >> 3) & 7];
    bool end = a & 0x40;
    std::string_view scheme = "https", authority = "example.com";
    http::HeaderMap fields;  // values pass is_valid_value(), as the map requires
    switch (b & 7) {
      case 1: (void)fields.append("te", "trailers"); break;
      case 2: (void)fields.append("connection", "close"); break;
      case 3: (void)fields.append("x-a", " padded "); break;  // the driver refuses it
      case 4: (void)fields.append("content-length", "5"); break;
      case 5: (void)fields.append("host", "example.com"); break;
      default: break;
    }
    // the driver checks every outgoing head before it claims a slot
    if ((b & 7) && (has_forbidden_fields(fields) || has_padded_value(fields))) return;
    if (!core.state.try_claim_slot()) return;
    OutHead head;
    // An extended CONNECT (a WebSocket), refused until the server allows it.
    std::string_view protocol = "websocket";
    auto built = build_request_head(method, target, (b & 8) ? nullptr : &scheme, (b & 16) ? nullptr : &authority,
                                    head, (a & 0x80) ? &protocol : nullptr);
    Cell* c = sink.cell();
    auto r = core.open_stream(head, built ? nullptr : &built.error(), (b & 7) ? &fields : nullptr, end,
                              method == "HEAD", c);
    if (!r || !*r) {
      sink.discard(c);
      if (!r) on_error(r.error());
      return;
    }
    CHECK(**r & 1);
    CHECK(opened.empty() || **r > opened.back());
    c->sid = **r;
    opened.push_back(**r);
    // the body is the last kBodies[..] octets of `body`
    if (!end) senders.push_back({**r, body.size() - kBodies[(b >> 5) & 7], bool(b & 0x80)});
  }

  void trailers(Script& s) {
    uint32_t sid = pick(s.byte());
    http::HeaderMap t;
    (void)t.append("x-checksum", "abc");
    auto r = core.send_trailers(sid, t, sink);
    sink.flush();
    if (!r) on_error(r.error());
    std::erase_if(senders, [&](const Sending& x) { return x.sid == sid; });
  }

  void cancel(Script& s) {
    uint32_t sid = pick(s.byte());
    auto r = core.reset_stream(sid, uint32_t(ErrorCode::cancel), Initiator::user, sink);
    sink.flush();
    if (!r) on_error(r.error());
    std::erase_if(senders, [&](const Sending& x) { return x.sid == sid; });
  }

  void aclose(Script& s) {
    uint32_t sid = pick(s.byte());
    auto r = core.aclose_body(sid, sink);
    sink.flush();
    if (!r) on_error(r.error());
  }

  void pump() {
    std::string buf;
    core.take_pending(buf);
    server.parse(buf, core.state.peer_connect_protocol());
    std::vector<Handle> wake;
    core.credit_written(wake);
    buf.clear();
    core.give_back(buf);
  }

  // ---- the server's frames ----
  void server_frame(uint8_t op, Script& s) {
    std::string out;
    switch (op) {
      case 0: {  // a response head (or an interim one)
        uint8_t a = s.byte(), b = s.byte();
        uint32_t sid = pick(a);
        OutHead h;
        h.status = kStatuses[b & 15];
        http::HeaderMap f;
        if (b & 0x10) (void)f.append("content-length", (b & 0x20) ? "5" : "0");
        if (b & 0x40) (void)f.append("content-length", "x");
        (void)peer.write_headers(out, sid, h, f.empty() ? nullptr : &f, b & 0x80);
        break;
      }
      case 1: {  // trailers
        uint32_t sid = pick(s.byte());
        OutHead h;
        http::HeaderMap f;
        (void)f.append("grpc-status", "0");
        (void)peer.write_headers(out, sid, h, &f, true);
        break;
      }
      case 2: {  // DATA, maybe padded
        uint8_t a = s.byte(), b = s.byte();
        uint32_t sid = pick(a);
        size_t len = kBodies[b & 7] % 20000;
        std::string data(len, 'r');
        if (b & 0x10) {
          uint8_t pad = s.byte();
          char hdr[9];
          uint32_t plen = uint32_t(len) + 1 + pad;
          write_frame_header(hdr, plen, FrameType::data, uint8_t((b & 0x80 ? 1 : 0) | 0x8), sid);
          out.append(hdr, 9);
          out.push_back(char(pad));
          out += data;
          out.append(pad, '\0');
        } else {
          (void)write_data(out, sid, data, b & 0x80, 16384);
        }
        break;
      }
      case 3: (void)write_rst_stream(out, pick(s.byte()), s.byte() % 14); break;
      case 4: {
        uint8_t a = s.byte();
        (void)write_goaway(out, (a & 0x80) ? 0x7fffffff : pick(a), s.byte() % 14, "");
        break;
      }
      case 5: {  // SETTINGS: each present value from the table
        uint8_t a = s.byte(), b = s.byte();
        Settings st;
        if (a & 1) st.initial_window_size = kWindows[b & 7];
        if (a & 2) st.max_frame_size = (b & 8) ? 16384 : 1 << 20;
        if (a & 4) st.max_concurrent_streams = (b >> 4) & 3;
        if (a & 8) st.header_table_size = (b & 0x40) ? 0 : 100;
        if (a & 16) st.enable_push = bool(b & 0x80);
        if (a & 32) st.max_header_list_size = 200;
        if (a & 64) st.enable_connect_protocol = bool(a & 128);  // 1 then 0 fails the connection
        write_settings(out, st);
        if (st.initial_window_size && *st.initial_window_size <= 0x7fffffff)
          server.max_initial = std::max<uint64_t>(server.max_initial, *st.initial_window_size);
        break;
      }
      case 6: write_settings_ack(out); break;
      case 7: {
        uint8_t a = s.byte();
        uint32_t sid = (a & 0x40) ? 0 : pick(a);
        uint32_t inc = kWindows[s.byte() & 7];
        (void)write_window_update(out, sid, inc & 0x7fffffff);
        if (inc && inc <= 0x7fffffff) {
          if (sid == 0) server.conn_allowance += inc;
          else server.updates[sid] += inc;
        }
        break;
      }
      case 8: (void)write_ping(out, "pingpong", s.byte() & 1); break;
      default: {  // raw bytes
        size_t n = s.byte();
        out.assign(s.in.substr(std::min(s.at, s.in.size()), n));
        s.at += n;
        break;
      }
    }
    feed(out);
  }

  void feed(std::string_view bytes) {
    feed_events(bytes, [] {});
  }

  // One event through the core's dispatch, then what the driver does with
  // its verdict: DATA read now or later, a new header table size for the
  // server's encoder.
  void dispatch(const Event& e) {
    std::vector<Handle> wake;
    std::vector<Aborted> aborted;
    auto v = apply_event(core, recv, e, nullptr, sink, wake, aborted);
    if (!v) {
      // A failed reset_on_error (too many resets) fails the connection.
      if (std::holds_alternative<StreamErrorEvent>(e)) return fail_connection();
      return on_error(v.error());
    }
    std::visit(
        [&](const auto& ev) {
          using T = std::decay_t<decltype(ev)>;
          if constexpr (std::is_same_v<T, HeadersEvent>) {
            CHECK(std::get<HeadersVerdict>(*v).kind != HeadersKind::opened);  // a client opens no stream on receive
          } else if constexpr (std::is_same_v<T, DataEvent>) {
            const DataVerdict& d = std::get<DataVerdict>(*v);
            if (d.deliver && d.handle) {
              Unreleased u{ev.stream_id, uint32_t(ev.data.size()), d.budgeted};
              if (release_at_once) {
                release(u);
              } else {
                unreleased.push_back(u);
              }
            }
          } else if constexpr (std::is_same_v<T, SettingsEvent>) {
            if (!ev.ack && ev.settings.header_table_size) peer.set_header_table_size(0);
          } else if constexpr (std::is_same_v<T, GoAwayEvent>) {
            // only our streams above the last id the server processed
            for (const Aborted& a : aborted) CHECK(static_cast<Cell*>(a.handle)->sid > ev.last_stream_id);
          }
        },
        e);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Harness h(data[0]);
  Script s{std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)};
  h.pump();
  while (!s.done() && !h.failed) {
    uint8_t op = s.byte();
    switch (op >> 4) {
      case 0: h.open(s); break;
      case 1: h.trailers(s); break;
      case 2: h.cancel(s); break;
      case 3: h.aclose(s); break;
      case 4: h.pump(); break;
      case 5: h.release_some(1 + (op & 3)); break;
      default: h.server_frame(op & 15, s); break;
    }
    h.sink.flush();
    h.check();
    h.run_senders(h.body);
    h.check();
  }
  h.drain(h.body);
  return 0;
}
