// The connection core: the stream index, the reset store, ids and slots, and
// the closing steps; the state raced from many threads under one lock.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "proto/h2/conn_state.h"

using namespace velmora;
using namespace velmora::h2;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

namespace {

struct Sink : HandleSink {
  std::vector<Handle> dropped;
  void drop(Handle h) noexcept override { dropped.push_back(h); }
};

struct Frames : FrameQueue {
  std::vector<std::pair<uint32_t, uint32_t>> updates, rsts, goaways;
  void window_update(uint32_t id, uint32_t inc) override { updates.emplace_back(id, inc); }
  void rst_stream(uint32_t id, uint32_t code) override { rsts.emplace_back(id, code); }
  void goaway(uint32_t last, uint32_t code) override { goaways.emplace_back(last, code); }
};

// The connection object's arrangement: the state behind its lock.
struct LockedConn {
  std::mutex mu;
  ConnState state{ConnConfig{}};
  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard<std::mutex> g(mu);
    return f(state);
  }
};

Handle handle(uintptr_t n) { return reinterpret_cast<Handle>(n); }

ConnConfig client() { return ConnConfig{}; }
ConnConfig server() {
  ConnConfig c;
  c.role = Role::server;
  return c;
}

// Opens one of our streams through the whole sequence a caller runs.
uint32_t open(ConnState& s, bool end_stream = false, Handle h = nullptr) {
  EXPECT_TRUE(s.try_claim_slot());
  auto check = s.check_open();
  EXPECT_TRUE(check && *check == ConnState::OpenCheck::proceed);
  return s.commit_open(end_stream, false, h).id;
}

}  // namespace

TEST(IdMap, MatchesAReferenceMapThroughGrowthAndBackwardShiftDeletes) {
  IdMap<uint32_t> m;
  std::unordered_map<uint32_t, uint32_t> ref;
  std::mt19937 rng(7);
  for (int step = 0; step < 200000; ++step) {
    // A small key range so that probe runs collide, wrap and shift often.
    // Id 0 (never inserted: it marks empty slots) is looked up and erased too.
    uint32_t id = rng() % 301;
    switch (rng() % 3) {
      case 0: {
        if (id == 0) break;
        auto [p, inserted] = m.insert(id, uint32_t(step));
        auto [it, ref_inserted] = ref.emplace(id, uint32_t(step));
        ASSERT_EQ(inserted, ref_inserted);
        ASSERT_EQ(*p, it->second);
        break;
      }
      case 1:
        ASSERT_EQ(m.erase(id), ref.erase(id) == 1);
        break;
      default: {
        uint32_t* p = m.find(id);
        auto it = ref.find(id);
        ASSERT_EQ(p != nullptr, it != ref.end());
        if (p) {
          ASSERT_EQ(*p, it->second);
        }
      }
    }
    ASSERT_EQ(m.size(), ref.size());
  }
  size_t seen = 0;
  m.for_each([&](uint32_t id, uint32_t v) {
    ++seen;
    EXPECT_EQ(ref.at(id), v);
  });
  EXPECT_EQ(seen, ref.size());
}

TEST(ResetStore, EntriesExpireAfterMoreThanOneSecond) {
  ResetStore r;
  Clock::time_point t0{};
  ASSERT_TRUE(r.remember_ours(1, 8, Initiator::user, t0));
  EXPECT_NE(r.find_live(1, t0 + ResetStore::kTtl), nullptr);  // exactly 1 s: still live
  EXPECT_TRUE(r.holds(1));
  EXPECT_EQ(r.find_live(1, t0 + ResetStore::kTtl + nanoseconds(1)), nullptr);
  EXPECT_FALSE(r.holds(1));  // the lookup dropped it

  ASSERT_TRUE(r.remember_ours(3, 8, Initiator::user, t0));
  EXPECT_TRUE(r.holds(3));  // expired but not yet dropped: bare membership still counts
  ASSERT_TRUE(r.remember_ours(5, 8, Initiator::user, t0 + milliseconds(1500)));
  EXPECT_FALSE(r.holds(3));  // an insertion drops expired entries first
  EXPECT_EQ(r.size(), 1u);
}

