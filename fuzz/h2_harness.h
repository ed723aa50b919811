// What the connection-core fuzzers share: the check that aborts with the
// failing line, the handles and the sink that count them, one event through
// the core's dispatch, and the invariants that must hold after every step.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "proto/h2/conn_core.h"
#include "fuzz/input.h"
#include "proto/h2/frame.h"

namespace velmora::h2::fuzz {

using velmora::fuzz::fault;

// Handles are heap cells the sink releases after the step that dropped them,
// as the binding does after unlocking; a second release or one left at the
// end is a fault.
struct Cell {
  uint32_t sid = 0;
};

struct Sink final : HandleSink {
  std::unordered_set<Cell*> live;
  std::vector<Cell*> dropped;

  Cell* cell() {
    Cell* c = new Cell;
    live.insert(c);
    return c;
  }
  // A cell the core never took.
  void discard(Cell* c) {
    CHECK(live.erase(c) == 1);
    delete c;
  }
  void drop(Handle h) noexcept override { dropped.push_back(static_cast<Cell*>(h)); }
  void flush() {
    for (Cell* c : dropped) discard(c);
    dropped.clear();
  }
};

// One decoded event through the core's dispatch, as the driver runs it:
// `spare` (a server's handle for a new request stream, or nullptr) is
// discarded when the step did not take it, and an ACK's settings reach the
// decoder. The sink is flushed by the caller.
inline Result<EventVerdict> apply_event(ConnCore& core, Receiver& recv, const Event& e, Cell* spare, Sink& sink,
                                      std::vector<Handle>& wake, std::vector<Aborted>& aborted) {
  Handle h = spare;
  auto r = core.apply(e, h, wake, aborted, sink);
  if (h) sink.discard(static_cast<Cell*>(h));
  if (auto* st = r ? std::get_if<SettingsVerdict>(&*r) : nullptr; st && st->apply_to_decoder)
    apply_to_decoder(recv, *st->apply_to_decoder);
  return r;
}

// A body being framed: the stream, how much of the body went out, and
// whether the last DATA ends the stream.
struct Sending {
  uint32_t sid;
  uint64_t offset;
  bool end = true;
};

// Every sender frames what its windows allow (at most 64 frames each per
// call); a sender leaves the list once its body is done, its stream stopped
// or the step failed (`on_error` gets the error). Stops early once `failed`.
template <class OnError>
void run_senders(ConnCore& core, std::vector<Sending>& senders, std::string_view body, Sink& sink,
                 const bool& failed, OnError&& on_error) {
  for (size_t i = 0; i < senders.size() && !failed;) {
    Sending& x = senders[i];
    bool keep = true;
    for (int guard = 0; guard < 64; ++guard) {
      auto v = core.send_data(x.sid, body, x.offset, x.end, sink);
      sink.flush();
      if (!v) {
        on_error(v.error());
        keep = false;
        break;
      }
      if (v->stopped) {
        keep = false;
        break;
      }
      x.offset += v->sent;
      CHECK(x.offset <= body.size());
      if (v->done) {
        keep = false;
        break;
      }
      if (v->sent == 0) break;
    }
    if (failed) return;
    if (keep) {
      ++i;
    } else {
      senders[i] = senders.back();
      senders.pop_back();
    }
  }
}

// The handshake as a driver runs it: begin(), then a larger frame size to
// the decoder at once. Returns the connection receive window's target.
inline uint32_t start(ConnCore& core, Receiver& recv, const ConnConfig& c) {
  auto change = core.begin();
  CHECK(change.has_value());
  if (change->max_frame_size) recv.set_max_frame_size(*change->max_frame_size);
  return std::max<uint32_t>(65535, c.connection_window);
}

// A connection failed by the harness: every stream aborted, its handles
// released.
inline void fail_all(ConnCore& core, Sink& sink) {
  std::vector<Aborted> aborted;
  core.fail("fuzz", aborted, sink);
  sink.flush();
}

// The end of a run: the connection fails, every record lets go of its
// handle, and no handle may be left alive or released twice.
inline void tear_down(ConnCore& core, Sink& sink) {
  std::vector<Aborted> aborted;
  core.fail("end", aborted, sink);
  core.state.drop_all(sink);
  sink.flush();
  CHECK(sink.live.empty());
}

// After every step:
// - every record is on an odd id (ours as a client, the peer's as a server);
// - every record whose state is closed has passed the closed transition, no
//   record that the reaping rule releases is left, and the active count is
//   the number of records not yet closed;
// - every received octet is either unreleased on a record or back in the
//   connection's receive window (whose target is `recv_target`), exactly once;
// - no stream has more framed and unwritten than its buffer room, and the
//   DATA-frame budget stays within its limit.
inline void check_state(ConnState& st, uint32_t recv_target) {
  uint64_t active = 0, unreleased_total = 0;
  st.streams().for_each([&](StreamRecord& r) {
    CHECK(r.id & 1);
    CHECK(r.state.is_closed() == r.closed_marker);
    CHECK(!r.reapable());
    if (!r.closed_marker) ++active;
    CHECK(r.send_buffered <= st.max_send_buf_size());
    if (r.recv_reclaimed) CHECK(r.recv_unreleased == 0);
    unreleased_total += r.recv_unreleased;
  });
  CHECK(active == st.num_streams());
  CHECK(int64_t(st.conn_recv_flow().available()) + int64_t(unreleased_total) == int64_t(recv_target));
  CHECK(st.conn_recv_flow().window() <= st.conn_recv_flow().available());
  CHECK(st.data_frame_budget().available() <= st.data_frame_budget().limit());
}

// What both connection harnesses hold and do alike: the core under test, the
// decoder of the peer's bytes, the handle sink, the bodies being framed, the
// received octets not yet released, and the invariants after each step.
// `Derived` answers a step's error in its on_error(const Error&).
template <class Derived>
struct ConnHarness {
  struct Unreleased {
    uint32_t sid;
    uint32_t len;
    bool budgeted;
  };

