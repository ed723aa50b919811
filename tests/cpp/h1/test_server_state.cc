// The server connection state: where the serve loop stands, sequence numbers
// and stale calls, bytes past a body kept in wire order, the head-read
// deadline, graceful shutdown, continue before head, reuse and switch
// decisions, the mid-message watcher and detach, and races of the
// transitions that decide who closes.
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
  Server::Respond respond(uint64_t seq, uint16_t status, http::HeaderMap h = {}, TH done = TH(),
                          BodyLength len = {BodyLength::known, 0}, bool want = false) {
    return st([&](Server& s) {
      return s.respond_head(seq, Server::HeadArgs{status, std::move(h), len, want}, std::move(done));
    });
  }
  std::string head_text(const Server::Respond& r) { return encode_response(r.enc, r.plan); }
};

TEST_F(ServerStateTest, FreshStateReadsFromTheTransportOrFindsNone) {
  Server::Read r = begin();
  EXPECT_EQ(r.code, ReadCode::read_transport);
  EXPECT_TRUE(r.obj.is(transport));
  EXPECT_FALSE(st([](Server& s) { return s.watcher_parked(); }));

  Locked<Server> none(&codec, TH(), true, false);
  EXPECT_EQ(none([](Server& s) { return s.begin_read(T0); }).code, ReadCode::read_eof);
}

