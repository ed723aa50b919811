// Concurrency of the per-object primitives; run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "proto/http/header_map.h"
#include "proto/sync.h"

#ifdef VELMORA_MIMALLOC
#include <mimalloc.h>
#endif

using namespace velmora;

TEST(OnceLatch, ExactlyOneWinnerAcrossThreads) {
  for (int round = 0; round < 50; ++round) {
    OnceLatch latch;
    std::atomic<int> winners{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> ts;
    for (int i = 0; i < 8; ++i)
      ts.emplace_back([&] {
        while (!go.load()) {
        }
        if (latch.try_acquire()) winners.fetch_add(1);
        EXPECT_TRUE(latch.is_set());
      });
    EXPECT_FALSE(latch.is_set());
    go = true;
    for (auto& t : ts) t.join();
    ASSERT_EQ(winners.load(), 1);
    EXPECT_FALSE(latch.try_acquire());
  }
}

TEST(GuardedHeaderMap, CrossEqualityFinishesAndIsRaceFree) {
  Guarded<http::HeaderMap> a, b;
  a.with([](http::HeaderMap& m) { (void)m.append("x", "1"); });
  b.with([](http::HeaderMap& m) { (void)m.append("x", "1"); });
  std::atomic<int> equal{0};
  auto compare = [&](Guarded<http::HeaderMap>& l, Guarded<http::HeaderMap>& r, bool mutate) {
    for (int i = 0; i < 5000; ++i) {
      if (with_both(l, r, [](const http::HeaderMap& x, const http::HeaderMap& y) { return x == y; }))
        equal.fetch_add(1);
      if (mutate && i % 10 == 0)
        l.with([&](http::HeaderMap& m) { (void)m.replace("x", i % 20 ? "1" : "2"); });
    }
  };
  std::thread t1(compare, std::ref(a), std::ref(b), true);
  std::thread t2(compare, std::ref(b), std::ref(a), true);
  std::thread t3(compare, std::ref(a), std::ref(a), false);  // a map with itself
  t1.join();
  t2.join();
  t3.join();
  EXPECT_GE(equal.load(), 5000);
}

#ifdef VELMORA_MIMALLOC
TEST(Allocator, CoreAllocationsComeFromMimalloc) {
  auto* m = new http::HeaderMap;
  ASSERT_TRUE(m->append("content-type", std::string(200, 'x')));
  EXPECT_TRUE(mi_is_in_heap_region(m));
  std::string s(1000, 'y');
  EXPECT_TRUE(mi_is_in_heap_region(s.data()));
  delete m;
}
#endif