TEST(ResetStore, HoldsAtMostFiftyUntilEntriesExpire) {
  ResetStore r;
  Clock::time_point t0{};
  for (uint32_t i = 0; i < 50; ++i) ASSERT_TRUE(r.remember_ours(1 + 2 * i, 8, Initiator::user, t0 + milliseconds(i)));
  EXPECT_FALSE(r.remember_ours(101, 8, Initiator::user, t0 + milliseconds(60)));
  EXPECT_EQ(r.size(), 50u);
  EXPECT_TRUE(r.remember_ours(1, 2, Initiator::library, t0 + milliseconds(60)));  // present: reason updated
  EXPECT_EQ(r.find_live(1, t0 + milliseconds(60))->reason, 2u);

  // The first ten expire: ten new entries fit, the eleventh does not.
  Clock::time_point later = t0 + ResetStore::kTtl + milliseconds(10);
  for (uint32_t i = 0; i < 10; ++i) ASSERT_TRUE(r.remember_ours(201 + 2 * i, 8, Initiator::user, later)) << i;
  EXPECT_FALSE(r.remember_ours(301, 8, Initiator::user, later));

  // An entry dropped at a lookup and inserted again does not block expiry.
  ResetStore q;
  ASSERT_TRUE(q.remember_ours(7, 8, Initiator::user, t0));
  EXPECT_EQ(q.find_live(7, t0 + milliseconds(1001)), nullptr);
  ASSERT_TRUE(q.remember_ours(7, 8, Initiator::user, t0 + milliseconds(1002)));
  for (uint32_t i = 0; i < 49; ++i) ASSERT_TRUE(q.remember_ours(9 + 2 * i, 8, Initiator::user, t0 + milliseconds(1002)));
  EXPECT_EQ(q.size(), 50u);
}

TEST(ResetStore, ThePeersResetsKeepTheirReasonWithoutCrowdingOutOurs) {
  ResetStore r;
  Clock::time_point t0{};
  for (uint32_t i = 0; i < 200; ++i) r.remember_peer(1001 + 2 * i, 8, t0);
  EXPECT_EQ(r.peer_size(), ResetStore::kCap);
  ASSERT_NE(r.peer_reset(1001), nullptr);
  EXPECT_EQ(r.peer_reset(1001)->reason, 8u);
  EXPECT_EQ(r.peer_reset(1001)->initiator, Initiator::remote);
  EXPECT_TRUE(r.remember_ours(1, 8, Initiator::user, t0));
  EXPECT_FALSE(r.reset_by_us(1001));  // the peer's resets are not ours
}

TEST(ResetStore, TheIdSetRemembersEveryIdWeResetAsRuns) {
  ResetStore r;
  Clock::time_point t0{};
  std::set<uint32_t> ref;
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    uint32_t id = 1 + rng() % 4000;  // both parities, in any order
    r.remember_ours(id, 8, Initiator::library, t0);
    ref.insert(id);
    if (i % 97 == 0) {
      for (uint32_t probe = 1; probe <= 4001; ++probe) ASSERT_EQ(r.reset_by_us(probe), ref.count(probe) == 1) << probe;
    }
  }
  // A client cancelling a run of its own streams costs one range.
  ResetStore run;
  for (uint32_t id = 1; id < 4001; id += 2) run.remember_ours(id, 8, Initiator::user, t0);
  EXPECT_EQ(run.ranges(), 1u);
  EXPECT_TRUE(run.reset_by_us(3999));
  EXPECT_FALSE(run.reset_by_us(4001));
  EXPECT_FALSE(run.reset_by_us(2));

  // Bounded: past the range cap the lowest ids are forgotten first.
  ResetStore sparse;
  for (uint32_t i = 0; i < ResetStore::kMaxRanges + 10; ++i) sparse.remember_ours(1 + 4 * i, 8, Initiator::user, t0);
  EXPECT_EQ(sparse.ranges(), ResetStore::kMaxRanges);
  EXPECT_FALSE(sparse.reset_by_us(1));
  EXPECT_TRUE(sparse.reset_by_us(1 + 4 * (ResetStore::kMaxRanges + 9)));
}

