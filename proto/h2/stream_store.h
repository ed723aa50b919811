// The streams of one HTTP/2 connection: a record per stream id, and the two
// id sets of accepted requests the application has not pulled yet.
//
// Records live in a slab that only grows (a deque: their addresses never
// change) with a free list, indexed by an IdMap, so that opening and closing
// streams in steady state allocates nothing and a record reference stays
// valid until that record is erased.
//
// Not synchronised: the owner keeps it behind its state lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "proto/h2/content_length.h"
#include "proto/h2/flow.h"
#include "proto/h2/id_map.h"
#include "proto/h2/stream_state.h"

namespace velmora::h2 {

// An owned reference to a driver object (a Python object in the binding).
// The core never looks inside; whoever removes it from the core hands it to a
// HandleSink, and the owner releases it after unlocking.
using Handle = void*;

class HandleSink {
 public:
  virtual void drop(Handle h) noexcept = 0;

 protected:
  ~HandleSink() = default;
};

struct StreamRecord {
  uint32_t id = 0;
  ContentLength content_length;  // of the message we receive
  StreamState state;
  Handle handle = nullptr;       // owned
  FlowControl send_flow;
  FlowControl recv_flow;
  uint64_t send_buffered = 0;        // framed into the pending buffer, not yet credited as written
  uint64_t data_budget_charged = 0;  // DATA-frame budget charge not yet returned
  uint32_t recv_unreleased = 0;      // received octets delivered and not yet released
  bool recv_reclaimed = false;       // in-flight receive capacity already given back to the connection
  bool closed_marker = false;        // the closed transition has run
  bool holds_slot = false;           // owns one claimed concurrency slot
  bool in_rotation = false;          // capacity rotation membership
  bool waiting = false;              // connection-window waiters membership
  // An extended CONNECT (RFC 8441) stream: once its 2xx head is through, a
  // tunnel of DATA both ways, each side ending its own half. No
  // content-length applies, and neither side's END_STREAM ends the other's.
  bool tunnel = false;
  uint64_t frames_this_turn = 0;
  uint64_t credit_round = 0;  // the last credit_written() that collected this stream's handle

  // The reaping rule: nothing still ties the record to the connection.
  bool reapable() const noexcept { return closed_marker && recv_unreleased == 0 && data_budget_charged == 0; }
};

class StreamStore {
 public:
  StreamStore() = default;
  StreamStore(const StreamStore&) = delete;
  StreamStore& operator=(const StreamStore&) = delete;
  // The owner hands the remaining handles out with drop_all() first; a
  // handle still held here at destruction is leaked, never released.
  ~StreamStore() = default;

  StreamRecord* find(uint32_t id) noexcept {
    uint32_t* slot = index_.find(id);
    return slot ? &slab_[*slot] : nullptr;
  }
  const StreamRecord* find(uint32_t id) const noexcept { return const_cast<StreamStore*>(this)->find(id); }
  size_t size() const noexcept { return index_.size(); }

  // A new record for `id` (absent, non-zero), fields at their defaults with
  // the given id. May throw std::bad_alloc (the store is then unchanged).
  StreamRecord& emplace(uint32_t id);

  // Removes the record of `id` (if any), handing its handle to `sink`.
  void erase(uint32_t id, HandleSink& sink) noexcept;

  // f(record) for every record, in index order. f must not add or remove
  // records; collect ids first to remove while walking.
  template <class F>
  void for_each(F&& f) {
    index_.for_each([&](uint32_t, uint32_t slot) { f(slab_[slot]); });
  }

  // Every record removed, every handle to `sink` (connection teardown).
  void drop_all(HandleSink& sink) noexcept;

  // ---- accepted requests the application has not pulled ----
  // Server: a request stream queued for the application.
  void add_pending_accept(uint32_t id) { pending_accept_.insert(id, 1); }
  bool is_pending_accept(uint32_t id) const noexcept { return pending_accept_.contains(id); }
  // The peer reset a queued request: true when added, false when already
  // counted. The caller checks the cap first.
  bool add_pending_accept_reset(uint32_t id) { return pending_accept_reset_.insert(id, 1).second; }
  size_t pending_accept_resets() const noexcept { return pending_accept_reset_.size(); }
  // The application pulled `id`: it leaves both sets (absent ids are ignored).
  void accepted(uint32_t id) noexcept {
    pending_accept_.erase(id);
    pending_accept_reset_.erase(id);
  }

 private:
  std::deque<StreamRecord> slab_;
  std::vector<uint32_t> free_;  // slab slots not in use
  IdMap<uint32_t> index_;       // id -> slab slot
  IdMap<uint8_t> pending_accept_;
  IdMap<uint8_t> pending_accept_reset_;
};

}  // namespace velmora::h2
