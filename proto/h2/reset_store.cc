#include "proto/h2/reset_store.h"

#include <algorithm>

namespace velmora::h2 {

ResetStore::Timed::Timed() : ring_(std::make_unique<Slot[]>(kCap)) {}

void ResetStore::Timed::drop_expired(Clock::time_point now) noexcept {
  while (count_) {
    const Slot& s = ring_[head_];
    if (!expired(s.at, now)) break;
    // The entry may be gone already (dropped at a lookup); an entry of the
    // same id inserted after that has a later slot of its own.
    const Entry* e = map_.find(s.id);
    if (e && e->at == s.at) map_.erase(s.id);
    head_ = (head_ + 1) % kCap;
    --count_;
  }
}

bool ResetStore::Timed::insert(uint32_t id, const Entry& e, Clock::time_point now) {
  drop_expired(now);
  if (Entry* old = map_.find(id)) {
    old->reason = e.reason;
    old->initiator = e.initiator;
    return true;
  }
  if (count_ >= kCap) return false;
  map_.insert(id, e);
  ring_[(head_ + count_) % kCap] = {id, e.at};
  ++count_;
  return true;
}

bool ResetStore::Timed::erase_if_expired(uint32_t id, Clock::time_point now) noexcept {
  const Entry* e = map_.find(id);
  if (!e || !expired(e->at, now)) return false;
  // Its ring slot stays until drop_expired passes it; the slot counts toward
  // the cap until then, which only makes the store keep fewer, never more.
  map_.erase(id);
  return true;
}

ResetStore::ResetStore() { ranges_.reserve(16); }

bool ResetStore::remember_ours(uint32_t id, uint32_t reason, Initiator who, Clock::time_point now) {
  add_id(id);
  return ours_.insert(id, {now, reason, who}, now);
}

bool ResetStore::remember_peer(uint32_t id, uint32_t reason, Clock::time_point now) {
  return peer_.insert(id, {now, reason, Initiator::remote}, now);
}

const ResetStore::Entry* ResetStore::find_live(uint32_t id, Clock::time_point now) noexcept {
  if (ours_.erase_if_expired(id, now)) return nullptr;
  return ours_.find(id);
}

bool ResetStore::reset_by_us(uint32_t id) const noexcept {
  // The ranges are sorted by lo; any range holding id starts at or below it.
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), id, [](uint32_t v, const Range& r) { return v < r.lo; });
  while (it != ranges_.begin()) {
    --it;
    if (it->hi >= id && (it->lo & 1) == (id & 1)) return true;
    // Runs of the other parity interleave: look one further back at most.
    if ((it->lo & 1) != (id & 1)) continue;
    return false;
  }
  return false;
}

void ResetStore::add_id(uint32_t id) {
  if (reset_by_us(id)) return;
  uint32_t parity = id & 1;
  // Extend a run of the same parity that ends just below or starts just above.
  auto same = [&](const Range& r) { return (r.lo & 1) == parity; };
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), id, [](uint32_t v, const Range& r) { return v < r.lo; });
  Range* below = nullptr;
  for (auto b = it; b != ranges_.begin();) {
    --b;
    if (same(*b)) {
      below = &*b;
      break;
    }
  }
  Range* above = nullptr;
  for (auto a = it; a != ranges_.end(); ++a)
    if (same(*a)) {
      above = &*a;
      break;
    }
  if (below && below->hi + 2 == id) {
    below->hi = id;
    if (above && above->lo == id + 2) {
      below->hi = above->hi;
      ranges_.erase(ranges_.begin() + (above - ranges_.data()));
    }
    return;
  }
  if (above && above->lo == id + 2) {
    // A run of the other parity may start at id + 1: move this one before it.
    above->lo = id;
    auto a = ranges_.begin() + (above - ranges_.data());
    std::rotate(it, a, a + 1);
    return;
  }
  if (ranges_.size() >= kMaxRanges) {
    // The oldest streams are the lowest ids: forget them first.
    ranges_.erase(ranges_.begin());
    it = std::upper_bound(ranges_.begin(), ranges_.end(), id, [](uint32_t v, const Range& r) { return v < r.lo; });
  }
  ranges_.insert(it, Range{id, id});
}

}  // namespace velmora::h2