TEST(ConnState, ConfigurationAndHandshakeWindow) {
  ConnConfig c;
  c.max_frame_size = 16383;
  EXPECT_EQ(c.check(), std::unexpected(Error::bad_argument(BadArgument::max_frame_size, c.max_frame_size)));
  c.max_frame_size = 16777216;
  EXPECT_EQ(c.check(), std::unexpected(Error::bad_argument(BadArgument::max_frame_size, c.max_frame_size)));
  c.max_frame_size = 16777215;
  c.connection_window = 2147483648u;
  EXPECT_EQ(c.check(), std::unexpected(Error::bad_argument(BadArgument::window_sizes)));
  c.connection_window = 2147483647;
  EXPECT_TRUE(c.check());

  auto budget = [](uint32_t window) {
    ConnConfig k;
    k.connection_window = window;
    return ConnState(k).data_frame_budget().available();
  };
  EXPECT_EQ(budget(1048576), 524288u);
  EXPECT_EQ(budget(40000), 25600u);

  auto begin = [](uint32_t window) {
    ConnConfig k;
    k.connection_window = window;
    ConnState s(k);
    uint32_t inc = s.raise_connection_window();
    return std::pair(inc, s.conn_recv_flow().available());
  };
  EXPECT_EQ(begin(65535), std::pair(0u, 65535));
  EXPECT_EQ(begin(1048576), std::pair(983041u, 1048576));
  EXPECT_EQ(begin(80000), std::pair(0u, 80000));  // below the threshold: advertised later

  ConnConfig small;
  small.initial_window_size = 1000;  // applies once our SETTINGS is acknowledged
  EXPECT_EQ(ConnState(small).stream_recv_window(), 65535u);
  EXPECT_EQ(ConnState(server()).local_settings().max_concurrent_streams, std::nullopt);
}

TEST(ConnState, SlotsAndIdExhaustion) {
  ConnState s(client());
  s.apply_stream_limit(1);
  EXPECT_TRUE(s.try_claim_slot());
  EXPECT_FALSE(s.try_claim_slot());
  EXPECT_FALSE(s.can_open());
  s.release_slot_count();
  EXPECT_TRUE(s.try_claim_slot());
  s.release_slot_count();
  s.release_slot_count();  // never below 0
  EXPECT_EQ(s.num_open_streams(), 0u);
  s.apply_stream_limit(std::nullopt);

  s.set_next_stream_id(2147483647);
  EXPECT_EQ(open(s), 2147483647u);
  ASSERT_TRUE(s.try_claim_slot());
  auto r = s.check_open();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Error::protocol(7, ConnFailure::stream_ids_exhausted));
  EXPECT_EQ(r.error().message(), "stream ID space exhausted (OverflowedStreamId)");
  EXPECT_EQ(s.num_open_streams(), 1u);  // the failed open gave its slot back
  EXPECT_EQ(s.num_streams(), 1u);

  ConnState g(client());
  g.set_peer_goaway({0, 0});
  ASSERT_TRUE(g.try_claim_slot());
  EXPECT_EQ(g.check_open(), ConnState::OpenCheck::refused);
  EXPECT_EQ(g.num_open_streams(), 0u);
}

TEST(ConnState, AStreamStaysUntilItsCapacityIsBack) {
  ConnState s(client());
  Sink sink;
  Frames out;
  uint32_t id = open(s, false, handle(42));
  StreamRecord* r = s.streams().find(id);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->state.describe(), "Open { local: Streaming, remote: AwaitingHeaders }");
  EXPECT_TRUE(r->holds_slot);
  r->recv_unreleased = 40000;  // delivered to the application, not yet released
  r->data_budget_charged = 251;
  ASSERT_TRUE(s.conn_recv_flow().send_data(40000));
  ASSERT_TRUE(s.data_frame_budget().record(5));

  EXPECT_EQ(s.closed_transition(*r, out, sink), 0u);  // not closed yet: nothing happens
  r->state.set_reset(id, 8, Initiator::user);
  EXPECT_EQ(s.closed_transition(*r, out, sink), uint32_t(kFlagSlotFreed));
  EXPECT_EQ(s.closed_transition(*r, out, sink), 0u);  // once only
  EXPECT_EQ(s.num_streams(), 0u);
  EXPECT_EQ(s.num_open_streams(), 0u);
  ASSERT_NE(s.streams().find(id), nullptr);  // still owed capacity
  EXPECT_TRUE(sink.dropped.empty());

  auto reaped = s.release_closed_capacity(*r, out, sink);
  ASSERT_TRUE(reaped);
  EXPECT_TRUE(*reaped);
  EXPECT_EQ(s.streams().find(id), nullptr);
  EXPECT_EQ(sink.dropped, std::vector<Handle>{handle(42)});
  EXPECT_EQ(out.updates, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 40000}}));
  EXPECT_EQ(s.conn_recv_flow(), FlowControl(65535, 65535));
  EXPECT_EQ(s.data_frame_budget().available(), 32767u);

  // A stream closed with nothing owed is reaped by the transition itself.
  uint32_t done = open(s, true, handle(7));
  StreamRecord* d = s.streams().find(done);
  ASSERT_TRUE(d->state.recv_open(true, false));
  s.closed_transition(*d, out, sink);
  EXPECT_EQ(s.streams().find(done), nullptr);
}

