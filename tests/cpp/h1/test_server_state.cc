// The server connection state: the head-read deadline on a controlled clock,
// the arm decision's handling of bytes read past a body, and the transitions
// that decide who closes, who claims the continue and whether the client went
// away, raced from many threads (run under TSan by tools/dev sanitize). The
// single-threaded edge cases are exercised from Python
// (tests/python/test_h1_conn.py).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "proto/h1/server_state.h"
#include "tests/cpp/h1/conn_harness.h"

namespace velmora::h1 {
namespace {

using namespace velmora::h1::testing;
using namespace std::chrono_literals;
using Server = ServerState<TestPolicy>;

const MonoClock::time_point T0 = MonoClock::now();

struct ServerStateTest : ::testing::Test {
  Guarded<Codec> codec{Codec(CodecOptions{.date_header = false})};
  TH transport = obj("transport");
  Locked<Server> st{&codec, TestPolicy::share(transport), true, false};

  void SetUp() override { g_dropped_under_lock = 0; }
  void TearDown() override { EXPECT_EQ(g_dropped_under_lock.load(), 0) << "a handle was dropped under the lock"; }

  Server::Read begin(MonoClock::time_point now = T0) {
    return st([&](Server& s) { return s.begin_read(now); });
  }
  Server::Accepted accept(std::string_view data) {
    return st([&](Server& s) { return s.accept_head(data, decoder_obj()); });
  }
  // Begins a read, accepts one request from `data` and returns it.
  Server::Accepted serve(std::string_view data) {
    Server::Read r = begin();
    EXPECT_TRUE(r.code == ReadCode::read_transport || r.code == ReadCode::read_parse) << int(r.code);
    Server::Accepted a = accept(data);
    EXPECT_EQ(a.status, Server::Accept::head);
    return a;
  }
};

TEST_F(ServerStateTest, HeadReadDeadline) {
  EXPECT_EQ(begin(T0).code, ReadCode::read_transport);
  auto early = st([](Server& s) { return s.head_read_overdue(5.0, T0 + 100ms); });
  EXPECT_FALSE(early.expired);
  ASSERT_TRUE(early.remaining.has_value());
  EXPECT_NEAR(*early.remaining, 4.9, 1e-6);
  // A partial head keeps the clock running.
  accept("GET / HTTP/1.1\r\n");
  auto late = st([](Server& s) { return s.head_read_overdue(5.0, T0 + 5s); });
  EXPECT_TRUE(late.expired);
  EXPECT_TRUE(late.transport.is(transport));
  EXPECT_TRUE(st([](Server& s) { return s.closed(); }));
  auto again = st([](Server& s) { return s.head_read_overdue(5.0, T0 + 6s); });
  EXPECT_FALSE(again.expired);
  EXPECT_FALSE(again.remaining);
  EXPECT_FALSE(again.transport);

  // No head being read (a request in flight): nothing to enforce.
  Guarded<Codec> c2{Codec()};
  Locked<Server> s2(&c2, obj("t2"), true, false);
  s2([](Server& s) { return s.begin_read(T0); });
  s2([](Server& s) { return s.accept_head("GET / HTTP/1.1\r\n\r\n", decoder_obj()); });
  auto idle = s2([](Server& s) { return s.head_read_overdue(1.0, T0 + 1h); });
  EXPECT_FALSE(idle.expired);
  EXPECT_FALSE(idle.remaining);
}

TEST_F(ServerStateTest, ArmDecision) {
  // half_close never arms.
  Guarded<Codec> c1{Codec()};
  Locked<Server> half(&c1, obj("t"), true, true);
  half([](Server& s) { return s.begin_read(T0); });
  auto h = half([](Server& s) { return s.accept_head("GET / HTTP/1.1\r\nHost: a\r\n\r\n", decoder_obj()); });
  auto ha = half([&](Server& s) { return s.arm_watcher(h.seq, obj("d"), true, true); });
  EXPECT_FALSE(ha.armed);
  EXPECT_EQ(ha.unused.name(), "d");

  // The body not read to its end: no watcher (the reader owns the transport).
  Server::Accepted a = serve("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nab");
  EXPECT_FALSE(st([&](Server& s) { return s.arm_watcher(a.seq, obj("d"), true, false); }).armed);
  // Read to its end with bytes of the next request behind it: they go back to
  // the codec and nothing is armed (they are the next head, not a close).
  EXPECT_EQ(read_body(a.decoder, "cGET"), "abc");
  st([&](Server& s) { s.end_body_read(a.seq, true); });
  EXPECT_FALSE(st([&](Server& s) { return s.arm_watcher(a.seq, obj("d"), true, false); }).armed);
  codec.with([](Codec& c) { EXPECT_EQ(c.buffered(), 3u); });

  // An upgrade request: only once the switch is known not to happen.
  Guarded<Codec> c2{Codec()};
  Locked<Server> up(&c2, obj("t2"), true, false);
  up([](Server& s) { return s.begin_read(T0); });
  auto u = up([](Server& s) {
    return s.accept_head("GET / HTTP/1.1\r\nHost: a\r\nConnection: upgrade\r\nUpgrade: x\r\n\r\n", decoder_obj());
  });
  EXPECT_FALSE(up([&](Server& s) { return s.arm_watcher(u.seq, obj("d"), true, false); }).armed);
  EXPECT_TRUE(up([&](Server& s) { return s.arm_watcher(u.seq, obj("d"), true, true); }).armed);
}

// A response the codec did not frame to its end never lets the connection
// carry another one, whatever the driver does next; one framed in full does.
TEST_F(ServerStateTest, ResponseCutShortClosesTheConnection) {
  struct Case {
    const char* name;
    BodyLength length;
    void (*frame)(Codec&);
    bool reused;
  };
  const Case cases[] = {
      {"length, no body", {BodyLength::known, 5}, [](Codec&) {}, false},
      {"length, part of the body", {BodyLength::known, 5}, [](Codec& c) { c.plan_data(3); }, false},
      // serialize_end refuses the short body and still takes the encoder out.
      {"length, ended short", {BodyLength::known, 5}, [](Codec& c) { c.plan_data(3); EXPECT_FALSE(c.end_body().has_value()); }, false},
      {"chunked, no last chunk", {BodyLength::unknown, 0}, [](Codec& c) { c.plan_data(4); }, false},
      {"length, all of it, no end", {BodyLength::known, 5}, [](Codec& c) { c.plan_data(5); }, true},
      {"length, ended", {BodyLength::known, 5}, [](Codec& c) { c.plan_data(5); EXPECT_TRUE(c.end_body().has_value()); }, true},
      {"chunked, ended", {BodyLength::unknown, 0}, [](Codec& c) { c.plan_data(4); EXPECT_TRUE(c.end_body().has_value()); }, true},
      {"empty", {BodyLength::known, 0}, [](Codec&) {}, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Guarded<Codec> c{Codec()};
    TH t = obj("t");
    Locked<Server> s(&c, TestPolicy::share(t), true, false);
    s([](Server& x) { return x.begin_read(T0); });
    auto a = s([](Server& x) { return x.accept_head("GET / HTTP/1.1\r\nHost: a\r\n\r\n", decoder_obj()); });
    auto r = s([&](Server& x) { return x.respond_head(a.seq, {200, {}, k.length, false}, TH()); });
    ASSERT_EQ(r.code, ReqCode::ok);
    c.with(k.frame);
    auto f = s([&](Server& x) { return x.finish_response(a.seq); });
    EXPECT_EQ(f.close, !k.reused);
    EXPECT_EQ(f.transport.is(t), !k.reused);
    EXPECT_EQ(s([](Server& x) { return x.begin_read(T0); }).code,
              k.reused ? ReadCode::read_transport : ReadCode::next_none);
  }

  // A claim whose head the encoder refused wrote nothing: no reuse either.
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  auto r = st([&](Server& s) { return s.respond_head(a.seq, {102, {}, {BodyLength::known, 0}, false}, TH()); });
  ASSERT_EQ(r.code, ReqCode::ok);
  EXPECT_FALSE(r.head.has_value());
  EXPECT_TRUE(st([&](Server& s) { return s.finish_response(a.seq); }).transport.is(transport));
}

// A connection marked unusable before the head says so in the head: the
// client learns the connection ends with this response.
TEST_F(ServerStateTest, UnusableBeforeTheHeadSendsConnectionClose) {
  Server::Accepted a = serve("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n\r\n");
  st([](Server& s) { s.mark_unusable(); });
  auto r = st([&](Server& s) { return s.respond_head(a.seq, {413, {}, {BodyLength::known, 0}, false}, TH()); });
  ASSERT_EQ(r.code, ReqCode::ok);
  ASSERT_TRUE(r.head.has_value());
  const std::string head = encode_response(r.head->res, r.head->plan);
  EXPECT_NE(head.find("\r\nconnection: close\r\n"), std::string::npos) << head;
  EXPECT_TRUE(r.head->plan.is_last);
  EXPECT_TRUE(st([&](Server& s) { return s.finish_response(a.seq); }).close);
}

// The closing transitions raced: the transport is handed out exactly once.
TEST_F(ServerStateTest, RacedClosesHandTheTransportOutOnce) {
  for (int round = 0; round < 200; ++round) {
    Guarded<Codec> c{Codec()};
    Locked<Server> s(&c, obj("t"), true, false);
    s([](Server& x) { return x.begin_read(T0); });
    std::atomic<int> handed{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 6; ++k)
      threads.emplace_back([&, k] {
        TH t;
        switch (k) {
          case 0: t = s([](Server& x) { return x.request_shutdown(); }); break;
          case 1: t = s([](Server& x) { return x.head_read_overdue(0.0, T0 + 1s); }).transport; break;
          case 2: t = s([](Server& x) { return x.fail_read(); }); break;
          case 3: t = s([](Server& x) { return x.mark_closed(); }).transport; break;
          case 4: {
            auto a = s([](Server& x) { return x.accept_head("GET / HTTP/1.1\r\nHost: a\r\n\r\n", decoder_obj()); });
            if (a.status == Server::Accept::head) t = s([&](Server& x) { return x.fail_response(a.seq); });
            break;
          }
          case 5: {
            auto r = s([](Server& x) { return x.begin_read(T0); });
            if (r.code == ReadCode::next_close) t = std::move(r.obj);
            break;
          }
        }
        if (t) ++handed;
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(handed.load(), 1);
  }
}

// The body reader and the responder race for the continue: when the reader
// wins, the head waits for it; when the head wins, no continue is written.
TEST_F(ServerStateTest, RacedContinueAndHead) {
  for (int round = 0; round < 300; ++round) {
    Guarded<Codec> c{Codec()};
    Locked<Server> s(&c, obj("t"), true, false);
    s([](Server& x) { return x.begin_read(T0); });
    auto a = s([](Server& x) {
      return x.accept_head("PUT / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n",
                           decoder_obj());
    });
    std::atomic<bool> continued{false};
    ReqCode first = ReqCode::stale;
    std::thread reader([&] { continued = s([&](Server& x) { return x.try_send_continue(a.seq); }); });
    std::thread responder([&] {
      first = s([&](Server& x) { return x.respond_head(a.seq, {200, {}, {BodyLength::known, 0}, false}, TH()); }).code;
    });
    reader.join();
    responder.join();
    EXPECT_EQ(first, continued ? ReqCode::continue_wait : ReqCode::ok);
    if (continued) {
      EXPECT_EQ(s([&](Server& x) { return x.respond_head(a.seq, {200, {}, {BodyLength::known, 0}, false}, TH()); }).code,
                ReqCode::ok);
    }
  }
}

// The watcher reports a close while the response ends: either the peer
// closed inside the window (and the connection is not reused), or the window
// had already ended and the close is left to the next read.
TEST_F(ServerStateTest, RacedWatcherAndWindow) {
  for (int round = 0; round < 300; ++round) {
    Guarded<Codec> c{Codec()};
    Locked<Server> s(&c, obj("t"), true, false);
    s([](Server& x) { return x.begin_read(T0); });
    auto a = s([](Server& x) { return x.accept_head("GET / HTTP/1.1\r\nHost: a\r\n\r\n", decoder_obj()); });
    auto r = s([&](Server& x) { return x.respond_head(a.seq, {200, {}, {BodyLength::known, 0}, true}, obj("d")); });
    ASSERT_TRUE(r.armed);
    std::atomic<bool> gone{false}, flipped{false};
    std::thread watcher([&] { gone = s([](Server& x) { return x.watcher_completed(bytes(""), TH()); }).peer_gone; });
    std::thread responder([&] { flipped = s([&](Server& x) { return x.close_window(a.seq); }); });
    watcher.join();
    responder.join();
    EXPECT_TRUE(flipped.load());
    EXPECT_EQ(s([&](Server& x) { return x.peer_closed_flag(a.seq); }), gone.load());
    if (gone) {
      EXPECT_FALSE(s([](Server& x) { return x.reusable(); }));
    }
  }
}

}  // namespace
}  // namespace velmora::h1
