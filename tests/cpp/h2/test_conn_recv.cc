// The receive path's rules that span streams: received octets return to the
// connection's receive window, and DATA-frame charges to its budget, exactly
// once, whatever ends their stream (the connection lives on after one stream
// ends, and a window lost there starves every stream still running); and a
// stream's state decides what a frame on it is before the frame's content.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/h2/conn_core.h"

using namespace velmora::h2;

namespace {

struct Sink final : HandleSink {
  void drop(Handle) noexcept override {}
};

int g_handles[16];

// A connection after its handshake, with streams that received DATA the
// application has not read yet.
struct Peer {
  explicit Peer(Role role) : core(config(role)) {
    EXPECT_TRUE(core.begin());
    core.pending.clear();
  }
  static ConnConfig config(Role role) {
    ConnConfig c;
    c.role = role;
    return c;
  }

  ConnCore core;
  Sink sink;
  std::vector<Aborted> aborted;

  // Our stream `sid` (client: a request with its response head received;
  // server: a request that is still sending its body).
  void open(uint32_t sid) {
    HeadersIn h;
    h.stream_id = sid;
    h.pseudo = true;
    if (core.state.is_server()) {
      Handle spare = &g_handles[sid % 16];
      ASSERT_TRUE(core.recv_headers(h, spare, sink));
      return;
    }
    core.state.set_next_stream_id(sid);
    ASSERT_TRUE(core.state.try_claim_slot());
    OutHead head;
    std::string_view scheme = "http", authority = "a.test";
    ASSERT_TRUE(build_request_head("POST", "/", &scheme, &authority, head));
    auto id = core.open_stream(head, nullptr, nullptr, false, false, &g_handles[sid % 16]);
    ASSERT_TRUE(id && *id == sid);
    h.status = 200;
    ASSERT_TRUE(core.recv_headers(h, spare_none, sink));
  }
  // `frames` DATA frames of `len` octets each on `sid`, none read.
  void receive(uint32_t sid, uint32_t len, int frames = 1) {
    for (int i = 0; i < frames; ++i) {
      auto v = core.recv_data(DataIn{sid, false, len, len, 0}, sink);
      ASSERT_TRUE(v) << v.error().message();
    }
  }
  uint64_t unreleased() {
    uint64_t n = 0;
    core.state.streams().for_each([&](StreamRecord& r) { n += r.recv_unreleased; });
    return n;
  }
  // What the application returns once it read every chunk it was given.
  void release_all(uint32_t sid, uint32_t n) {
    ASSERT_TRUE(core.release_capacity(sid, n, sink));
  }
  // Every received octet is unreleased on a record or back in the window.
  void expect_accounted() {
    EXPECT_EQ(int64_t(core.state.conn_recv_flow().available()) + int64_t(unreleased()), int64_t(kDefaultWindow));
    EXPECT_EQ(core.state.data_frame_budget().available() + charged(), core.state.data_frame_budget().limit());
  }
  uint64_t charged() {
    uint64_t n = 0;
    core.state.streams().for_each([&](StreamRecord& r) { n += r.data_budget_charged; });
    return n;
  }
  // WINDOW_UPDATE(0) increments queued since the last call.
  uint64_t connection_updates() {
    Receiver r;
    RecvBatch batch;
    EXPECT_TRUE(r.receive(core.pending, batch));
    core.pending.clear();
    uint64_t n = 0;
    for (const Event& e : batch.events)
      if (auto* w = std::get_if<WindowUpdateEvent>(&e); w && w->stream_id == 0) n += w->increment;
    return n;
  }
  Handle spare_none = nullptr;
};

}  // namespace

// The server promised to finish stream 1; stream 3 filled the whole
// connection window and was never read when the GOAWAY aborted it.
TEST(ConnRecv, AGoAwayAbortGivesTheUnreadOctetsBackToTheConnection) {
  Peer c(Role::client);
  c.open(1);
  c.open(3);
  c.receive(3, 16383, 3);
  c.receive(3, 16286);
  c.receive(3, 100);  // a small chunk: charged to the DATA-frame budget
  ASSERT_EQ(c.core.state.conn_recv_flow().available(), 0);
  ASSERT_GT(c.charged(), 0u);
  (void)c.connection_updates();
  auto flags = c.core.recv_goaway(1, 0, c.aborted, c.sink);
  ASSERT_TRUE(flags);
  ASSERT_EQ(c.aborted.size(), 1u);
  EXPECT_FALSE(c.core.state.streams().find(3));
  c.expect_accounted();
  EXPECT_EQ(c.core.state.conn_recv_flow().available(), int32_t(kDefaultWindow));
  EXPECT_EQ(c.connection_updates(), uint64_t(kDefaultWindow));
  EXPECT_EQ(*flags & kFlagWake, uint32_t(kFlagWake));
  // A late release for the gone stream gives nothing a second time.
  c.release_all(3, 65535);
  c.expect_accounted();
  // Stream 1 can still receive its whole window.
  c.receive(1, 16384, 3);
  c.receive(1, 16383);
  c.release_all(1, 65535);
  c.expect_accounted();
}

