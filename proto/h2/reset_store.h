// What a connection remembers of streams that ended by a reset, after their
// records are gone.
//
// - Our resets (timed entries): the ids we reset, for about a second, so that
//   frames the peer had in flight when our RST_STREAM crossed are ignored
//   instead of answered as errors. At most kCap entries; an entry expires once
//   more than kTtl has passed since the reset (exactly kTtl is not expired).
//   Every insertion first drops the expired entries, then inserts only while
//   fewer than kCap remain.
// - The peer's resets (timed entries, same rules, their own cap): the reason
//   the peer gave, so that a late step on the stream (a handler answering a
//   request the peer already cancelled) can report why it stopped. Kept apart
//   so that a peer resetting streams in bulk cannot push our own entries out.
// - Every id we reset (an id set of ranges, bounded, without expiry): tells
//   the echo of our own resets (a frame the peer sent before it saw our
//   RST_STREAM, arriving after the timed entry is gone) from a frame the peer
//   sends on a stream it closed itself. Only the latter is the peer's doing,
//   and only it counts toward the cap on resets a peer makes us send. Odd and
//   even ids are stored as runs with a step of 2, so a client cancelling a
//   run of its own streams costs one range.
//
// Not synchronised: the owner keeps it behind its state lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "proto/h2/error.h"
#include "proto/h2/id_map.h"

namespace velmora::h2 {

using Clock = std::chrono::steady_clock;

class ResetStore {
 public:
  static constexpr Clock::duration kTtl = std::chrono::seconds(1);
  static constexpr size_t kCap = 50;
  static constexpr size_t kMaxRanges = 4096;

  struct Entry {
    Clock::time_point at{};
    uint32_t reason = 0;
    Initiator initiator = Initiator::user;
  };

  ResetStore();

  // Remembers a reset we sent on `id` (initiator user or library): a timed
  // entry under the rules above, and the id in the id set. False when the
  // timed store was full (the id set still takes it). An id already present
  // keeps its time and takes the new reason.
  bool remember_ours(uint32_t id, uint32_t reason, Initiator who, Clock::time_point now);
  // Remembers the peer's reset of `id` with its reason (timed, own cap).
  bool remember_peer(uint32_t id, uint32_t reason, Clock::time_point now);

  // Bare membership among our timed entries: an expired entry not yet
  // dropped still counts.
  bool holds(uint32_t id) const noexcept { return ours_.find(id) != nullptr; }
  // Our timed entry for `id` as the HEADERS and DATA paths see it: an expired
  // entry is dropped here and reported absent.
  const Entry* find_live(uint32_t id, Clock::time_point now) noexcept;
  // The peer's reset of `id`, while remembered (expired entries count until
  // the next insertion drops them).
  const Entry* peer_reset(uint32_t id) const noexcept { return peer_.find(id); }
  // Whether we ever reset `id` (as far as the bounded id set reaches back).
  bool reset_by_us(uint32_t id) const noexcept;

  size_t size() const noexcept { return ours_.size(); }
  size_t peer_size() const noexcept { return peer_.size(); }
  size_t ranges() const noexcept { return ranges_.size(); }

 private:
  // One timed store: entries by id plus their insertion order in a ring of
  // kCap slots (times only grow, so the expired ones are at the front).
  class Timed {
   public:
    Timed();
    bool insert(uint32_t id, const Entry& e, Clock::time_point now);
    const Entry* find(uint32_t id) const noexcept { return map_.find(id); }
    bool erase_if_expired(uint32_t id, Clock::time_point now) noexcept;
    size_t size() const noexcept { return map_.size(); }

   private:
    void drop_expired(Clock::time_point now) noexcept;

    IdMap<Entry> map_;
    struct Slot {
      uint32_t id;
      Clock::time_point at;
    };
    std::unique_ptr<Slot[]> ring_;  // insertions in order
    size_t head_ = 0, count_ = 0;
  };

  struct Range {
    uint32_t lo, hi;  // inclusive, same parity
  };
  void add_id(uint32_t id);

  Timed ours_;
  Timed peer_;
  std::vector<Range> ranges_;  // sorted by lo; odd and even runs interleave
};

inline bool expired(Clock::time_point at, Clock::time_point now) noexcept { return now - at > ResetStore::kTtl; }

}  // namespace velmora::h2
