// The client connection state's transitions raced from many threads (run
// under TSan by tools/dev sanitize): the transport is handed out exactly
// once, the exchange slot is held by one sender at a time, and no handle is
// dropped under the lock. The single-threaded edge cases are exercised from
// Python (tests/python/test_h1_conn.py).
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

// A request the codec did not frame to its end closes the connection even
// when the writer reported done and the response allows keep-alive: the
// server would read the next request as the rest of this body.
TEST_F(ClientStateTest, RequestCutShortIsNotReused) {
  struct Case {
    const char* name;
    BodyLength length;
    void (*frame)(Codec&);
    bool reused;
  };
  const Case cases[] = {
      {"length, no body", {BodyLength::known, 5}, [](Codec&) {}, false},
      {"length, ended short", {BodyLength::known, 5}, [](Codec& c) { c.plan_data(2); EXPECT_FALSE(c.end_body().has_value()); }, false},
      {"chunked, no last chunk", {BodyLength::unknown, 0}, [](Codec& c) { c.plan_data(2); }, false},
      {"length, trailers end it short", {BodyLength::known, 5},
       [](Codec& c) { EXPECT_FALSE(c.end_body_with_trailers(http::HeaderMap()).has_value()); }, false},
      {"no body", {BodyLength::none, 0}, [](Codec&) {}, true},
      {"length, sent", {BodyLength::known, 5}, [](Codec& c) { c.plan_data(5); }, true},
      {"chunked, ended", {BodyLength::unknown, 0}, [](Codec& c) { c.plan_data(2); EXPECT_TRUE(c.end_body().has_value()); }, true},
      {"one buffer", {BodyLength::known, 2}, [](Codec& c) { EXPECT_TRUE(c.plan_message(10, "ab", nullptr).has_value()); }, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Guarded<Codec> c{Codec()};
    TH t = obj("t");
    Locked<Client> s(&c, TestPolicy::share(t));
    ASSERT_TRUE(s([](Client& x) { return x.try_begin_exchange(); }));
    Result<RequestEncoding> req = prepare_request("POST", "http://h/", {}, false, k.length, false);
    ASSERT_TRUE(req.has_value());
    c.with([&](Codec& x) {
      x.commit_request(*req);
      k.frame(x);
    });
    s([](Client& x) { x.writer_done(); });
    auto f = s([](Client& x) { return x.finish_exchange(true); });
    EXPECT_EQ(f.reuse, k.reused);
    EXPECT_EQ(f.fully_sent, k.reused);
    EXPECT_EQ(f.transport.is(t), !k.reused);
  }
  // No request recorded at all: nothing to reuse the connection after.
  st([](Client& x) { return x.try_begin_exchange(); });
  st([](Client& x) { x.writer_done(); });
  EXPECT_FALSE(st([](Client& x) { return x.finish_exchange(true); }).reuse);
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
