// Flow-control windows, content-length tracking and the DATA-frame budget at
// their bounds.
#include <gtest/gtest.h>

#include "proto/h2/content_length.h"
#include "proto/h2/data_budget.h"
#include "proto/h2/flow.h"

using namespace velmora::h2;

namespace {

bool flow_error(const Result<void>& r) { return !r && r.error().kind == ErrorKind::flow_control; }

}  // namespace

TEST(FlowControl, WindowOverflowAndUnderflowAreRefusedWithoutPartialUpdates) {
  FlowControl f;
  ASSERT_TRUE(f.inc_window(2147483647));
  EXPECT_TRUE(flow_error(f.inc_window(1)));
  EXPECT_EQ(f.window(), 2147483647);

  FlowControl g;
  EXPECT_TRUE(flow_error(g.inc_window(2147483648u)));  // refused at once, even from 0
  EXPECT_TRUE(flow_error(g.assign_capacity(0x80000000u)));
  EXPECT_EQ(g, FlowControl());

  // Down to exactly -2^31 is allowed; one more is not.
  FlowControl h;
  ASSERT_TRUE(h.dec_send_window(2147483647));
  ASSERT_TRUE(h.dec_send_window(1));
  EXPECT_EQ(h.window(), INT32_MIN);
  EXPECT_TRUE(flow_error(h.dec_send_window(1)));

  // dec_recv_window moves both fields or neither.
  FlowControl k(0, -2147483647);
  EXPECT_TRUE(flow_error(k.dec_recv_window(2)));
  EXPECT_EQ(k, FlowControl(0, -2147483647));
  EXPECT_TRUE(flow_error(k.claim_capacity(2)));
}

TEST(FlowControl, SendDataRespectsTheWindowAndANegativeWindowCountsAsZero) {
  FlowControl f(100, 100);
  EXPECT_TRUE(flow_error(f.send_data(101)));
  EXPECT_EQ(f, FlowControl(100, 100));
  ASSERT_TRUE(f.send_data(100));
  EXPECT_EQ(f, FlowControl(0, 0));

  FlowControl neg(-5, 10);
  EXPECT_TRUE(neg.send_data(0));
  EXPECT_TRUE(flow_error(neg.send_data(1)));
  EXPECT_EQ(neg.window_size(), 0u);
  EXPECT_EQ(neg, FlowControl(-5, 10));

  // Window still open but the accounted capacity would underflow.
  FlowControl g(10, INT32_MIN + 5);
  EXPECT_TRUE(flow_error(g.send_data(10)));
  EXPECT_EQ(g, FlowControl(10, INT32_MIN + 5));
}

TEST(FlowControl, WindowUpdatesAreBatchedAtHalfTheWindow) {
  FlowControl f(65535, 65535 + 32767);
  EXPECT_EQ(f.unclaimed_capacity(), 32767u);
  FlowControl g(65535, 65535 + 32766);
  EXPECT_EQ(g.unclaimed_capacity(), std::nullopt);
  EXPECT_EQ(FlowControl(10, 10).unclaimed_capacity(), std::nullopt);
  EXPECT_EQ(FlowControl(-10, 1).unclaimed_capacity(), 11u);  // a negative window asks for no minimum

  // release(): what comes back once it reaches half the window.
  FlowControl r(65535, 65535);
  ASSERT_TRUE(r.send_data(40000));  // 25535 / 25535
  auto a = r.release(12766);        // unclaimed 12766 < 12767
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, 0u);
  auto b = r.release(1);
  ASSERT_TRUE(b);
  EXPECT_EQ(*b, 12767u);
  EXPECT_EQ(r, FlowControl(38302, 38302));
}