// Steady state: records come back to the free list and are reused in place,
// so a connection that keeps opening and closing streams stops growing.
TEST(ConnState, RecordsAreReusedOnceTheWorkingSetIsReached) {
  ConnState s(client());
  Sink sink;
  Frames out;
  std::set<const StreamRecord*> warm, later;
  auto round = [&](std::set<const StreamRecord*>& seen) {
    std::vector<uint32_t> ids;
    for (int i = 0; i < 8; ++i) ids.push_back(open(s, true));
    for (uint32_t id : ids) {
      StreamRecord* r = s.streams().find(id);
      seen.insert(r);
      ASSERT_TRUE(r->state.recv_open(true, false));
      s.closed_transition(*r, out, sink);
    }
  };
  for (int i = 0; i < 4; ++i) round(warm);
  for (int i = 0; i < 1000; ++i) round(later);
  EXPECT_EQ(warm.size(), 8u);
  EXPECT_EQ(later, warm);
  EXPECT_EQ(s.streams().size(), 0u);
}

TEST(ConnState, PeerStreamIdsAndTheUsedIdCheck) {
  ConnState s(server());
  Sink sink;
  ASSERT_TRUE(s.admit_peer_id(5));
  auto back = s.admit_peer_id(3);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error().message(), "invalid new stream id 3");
  EXPECT_FALSE(s.admit_peer_id(6));
  EXPECT_FALSE(s.admit_peer_id(5));
  StreamRecord& r = s.accept_stream(5, false, handle(1));
  EXPECT_EQ(r.state.describe(), "Open { local: AwaitingHeaders, remote: Streaming }");
  EXPECT_EQ(s.last_processed_id(), 5u);
  EXPECT_TRUE(s.streams().is_pending_accept(5));
  s.accepted(5);
  EXPECT_FALSE(s.streams().is_pending_accept(5));
  EXPECT_TRUE(s.is_used_id(3));
  EXPECT_TRUE(s.is_used_id(5));
  EXPECT_FALSE(s.is_used_id(7));
  EXPECT_FALSE(s.is_used_id(2));

  ConnConfig limited = server();
  limited.max_concurrent_streams = 1;
  ConnState l(limited);
  ASSERT_TRUE(l.admit_peer_id(1));
  l.accept_stream(1, false, nullptr);
  EXPECT_TRUE(l.at_accept_limit());

  ConnState c(client());
  open(c);
  EXPECT_TRUE(c.is_used_id(1));
  EXPECT_FALSE(c.is_used_id(3));
  s.drop_all(sink);
  l.drop_all(sink);
}

// A client that cancels many streams while their responses stream in: the
// DATA the peer sent before it saw each RST_STREAM arrives after the timed
// entries (50, one second) are gone. Answered as STREAM_CLOSED errors, each
// used to count toward the cap on resets a peer makes us send, so the client
// failed its own connection. The echo of our own reset is not counted; a peer
// that sends on streams it closed itself still is.
TEST(ConnState, TheEchoOfOurOwnResetsDoesNotCountTowardTheResetCap) {
  ConnState s(client());
  Sink sink;
  Frames out;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 2000; ++i) {
    uint32_t id = open(s);
    StreamRecord* r = s.streams().find(id);
    ASSERT_TRUE(r->state.recv_open(false, false));  // the response is streaming in
    r->state.set_reset(id, 8, Initiator::user);     // cancelled
    s.resets().remember_ours(id, 8, Initiator::user, s.now());
    s.closed_transition(*r, out, sink);
    ids.push_back(id);
  }
  EXPECT_EQ(s.resets().size(), ResetStore::kCap);
  for (uint32_t id : ids) {
    // DATA in flight on every cancelled stream.
    if (s.streams().find(id) || s.resets().find_live(id, s.now())) continue;  // ignored
    ASSERT_TRUE(s.is_used_id(id));
    ASSERT_TRUE(s.count_local_error_reset(id, uint32_t(ErrorCode::stream_closed))) << id;
  }
  EXPECT_EQ(s.local_error_resets(), 0u);

  // Streams that ended normally: frames on them are the peer's violation.
  ConnState p(client());
  bool failed = false;
  for (int i = 0; i < 1100 && !failed; ++i) {
    uint32_t id = open(p, true);
    StreamRecord* r = p.streams().find(id);
    ASSERT_TRUE(r->state.recv_open(true, false));
    p.closed_transition(*r, out, sink);
    failed = !p.count_local_error_reset(id, uint32_t(ErrorCode::stream_closed));
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(p.local_error_resets(), 1025u);
  // Other violations on a stream we reset still count.
  EXPECT_TRUE(s.count_local_error_reset(ids[0], uint32_t(ErrorCode::protocol_error)));
  EXPECT_EQ(s.local_error_resets(), 1u);
}

