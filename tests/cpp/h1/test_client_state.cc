// The client connection state: claims taken once, the reuse decision, the
// transport handed back exactly once, the idle watcher's verdicts and
// hand-off, and the same transitions raced from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "proto/h1/client_state.h"
#include "tests/cpp/h1/conn_harness.h"

namespace velmora::h1 {
namespace {

using namespace velmora::h1::testing;
using Client = ClientState<TestPolicy>;

struct Fixture : ::testing::Test {
  Guarded<Codec> codec{Codec()};
  TH transport = obj("transport");
  Locked<Client> st{&codec, TestPolicy::share(transport)};

  void SetUp() override { g_dropped_under_lock = 0; }
  void TearDown() override { EXPECT_EQ(g_dropped_under_lock.load(), 0) << "a handle was dropped under the lock"; }
};

using ClientStateTest = Fixture;

TEST_F(ClientStateTest, ExchangeSlotIsClaimedAndReleasedOnce) {
  // The claim starts the codec's next message: a recorded request method
  // from the last exchange must not frame the next response.
  codec.with([](Codec& c) {
    RequestEncoding req;
    http::UriError ue;
    ASSERT_EQ(prepare_request("HEAD", "/", {}, false, {}, false, req, ue), RequestFail::none);
    c.commit_request(req);
    c.feed("HTTP/1.1 200 OK\r\n");  // early bytes of the next response stay
  });
  EXPECT_TRUE(st([](Client& s) { return s.try_begin_exchange(); }));
  EXPECT_FALSE(st([](Client& s) { return s.try_begin_exchange(); }));
  codec.with([](Codec& c) {
    EXPECT_FALSE(c.recorded_method().has_value());
    EXPECT_EQ(c.buffered(), 17u);
  });
  EXPECT_TRUE(st([](Client& s) { return s.end_exchange(); }));
  EXPECT_FALSE(st([](Client& s) { return s.end_exchange(); }));
  EXPECT_TRUE(st([](Client& s) { return s.try_begin_exchange(); }));
}

TEST_F(ClientStateTest, ReuseNeedsKeepAliveAndTheWholeBody) {
  st([](Client& s) { return s.try_begin_exchange(); });
  st([](Client& s) { s.writer_done(); });
  auto r = st([](Client& s) { return s.finish_exchange(true); });
  EXPECT_TRUE(r.reuse);
  EXPECT_TRUE(r.fully_sent);
  EXPECT_FALSE(r.transport);
  EXPECT_FALSE(st([](Client& s) { return s.closed(); }));

  // A new exchange forgets the previous writer's verdict.
  st([](Client& s) { s.end_exchange(); });
  st([](Client& s) { return s.try_begin_exchange(); });
  auto r2 = st([](Client& s) { return s.finish_exchange(true); });
  EXPECT_FALSE(r2.reuse);
  EXPECT_FALSE(r2.fully_sent);
  EXPECT_TRUE(r2.transport.is(transport));
  EXPECT_TRUE(st([](Client& s) { return s.closed(); }));

  // Keep-alive refused by the response closes even after a complete upload.
  Guarded<Codec> c2{Codec()};
  Locked<Client> st2(&c2, obj("t2"));
  st2([](Client& s) { s.writer_done(); });
  auto r3 = st2([](Client& s) { return s.finish_exchange(false); });
  EXPECT_FALSE(r3.reuse);
  EXPECT_TRUE(r3.fully_sent);
  EXPECT_EQ(r3.transport.name(), "t2");
}

TEST_F(ClientStateTest, FirstErrorWinsAndTheTransportComesBackOnce) {
  TH e1 = obj("e1");
  auto f1 = st([&](Client& s) { return s.fail(TestPolicy::share(e1)); });
  EXPECT_TRUE(f1.transport.is(transport));
  auto f2 = st([](Client& s) { return s.fail(obj("e2")); });
  EXPECT_FALSE(f2.transport);
  EXPECT_EQ(f2.dropped.name(), "e2");
  EXPECT_TRUE(st([](Client& s) { return s.error(); }).is(e1));
  EXPECT_FALSE(st([](Client& s) { return s.close_now(); }));
  EXPECT_FALSE(st([](Client& s) { return s.mark_closed(); }).transport);
  EXPECT_FALSE(st([](Client& s) { return s.begin_send(); }).transport);
  EXPECT_TRUE(st([](Client& s) { return s.is_dead(); }));
}

TEST_F(ClientStateTest, UpgradedTransportIsNeverReturnedAgain) {
  EXPECT_TRUE(st([](Client& s) { return s.upgrade(); }).is(transport));
  EXPECT_TRUE(st([](Client& s) { return s.upgraded(); }));
  EXPECT_FALSE(st([](Client& s) { return s.close_now(); }));
  EXPECT_FALSE(st([](Client& s) { return s.fail(obj("e")); }).transport);
  EXPECT_FALSE(st([](Client& s) { return s.mark_closed(); }).transport);
  EXPECT_FALSE(st([](Client& s) { return s.transport_ref(); }));
  EXPECT_FALSE(st([](Client& s) { return s.finish_exchange(false); }).transport);
}

TEST_F(ClientStateTest, IdleWatcherVerdicts) {
  // EOF while idle: closed in the same step, the transport handed back.
  TH done = obj("done");
  EXPECT_TRUE(st([&](Client& s) { return s.arm_watcher(TestPolicy::share(done)); }).armed);
  EXPECT_TRUE(st([](Client& s) { return s.begin_send(); }).watcher_done.is(done));
  auto w = st([](Client& s) { return s.watcher_completed(bytes(""), TH()); });
  EXPECT_EQ(w.verdict, WatchVerdict::idle_eof);
  EXPECT_TRUE(w.transport.is(transport));
  EXPECT_TRUE(st([](Client& s) { return s.closed(); }));

  // An idle error after a racing close is ignored, not reported for failing.
  auto e = st([](Client& s) { return s.watcher_completed(no_bytes(), obj("err")); });
  EXPECT_EQ(e.verdict, WatchVerdict::ignored);
  EXPECT_EQ(e.dropped_error.name(), "err");

  // Stray bytes while idle poison (the caller fails); the state stays open.
  Guarded<Codec> c2{Codec()};
  Locked<Client> s2(&c2, obj("t2"));
  s2([](Client& s) { return s.arm_watcher(obj("d")); });
  auto b = s2([](Client& s) { return s.watcher_completed(bytes("HTTP/1.1 408"), TH()); });
  EXPECT_EQ(b.verdict, WatchVerdict::idle_bytes);
  EXPECT_FALSE(b.transport);
  auto ie = s2([](Client& s) { return s.watcher_completed(no_bytes(), obj("x")); });
  EXPECT_EQ(ie.verdict, WatchVerdict::idle_error);

  // No slot at all.
  Locked<Client> s3(&c2, obj("t3"));
  EXPECT_EQ(s3([](Client& s) { return s.watcher_completed(bytes("z"), TH()); }).verdict, WatchVerdict::ignored);
}

TEST_F(ClientStateTest, ReadDuringAnExchangeIsHandedOff) {
  st([](Client& s) { return s.arm_watcher(obj("done")); });
  st([](Client& s) { return s.store_watcher_handle(obj("task")); });
  st([](Client& s) { return s.try_begin_exchange(); });
  st([](Client& s) { s.exchange_started(); });
  // Not completed yet: nothing is handed off and the slot stays, so the read
  // that is still in flight is not lost.
  auto early = st([](Client& s) { return s.take_watcher_handoff(); });
  EXPECT_FALSE(early.handle);
  EXPECT_TRUE(st([](Client& s) { return s.has_watcher(); }));

  auto w = st([](Client& s) { return s.watcher_completed(bytes(""), TH()); });
  EXPECT_EQ(w.verdict, WatchVerdict::handoff);
  EXPECT_FALSE(w.transport);
  EXPECT_FALSE(st([](Client& s) { return s.closed(); }));
  auto h = st([](Client& s) { return s.take_watcher_handoff(); });
  EXPECT_EQ(h.handle.name(), "task");
  ASSERT_TRUE(h.data);
  EXPECT_EQ(h.data->bytes, "");
  EXPECT_FALSE(h.error);
  EXPECT_FALSE(st([](Client& s) { return s.has_watcher(); }));
}

TEST_F(ClientStateTest, WatcherResultKeepsAnUnjoinedHandle) {
  st([](Client& s) { return s.arm_watcher(obj("done")); });
  st([](Client& s) { return s.store_watcher_handle(obj("task")); });
  st([](Client& s) { s.exchange_started(); });
  st([](Client& s) { return s.watcher_completed(bytes("HTTP/1.1 200 OK\r\n"), TH()); });
  auto r = st([](Client& s) { return s.take_watcher_result(); });
  EXPECT_EQ(r.data->bytes, "HTTP/1.1 200 OK\r\n");
  EXPECT_TRUE(st([](Client& s) { return s.has_watcher(); }));  // the handle waits for close()
  EXPECT_EQ(st([](Client& s) { return s.take_watcher_handle(); }).name(), "task");
  st([](Client& s) { return s.take_watcher_result(); });
  EXPECT_FALSE(st([](Client& s) { return s.has_watcher(); }));
}

TEST_F(ClientStateTest, ArmAndStoreRefusals) {
  // A completed slot not yet consumed blocks a second watcher.
  EXPECT_TRUE(st([](Client& s) { return s.arm_watcher(obj("d1")); }).armed);
  auto again = st([](Client& s) { return s.arm_watcher(obj("d2")); });
  EXPECT_FALSE(again.armed);
  EXPECT_EQ(again.refused.name(), "d2");
  EXPECT_FALSE(st([](Client& s) { return s.store_watcher_handle(obj("h1")); }));
  EXPECT_EQ(st([](Client& s) { return s.store_watcher_handle(obj("h2")); }).name(), "h2");

  auto c = st([](Client& s) { return s.mark_closed(); });
  EXPECT_TRUE(c.transport.is(transport));
  EXPECT_EQ(c.watcher_done.name(), "d1");
  EXPECT_TRUE(c.idle);
  EXPECT_TRUE(st([](Client& s) { return s.has_watcher(); }));  // kept for close() to join
  EXPECT_EQ(st([](Client& s) { return s.store_watcher_handle(obj("h3")); }).name(), "h3");

  Guarded<Codec> c2{Codec()};
  Locked<Client> failed(&c2, obj("t"));
  failed([](Client& s) { return s.fail(obj("e")); });
  EXPECT_FALSE(failed([](Client& s) { return s.arm_watcher(obj("d")); }).armed);

  // A writer stored on a closed connection is handed back for the exchange
  // to tear down.
  EXPECT_EQ(st([](Client& s) { return s.store_writer(obj("w")); }).refused.name(), "w");
}

// Every closing transition raced against the others: the transport is handed
// out exactly once, and nothing is dropped under the lock.
TEST_F(ClientStateTest, RacedClosesHandTheTransportOutOnce) {
  for (int round = 0; round < 200; ++round) {
    Guarded<Codec> c{Codec()};
    Locked<Client> s(&c, obj("t"));
    s([](Client& x) { return x.arm_watcher(obj("d")); });
    std::atomic<int> handed{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 6; ++k)
      threads.emplace_back([&, k] {
        TH t;
        switch (k) {
          case 0: t = s([](Client& x) { return x.fail(obj("e")); }).transport; break;
          case 1: t = s([](Client& x) { return x.close_now(); }); break;
          case 2: t = s([](Client& x) { return x.mark_closed(); }).transport; break;
          case 3: t = s([](Client& x) { return x.upgrade(); }); break;
          case 4: t = s([](Client& x) { return x.watcher_completed(bytes(""), TH()); }).transport; break;
          case 5: t = s([](Client& x) { return x.finish_exchange(false); }).transport; break;
        }
        if (t) ++handed;
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(handed.load(), 1);
    EXPECT_TRUE(s([](Client& x) { return x.closed(); }));
  }
}

// Concurrent senders contend for the slot: one holds it at a time.
TEST_F(ClientStateTest, RacedClaimsHoldTheSlotOneAtATime) {
  std::atomic<int> holders{0}, overlaps{0}, done{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k)
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        while (!st([](Client& s) { return s.try_begin_exchange(); })) std::this_thread::yield();
        if (holders.fetch_add(1) != 0) ++overlaps;
        st([](Client& s) { s.exchange_started(); });
        holders.fetch_sub(1);
        EXPECT_TRUE(st([](Client& s) { return s.end_exchange(); }));
        ++done;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(done.load(), 2000);
}

}  // namespace
}  // namespace velmora::h1