TEST(FlowControl, ReleaseRaisesTheWindowByTheUnclaimedCapacity) {
  FlowControl r(65535, 65535);
  ASSERT_TRUE(r.send_data(65535));  // window and available both 0
  auto a = r.release(10);
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, 10u);  // half of a zero window is reached at once
  EXPECT_EQ(r, FlowControl(10, 10));

  FlowControl big(1000, 1000);
  ASSERT_TRUE(big.send_data(600));  // 400 / 400
  auto b = big.release(199);        // unclaimed 199 < 200
  ASSERT_TRUE(b);
  EXPECT_EQ(*b, 0u);
  auto c = big.release(1);          // 200 >= 200
  ASSERT_TRUE(c);
  EXPECT_EQ(*c, 200u);
  EXPECT_EQ(big, FlowControl(600, 600));

  FlowControl top(kMaxWindow, kMaxWindow);
  EXPECT_TRUE(!top.release(1));  // available would pass 2^31 - 1
  EXPECT_EQ(top, FlowControl(kMaxWindow, kMaxWindow));
}

TEST(ContentLength, DeclaredLengthsAndHeadAnswers) {
  ContentLength head(true);
  head.set(10);
  EXPECT_TRUE(head.is_head());
  EXPECT_TRUE(head.dec(0));
  EXPECT_FALSE(head.dec(1));
  EXPECT_TRUE(head.is_satisfied());

  ContentLength n;
  EXPECT_TRUE(n.dec(1u << 30));  // no length declared: anything goes
  n.set(5);
  EXPECT_TRUE(n.dec(3));
  EXPECT_FALSE(n.is_satisfied());
  EXPECT_FALSE(n.dec(3));  // more than remains: refused, count kept
  EXPECT_EQ(n.remaining(), 2u);
  EXPECT_TRUE(n.dec(2));
  EXPECT_TRUE(n.is_satisfied());
  EXPECT_FALSE(n.dec(1));

  ContentLength huge;
  huge.set(UINT64_MAX);
  EXPECT_TRUE(huge.dec(UINT64_MAX));
  EXPECT_TRUE(huge.is_satisfied());
}

TEST(DataFrameBudget, LimitFollowsTheConnectionWindow) {
  EXPECT_EQ(DataFrameBudget().limit(), 32767u);
  EXPECT_EQ(DataFrameBudget(std::nullopt, 65535).available(), 32767u);
  EXPECT_EQ(DataFrameBudget(std::nullopt, 1048576).available(), 524288u);
  EXPECT_EQ(DataFrameBudget(std::nullopt, 40000).available(), 25600u);
  EXPECT_EQ(DataFrameBudget(7, 1048576).available(), 7u);

  DataFrameBudget zero(0);
  EXPECT_FALSE(zero.record(1));
  EXPECT_TRUE(zero.record(300));  // a large frame has no charge
}

TEST(DataFrameBudget, SmallFramesExhaustItLargeFramesEarnItBack) {
  DataFrameBudget b(25600);
  for (int i = 0; i < 101; ++i) {
    auto c = b.record(5);
    ASSERT_TRUE(c) << i;
    EXPECT_EQ(*c, 251u);
  }
  EXPECT_EQ(b.available(), 249u);
  auto fail = b.record(5);
  ASSERT_FALSE(fail);
  EXPECT_EQ(fail.error(), Error::protocol(11, ConnFailure::too_many_data_frames));
  EXPECT_EQ(fail.error().message(), "too_many_data_frames");
  EXPECT_EQ(b.available(), 249u);

  ASSERT_TRUE(b.record(16384));
  EXPECT_EQ(b.available(), 249u + 16128u);
  b.release(UINT64_MAX);  // saturates at the limit
  EXPECT_EQ(b.available(), 25600u);
  ASSERT_TRUE(b.record(1u << 20));  // earning never passes the limit either
  EXPECT_EQ(b.available(), 25600u);
  EXPECT_EQ(DataFrameBudget::charge_of(255), 1u);
  EXPECT_EQ(DataFrameBudget::charge_of(256), 0u);
}

TEST(DataFrameBudget, EmptyFramesHaveTheirOwnLifetimeCap) {
  DataFrameBudget b(0);  // empty frames never touch the budget
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(b.record(0)) << i;
  EXPECT_EQ(b.empty_frames(), 100u);
  EXPECT_FALSE(b.record(0));
  EXPECT_EQ(b.empty_frames(), 101u);  // the refused frame was received too
  b.release(1000);
  EXPECT_FALSE(b.record(0));  // releases do not restore the allowance
}