  ConnCore core;
  Receiver recv;
  RecvBatch batch;
  Sink sink;
  std::vector<Sending> senders;
  std::vector<Unreleased> unreleased;
  uint32_t recv_target = 0;
  bool failed = false;

  explicit ConnHarness(const ConnConfig& c) : core(c) {}
  ConnHarness(const ConnHarness&) = delete;
  ConnHarness& operator=(const ConnHarness&) = delete;
  ~ConnHarness() { tear_down(core, sink); }

  // The handshake, once the receiver is set up for the role.
  void begin(const ConnConfig& c) { recv_target = start(core, recv, c); }

  void fail_connection() {
    fail_all(core, sink);
    failed = true;
    senders.clear();
    unreleased.clear();
  }

  void release(const Unreleased& u) {
    auto f = core.release_capacity(u.sid, u.len, sink);
    sink.flush();
    if (!f) return static_cast<Derived*>(this)->on_error(f.error());
    if (u.budgeted) core.release_data_frame(u.sid, u.len, sink);
    sink.flush();
  }

  void release_some(size_t n) {
    for (size_t i = 0; i < n && !unreleased.empty() && !failed; ++i) {
      Unreleased u = unreleased.front();
      unreleased.erase(unreleased.begin());
      release(u);
    }
  }

  // Every sender frames what its windows allow.
  void run_senders(std::string_view body) {
    fuzz::run_senders(core, senders, body, sink, failed,
                      [&](const Error& e) { static_cast<Derived*>(this)->on_error(e); });
  }

  void check() {
    if (!failed) check_state(core.state, recv_target);
  }

  // The peer's bytes through the decoder, each event through the derived
  // harness's dispatch, the invariants checked after it and `after()` run
  // (unless the connection failed meanwhile). A decoding error fails the
  // connection.
  template <class After>
  void feed_events(std::string_view bytes, After&& after) {
    if (failed) return;
    auto ok = recv.receive(bytes, batch);
    if (!ok) return fail_connection();
    for (const Event& e : batch.events) {
      if (failed) break;
      static_cast<Derived*>(this)->dispatch(e);
      sink.flush();
      check();
      after();
    }
  }

  // The end of an input: the application reads everything, the senders
  // frame what they can, and the write pump takes it all.
  void drain(std::string_view body) {
    release_some(unreleased.size());
    run_senders(body);
    check();
    static_cast<Derived*>(this)->pump();
  }
};

}  // namespace velmora::h2::fuzz