TEST_F(ServerStateTest, HeadsGetSequenceNumbersAndStaleCallsChangeNothing) {
  begin();
  Server::Accepted partial = accept("GET / HTTP/1.1\r\nHo");
  EXPECT_EQ(partial.status, Server::Accept::none);
  EXPECT_TRUE(partial.dropped);  // the unused fresh decoder comes back to be dropped
  Server::Accepted a = accept("st: a\r\n\r\n");
  ASSERT_EQ(a.status, Server::Accept::head);
  EXPECT_EQ(a.seq, 1u);
  EXPECT_EQ(a.head.target, "/");
  EXPECT_TRUE(st([](Server& s) { return s.current_decoder(); }).is(a.decoder));

  EXPECT_EQ(begin().code, ReadCode::next_raise);  // unanswered
  for (uint64_t stale : {uint64_t(0), uint64_t(2)}) {
    EXPECT_EQ(respond(stale, 200).code, ReqCode::stale);
    EXPECT_FALSE(st([&](Server& s) { return s.try_send_continue(stale); }));
    EXPECT_FALSE(st([&](Server& s) { return s.finish_response(stale); }).transport);
    EXPECT_FALSE(st([&](Server& s) { return s.fail_response(stale); }));
    EXPECT_EQ(st([&](Server& s) { return s.detach(stale); }).code, ReqCode::stale);
    EXPECT_EQ(st([&](Server& s) { return s.peer_closed_now(stale); }), std::optional<bool>(false));
  }
  EXPECT_FALSE(st([](Server& s) { return s.responded(); }));
  EXPECT_FALSE(st([](Server& s) { return s.closed(); }));

  Server::Respond r = respond(1, 200);
  ASSERT_EQ(r.code, ReqCode::ok);
  EXPECT_TRUE(r.transport.is(transport));
  EXPECT_EQ(head_text(r), "HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n");
  EXPECT_FALSE(st([](Server& s) { return s.finish_response(1); }).close);
  Server::Read next = begin();
  EXPECT_EQ(next.code, ReadCode::read_transport);
  EXPECT_EQ(next.dropped.name(), "decoder");  // the first request's, dropped after unlocking
  EXPECT_FALSE(st([](Server& s) { return s.current_decoder(); }));
  Server::Accepted b = accept("GET /2 HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(b.seq, 2u);
}

TEST_F(ServerStateTest, UnreadBodyIsDrainedOrClosed) {
  Server::Accepted a = serve("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\n");
  EXPECT_EQ(respond(a.seq, 200).code, ReqCode::ok);
  st([&](Server& s) { return s.finish_response(a.seq); });
  EXPECT_EQ(begin().code, ReadCode::next_drain);
  auto closed = st([](Server& s) { return s.drain_done(false, T0); });
  EXPECT_EQ(closed.code, ReadCode::next_close);
  EXPECT_TRUE(closed.obj.is(transport));
  EXPECT_TRUE(st([](Server& s) { return s.closed(); }));

  // A drain that reaches the end positions at the next head, and bytes
  // pipelined behind the body are parsed next, in order.
  Guarded<Codec> c2{Codec()};
  Locked<Server> s2(&c2, obj("t2"), true, false);
  s2([](Server& s) { return s.begin_read(T0); });
  auto b = s2([](Server& s) {
    return s.accept_head("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhel", decoder_obj());
  });
  s2([&](Server& s) { return s.respond_head(b.seq, {200, {}, {BodyLength::known, 0}, false}, TH()); });
  s2([&](Server& s) { return s.finish_response(b.seq); });
  EXPECT_EQ(s2([](Server& s) { return s.begin_read(T0); }).code, ReadCode::next_drain);
  EXPECT_EQ(read_body(b.decoder, "loGET /n HTTP/1.1\r\nHost: a\r\n\r\n"), "hello");
  auto ready = s2([](Server& s) { return s.drain_done(true, T0); });
  EXPECT_EQ(ready.code, ReadCode::read_parse);
  auto next = s2([](Server& s) { return s.accept_head("", decoder_obj()); });
  ASSERT_EQ(next.status, Server::Accept::head);
  EXPECT_EQ(next.head.target, "/n");

  // A body reader parked on the transport makes the body undrainable.
  Guarded<Codec> c3{Codec()};
  Locked<Server> s3(&c3, obj("t3"), true, false);
  s3([](Server& s) { return s.begin_read(T0); });
  auto c = s3([](Server& s) {
    return s.accept_head("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\n", decoder_obj());
  });
  EXPECT_TRUE(s3([&](Server& s) { return s.begin_body_read(c.seq); }));
  EXPECT_FALSE(s3([&](Server& s) { return s.begin_body_read(c.seq); }));  // one reader
  s3([&](Server& s) { return s.respond_head(c.seq, {200, {}, {BodyLength::known, 0}, false}, TH()); });
  s3([&](Server& s) { return s.finish_response(c.seq); });
  auto r = s3([](Server& s) { return s.begin_read(T0); });
  EXPECT_EQ(r.code, ReadCode::next_close);
  EXPECT_EQ(r.obj.name(), "t3");
}

TEST_F(ServerStateTest, PipelinedRequestAfterACompleteBodyIsParsedNext) {
  Server::Accepted a = serve("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nokGET /b HTTP/1.1\r\nHost: a\r\n\r\n");
  // The second request's bytes went into the decoder with the body.
  EXPECT_EQ(read_body(a.decoder), "ok");
  st([&](Server& s) { s.end_body_read(a.seq, true); });
  respond(a.seq, 204);
  st([&](Server& s) { return s.finish_response(a.seq); });
  EXPECT_EQ(begin().code, ReadCode::read_parse);
  Server::Accepted b = accept("");
  ASSERT_EQ(b.status, Server::Accept::head);
  EXPECT_EQ(b.head.target, "/b");
  EXPECT_EQ(b.seq, 2u);
}

TEST_F(ServerStateTest, GracefulShutdown) {
  // Nothing parked: nothing to wake; the loop ends after the current response.
  EXPECT_FALSE(st([](Server& s) { return s.request_shutdown(); }));
  EXPECT_EQ(begin().code, ReadCode::next_none);

  // An idle read parked on the transport is ended by closing it.
  Guarded<Codec> c2{Codec()};
  Locked<Server> s2(&c2, obj("t2"), true, false);
  EXPECT_EQ(s2([](Server& s) { return s.begin_read(T0); }).code, ReadCode::read_transport);
  EXPECT_EQ(s2([](Server& s) { return s.request_shutdown(); }).name(), "t2");
  EXPECT_TRUE(s2([](Server& s) { return s.unpark_idle_read(); }));
  auto late = s2([](Server& s) { return s.accept_head("GET / HTTP/1.1\r\n\r\n", decoder_obj()); });
  EXPECT_EQ(late.status, Server::Accept::none);
  c2.with([](Codec& c) { EXPECT_EQ(c.buffered(), 0u); });  // the dropped request was never parsed

  // Shutdown while a body is drained: the drain completes into the shutdown verdict.
  Guarded<Codec> c3{Codec()};
  Locked<Server> s3(&c3, obj("t3"), true, false);
  s3([](Server& s) { return s.begin_read(T0); });
  auto a = s3([](Server& s) {
    return s.accept_head("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\n\r\n", decoder_obj());
  });
  auto r = s3([&](Server& s) { return s.respond_head(a.seq, {200, {}, {BodyLength::known, 0}, false}, TH()); });
  EXPECT_EQ(encode_response(r.enc, r.plan).find("connection: close"), std::string::npos);
  s3([&](Server& s) { return s.finish_response(a.seq); });
  EXPECT_EQ(s3([](Server& s) { return s.begin_read(T0); }).code, ReadCode::next_drain);
  EXPECT_FALSE(s3([](Server& s) { return s.request_shutdown(); }));
  EXPECT_EQ(s3([](Server& s) { return s.drain_done(true, T0); }).code, ReadCode::read_shutdown);
}

TEST_F(ServerStateTest, ShutdownTurnsOffKeepAliveOfTheResponseInFlight) {
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  st([](Server& s) { return s.request_shutdown(); });
  Server::Respond r = respond(a.seq, 200);
  EXPECT_NE(head_text(r).find("connection: close\r\n"), std::string::npos);
  auto f = st([&](Server& s) { return s.finish_response(a.seq); });
  EXPECT_TRUE(f.close);
  EXPECT_TRUE(f.transport.is(transport));
}

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

TEST_F(ServerStateTest, ContinueIsNeverOvertakenByTheHead) {
  Server::Accepted a = serve("PUT / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n");
  EXPECT_TRUE(st([&](Server& s) { return s.try_send_continue(a.seq); }));
  EXPECT_FALSE(st([&](Server& s) { return s.try_send_continue(a.seq); }));
  EXPECT_EQ(respond(a.seq, 200).code, ReqCode::continue_wait);
  Server::Respond r = respond(a.seq, 200);
  EXPECT_EQ(r.code, ReqCode::ok);
  EXPECT_FALSE(head_text(r).empty());
  EXPECT_EQ(respond(a.seq, 200).code, ReqCode::already);

  // A claimed head leaves no room for a continue; HTTP/1.0 never gets one.
  Guarded<Codec> c2{Codec()};
  Locked<Server> s2(&c2, obj("t2"), true, false);
  s2([](Server& s) { return s.begin_read(T0); });
  auto b = s2([](Server& s) {
    return s.accept_head("PUT / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n",
                         decoder_obj());
  });
  s2([&](Server& s) { return s.respond_head(b.seq, {417, {}, {BodyLength::known, 0}, false}, TH()); });
  EXPECT_FALSE(s2([&](Server& s) { return s.try_send_continue(b.seq); }));
  Guarded<Codec> c3{Codec()};
  Locked<Server> s3(&c3, obj("t3"), true, false);
  s3([](Server& s) { return s.begin_read(T0); });
  auto c = s3([](Server& s) {
    return s.accept_head("PUT / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n", decoder_obj());
  });
  EXPECT_FALSE(s3([&](Server& s) { return s.try_send_continue(c.seq); }));
}

TEST_F(ServerStateTest, EncoderRefusalKeepsTheClaim) {
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  Server::Respond r = respond(a.seq, 102);  // a 1xx other than 101
  EXPECT_EQ(r.code, ReqCode::ok);
  EXPECT_FALSE(r.plan.ok);
  EXPECT_FALSE(r.transport);
  EXPECT_EQ(respond(a.seq, 200).code, ReqCode::already);
}

TEST_F(ServerStateTest, SwitchHandsOverTheTransportWithEveryByteReadPast) {
  Server::Accepted a = serve("GET /ws HTTP/1.1\r\nHost: a\r\nConnection: upgrade\r\nUpgrade: echo\r\n\r\nearly");
  ASSERT_TRUE(a.head.upgrade);
  http::HeaderMap h;
  ASSERT_TRUE(h.append("upgrade", "echo"));
  ASSERT_TRUE(h.append("connection", "upgrade"));
  EXPECT_EQ(respond(a.seq, 101, std::move(h), TH(), {}).code, ReqCode::ok);
  auto f = st([&](Server& s) { return s.finish_response(a.seq); });
  EXPECT_TRUE(f.switched);
  EXPECT_FALSE(f.close);
  EXPECT_TRUE(f.transport.is(transport));
  ASSERT_TRUE(f.leftover.has_value());
  EXPECT_EQ(*f.leftover, "early");
  EXPECT_TRUE(st([](Server& s) { return s.upgraded(); }));
  EXPECT_FALSE(st([](Server& s) { return s.mark_closed(); }).transport);

  // 101 without an upgrade request does not switch.
  Guarded<Codec> c2{Codec()};
  Locked<Server> s2(&c2, obj("t2"), true, false);
  s2([](Server& s) { return s.begin_read(T0); });
  auto b = s2([](Server& s) { return s.accept_head("GET / HTTP/1.1\r\nHost: a\r\n\r\n", decoder_obj()); });
  s2([&](Server& s) { return s.respond_head(b.seq, {101, {}, {}, false}, TH()); });
  EXPECT_FALSE(s2([&](Server& s) { return s.finish_response(b.seq); }).switched);
}

TEST_F(ServerStateTest, ConnectSwitchesOnlyOn2xx) {
  for (uint16_t status : {uint16_t(200), uint16_t(300)}) {
    Guarded<Codec> c{Codec()};
    Locked<Server> s(&c, obj("t"), true, false);
    s([](Server& x) { return x.begin_read(T0); });
    auto a = s([](Server& x) { return x.accept_head("CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n", decoder_obj()); });
    ASSERT_EQ(a.status, Server::Accept::head);
    s([&](Server& x) { return x.respond_head(a.seq, {status, {}, {}, false}, TH()); });
    auto f = s([&](Server& x) { return x.finish_response(a.seq); });
    EXPECT_EQ(f.switched, status == 200) << status;
  }
}

TEST_F(ServerStateTest, ReuseDecisions) {
  // Connection: close from the client.
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
  respond(a.seq, 200);
  auto f = st([&](Server& s) { return s.finish_response(a.seq); });
  EXPECT_TRUE(f.close);
  EXPECT_TRUE(f.transport.is(transport));

  // A close-delimited body to an HTTP/1.0 client.
  Guarded<Codec> c2{Codec()};
  Locked<Server> s2(&c2, obj("t2"), true, false);
  s2([](Server& s) { return s.begin_read(T0); });
  auto b = s2([](Server& s) {
    return s.accept_head("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", decoder_obj());
  });
  s2([&](Server& s) { return s.respond_head(b.seq, {200, {}, {BodyLength::unknown, 0}, false}, TH()); });
  EXPECT_TRUE(s2([&](Server& s) { return s.finish_response(b.seq); }).close);

  // Keep-alive off on the server side.
  Guarded<Codec> c3{Codec()};
  Locked<Server> s3(&c3, obj("t3"), false, false);
  s3([](Server& s) { return s.begin_read(T0); });
  auto c = s3([](Server& s) { return s.accept_head("GET / HTTP/1.1\r\nHost: a\r\n\r\n", decoder_obj()); });
  s3([&](Server& s) { return s.respond_head(c.seq, {200, {}, {BodyLength::known, 0}, false}, TH()); });
  EXPECT_TRUE(s3([&](Server& s) { return s.finish_response(c.seq); }).close);
}

TEST_F(ServerStateTest, MidMessageWatcherNoticesAClientGoingAway) {
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  Server::Respond r = respond(a.seq, 200, {}, obj("done"), {BodyLength::known, 5}, true);
  EXPECT_TRUE(r.armed);
  EXPECT_FALSE(r.unused);
  EXPECT_TRUE(st([](Server& s) { return s.watcher_parked(); }));
  EXPECT_EQ(st([&](Server& s) { return s.peer_closed_now(a.seq); }), std::nullopt);
  EXPECT_FALSE(st([](Server& s) { return s.store_watcher_handle(obj("task")); }));
  EXPECT_EQ(st([&](Server& s) { return s.detach(a.seq); }).code, ReqCode::already);

  auto w = st([](Server& s) { return s.watcher_completed(bytes(""), TH()); });
  EXPECT_TRUE(w.peer_gone);
  EXPECT_FALSE(st([](Server& s) { return s.reusable(); }));
  EXPECT_TRUE(st([&](Server& s) { return s.peer_closed_flag(a.seq); }));
  EXPECT_TRUE(st([&](Server& s) { return s.close_window(a.seq); }));
  EXPECT_FALSE(st([&](Server& s) { return s.close_window(a.seq); }));
  EXPECT_EQ(st([&](Server& s) { return s.peer_closed_now(a.seq); }), std::optional<bool>(true));
  EXPECT_FALSE(st([](Server& s) { return s.watcher_completed(bytes(""), TH()); }).peer_gone);
}

TEST_F(ServerStateTest, PeerClosedBeforeTheHeadIsAnswered) {
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_TRUE(st([&](Server& s) { return s.arm_watcher(a.seq, obj("d"), true, false); }).armed);
  EXPECT_TRUE(st([](Server& s) { return s.watcher_completed(no_bytes(), obj("reset")); }).peer_gone);
  EXPECT_EQ(respond(a.seq, 200).code, ReqCode::peer_closed);
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

TEST_F(ServerStateTest, DetachTakesEveryByteInWireOrder) {
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_TRUE(st([&](Server& s) { return s.arm_watcher(a.seq, obj("d"), true, false); }).armed);
  EXPECT_EQ(st([&](Server& s) { return s.detach(a.seq); }).code, ReqCode::parked);
  st([](Server& s) { return s.watcher_completed(bytes("abc"), TH()); });
  codec.with([](Codec& c) { c.feed("xy"); });
  auto d = st([&](Server& s) { return s.detach(a.seq); });
  EXPECT_EQ(d.code, ReqCode::ok);
  EXPECT_TRUE(d.transport.is(transport));
  ASSERT_TRUE(d.leftover);
  EXPECT_EQ(*d.leftover, "xyabc");
  EXPECT_EQ(d.dropped->bytes, "abc");
  EXPECT_TRUE(st([](Server& s) { return s.upgraded(); }));
  EXPECT_FALSE(st([](Server& s) { return s.fail_read(); }));
}

TEST_F(ServerStateTest, WatcherReadBecomesTheNextHeadsRead) {
  Server::Accepted a = serve("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  respond(a.seq, 200, {}, obj("done"), {BodyLength::known, 0}, true);
  st([](Server& s) { return s.store_watcher_handle(obj("task")); });
  st([&](Server& s) { return s.finish_response(a.seq); });
  st([&](Server& s) { return s.close_window(a.seq); });
  // A parked read is not taken from under the watcher.
  EXPECT_FALSE(st([](Server& s) { return s.take_watcher_result(); }).data);
  EXPECT_TRUE(st([](Server& s) { return s.has_watcher(); }));
  Server::Read r = begin();
  EXPECT_EQ(r.code, ReadCode::read_watcher);
  EXPECT_EQ(r.obj.name(), "done");
  // Bytes after the response was done do not count as the client going away.
  EXPECT_FALSE(st([](Server& s) { return s.watcher_completed(bytes("GET /2 HTTP/1.1\r\nHost: a\r\n\r\n"), TH()); })
                   .peer_gone);
  EXPECT_EQ(st([](Server& s) { return s.take_watcher_handle(); }).name(), "task");
  auto res = st([](Server& s) { return s.take_watcher_result(); });
  ASSERT_TRUE(res.data);
  EXPECT_FALSE(st([](Server& s) { return s.has_watcher(); }));
  auto b = accept(res.data->bytes);
  ASSERT_EQ(b.status, Server::Accept::head);
  EXPECT_EQ(b.head.target, "/2");
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