TEST(ConnState, GoAwayReplyOnceTheLastStreamIsGone) {
  ConnState s(client());
  Sink sink;
  Frames out;
  uint32_t id = open(s, true);
  s.set_peer_goaway({5, 0});
  EXPECT_EQ(s.maybe_goaway_reply(out), 0u);  // a stream is still active
  EXPECT_EQ(s.describe(), "H2Streams(role=client, streams=1, active=1, failed=false, goaway=true)");
  StreamRecord* r = s.streams().find(id);
  ASSERT_TRUE(r->state.recv_open(true, false));
  EXPECT_EQ(s.closed_transition(*r, out, sink), uint32_t(kFlagSlotFreed | kFlagWake | kFlagConnDone));
  EXPECT_EQ(out.goaways, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}}));
  EXPECT_TRUE(s.failed());
  EXPECT_EQ(s.failure_message(), "connection closed: GOAWAY exchanged");
  EXPECT_EQ(s.describe(), "H2Streams(role=client, streams=0, active=0, failed=true, goaway=true)");
  EXPECT_EQ(s.maybe_goaway_reply(out), 0u);
  EXPECT_FALSE(s.record_failure("later"));  // the first failure wins

  ConnState open_ended(client());
  open_ended.set_peer_goaway({kMaxStreamId, 0});  // the first phase of a graceful shutdown
  EXPECT_EQ(open_ended.maybe_goaway_reply(out), 0u);
}

// Many threads run open, cancel and close steps and slot claims on one
// connection state behind one lock, as senders and the read pump do. Run
// under ThreadSanitizer by `tools/dev sanitize`.
TEST(ConnState, StepsFromManyThreadsUnderOneLock) {
  LockedConn conn;
  conn.with([](ConnState& s) { s.apply_stream_limit(16); });
  constexpr int kThreads = 6, kRounds = 400;
  std::atomic<bool> go{false};
  std::vector<std::vector<uint32_t>> opened(kThreads);
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      while (!go.load()) {
      }
      Sink sink;
      Frames out;
      for (int i = 0; i < kRounds; ++i) {
        uint32_t id = conn.with([&](ConnState& s) -> uint32_t {
          if (!s.try_claim_slot()) return 0;
          auto check = s.check_open();
          if (!check || *check != ConnState::OpenCheck::proceed) return 0;
          return s.commit_open(false, false, handle(uintptr_t(t) + 1)).id;
        });
        if (!id) continue;
        opened[t].push_back(id);
        conn.with([&](ConnState& s) {
          StreamRecord* r = s.streams().find(id);
          ASSERT_NE(r, nullptr);
          if (i % 2) {
            r->state.set_reset(id, 8, Initiator::user);
            s.resets().remember_ours(id, 8, Initiator::user, s.now());
          } else {
            ASSERT_TRUE(r->state.recv_open(true, false));
            ASSERT_TRUE(r->state.send_close());
          }
          s.closed_transition(*r, out, sink);
        });
        conn.with([&](ConnState& s) {
          EXPECT_LE(s.num_open_streams(), 16u);
          (void)s.count_local_error_reset(id, 5);
        });
      }
      EXPECT_EQ(sink.dropped.size(), opened[t].size());
    });
  go = true;
  for (auto& th : ts) th.join();
  std::set<uint32_t> all;
  size_t total = 0;
  for (auto& v : opened) {
    for (size_t i = 1; i < v.size(); ++i) EXPECT_LT(v[i - 1], v[i]);  // ids only grow
    all.insert(v.begin(), v.end());
    total += v.size();
  }
  EXPECT_EQ(all.size(), total);  // never handed out twice
  conn.with([&](ConnState& s) {
    EXPECT_EQ(s.num_streams(), 0u);
    EXPECT_EQ(s.num_open_streams(), 0u);
    EXPECT_EQ(s.streams().size(), 0u);
    EXPECT_EQ(s.next_stream_id(), 1 + 2 * total);
    // Only the streams that ended normally can count: half the rounds.
    EXPECT_LE(s.local_error_resets(), total);
  });
}