// Every other way a stream ends with octets unread, in either role: a reset
// either way, a reset after a refused frame, the reader closing early, the
// response finishing before the request body was read, the peer's GOAWAY
// (which aborts nothing on a server), a graceful shutdown and the writers
// released. Each keeps every octet accounted for, and a release after the
// end gives nothing twice.
TEST(ConnRecv, EveryWayAStreamEndsKeepsItsOctetsAccountedForOnce) {
  for (Role role : {Role::client, Role::server}) {
    enum Way { peer_reset, our_reset, error_reset, aclose, aclose_after_end, response_done, goaway, shutdown };
    for (Way way : {peer_reset, our_reset, error_reset, aclose, aclose_after_end, response_done, goaway, shutdown}) {
      SCOPED_TRACE(testing::Message() << (role == Role::server ? "server" : "client") << " way " << int(way));
      if (way == response_done && role == Role::client) continue;
      Peer p(role);
      p.open(1);
      p.open(3);
      p.receive(3, 1000, 2);
      p.receive(1, 100);
      switch (way) {
        case peer_reset: ASSERT_TRUE(p.core.recv_reset(3, 8, p.sink)); break;
        case our_reset: ASSERT_TRUE(p.core.reset_stream(3, 8, Initiator::user, p.sink)); break;
        case error_reset: ASSERT_TRUE(p.core.reset_on_error(3, 1, p.sink)); break;
        case aclose: ASSERT_TRUE(p.core.aclose_body(3, p.sink)); break;
        case aclose_after_end:
          ASSERT_TRUE(p.core.recv_data(DataIn{3, true, 10, 10, 0}, p.sink));
          ASSERT_TRUE(p.core.aclose_body(3, p.sink));
          break;
        case response_done: {
          OutHead head;
          ASSERT_TRUE(build_response_head(200, head));
          ASSERT_TRUE(p.core.send_response_head(3, head, nullptr, nullptr, "", true, p.sink));
          break;
        }
        case goaway: {
          ASSERT_TRUE(p.core.recv_goaway(1, 0, p.aborted, p.sink));
          break;
        }
        case shutdown:
          if (role == Role::server) {
            ASSERT_TRUE(p.core.begin_graceful_shutdown());
            ASSERT_TRUE(p.core.recv_ping(true, kShutdownPing));
          } else {
            ASSERT_TRUE(p.core.send_goaway(0));
          }
          (void)p.core.release_writers();
          p.core.stop_pump();
          break;
      }
      p.expect_accounted();
      // The application reads what it was given, late or not.
      p.release_all(3, 2010);
      p.release_all(1, 100);
      p.expect_accounted();
      EXPECT_EQ(p.core.state.conn_recv_flow().available(), int32_t(kDefaultWindow));
    }
  }
}

// A failed connection has no window left to give back to: its streams go,
// octets and all, and nothing is queued.
TEST(ConnRecv, AFailedConnectionDropsWhatItsStreamsHeld) {
  Peer c(Role::client);
  c.open(1);
  c.receive(1, 1000);
  (void)c.connection_updates();
  c.core.fail("gone", c.aborted, c.sink);
  EXPECT_EQ(c.aborted.size(), 1u);
  EXPECT_EQ(c.core.state.streams().size(), 0u);
  EXPECT_EQ(c.connection_updates(), 0u);
}

// Once the peer ended its side, a HEADERS or DATA on the stream is a frame on
// a half-closed stream: STREAM_CLOSED, whatever the frame carries, before any
// rule about its content (pseudo-headers in trailers, a missing END_STREAM).
TEST(ConnRecv, TheStateDecidesBeforeTheContentOnAHalfClosedStream) {
  for (Role role : {Role::server, Role::client}) {
    SCOPED_TRACE(role == Role::server ? "server" : "client");
    struct Frame {
      bool headers, end_stream, pseudo;
    };
    for (Frame f : {Frame{true, true, true}, Frame{true, false, false}, Frame{true, true, false},
                    Frame{false, true, false}, Frame{false, false, false}}) {
      Peer p(role);
      p.open(1);
      // The peer ends its side: the request, or the final response.
      if (role == Role::server) {
        ASSERT_TRUE(p.core.recv_data(DataIn{1, true, 0, 0, 0}, p.sink));
      } else {
        ASSERT_TRUE(p.core.recv_data(DataIn{1, true, 5, 5, 0}, p.sink));
        p.release_all(1, 5);
      }
      ASSERT_TRUE(p.core.state.streams().find(1));
      ASSERT_FALSE(p.core.state.streams().find(1)->state.is_closed());
      HeadersIn h;
      h.stream_id = 1;
      h.end_stream = f.end_stream;
      h.pseudo = f.pseudo;
      h.status = f.pseudo && role == Role::client ? 200 : 0;
      Handle spare = nullptr;
      auto err = f.headers ? p.core.recv_headers(h, spare, p.sink).error()
                           : p.core.recv_data(DataIn{1, f.end_stream, 7, 7, 0}, p.sink).error();
      EXPECT_EQ(err, Error::stream(1, uint32_t(ErrorCode::stream_closed), Initiator::library));
      // A DATA frame nobody reads still gave its octets back to the connection.
      p.expect_accounted();
      EXPECT_EQ(p.core.state.conn_recv_flow().available(), int32_t(kDefaultWindow));
      ASSERT_TRUE(p.core.reset_on_error(1, uint32_t(ErrorCode::stream_closed), p.sink));
    }
  }
  // A stream still open to the peer keeps the content rules: trailers
  // without END_STREAM, or with a pseudo-header, are malformed.
  Peer s(Role::server);
  s.open(1);
  HeadersIn h;
  h.stream_id = 1;
  h.end_stream = true;
  h.pseudo = true;
  Handle spare = nullptr;
  EXPECT_EQ(s.core.recv_headers(h, spare, s.sink).error(),
            Error::stream(1, uint32_t(ErrorCode::protocol_error), Initiator::library));
}
