#include "proto/h2/stream_store.h"

#include <algorithm>
#include <utility>

namespace velmora::h2 {

StreamRecord& StreamStore::emplace(uint32_t id) {
  // Reserve everything first so that a failed allocation changes nothing.
  if (free_.empty()) {
    if (free_.capacity() < slab_.size() + 1) free_.reserve(std::max<size_t>(16, 2 * (slab_.size() + 1)));
    slab_.emplace_back();
    free_.push_back(uint32_t(slab_.size() - 1));
  }
  uint32_t slot = free_.back();
  index_.insert(id, slot);  // may throw: the new slab slot stays free
  free_.pop_back();
  StreamRecord& r = slab_[slot];
  r = StreamRecord();
  r.id = id;
  return r;
}

void StreamStore::erase(uint32_t id, HandleSink& sink) noexcept {
  uint32_t* slot = index_.find(id);
  if (!slot) return;
  uint32_t s = *slot;
  index_.erase(id);
  StreamRecord& r = slab_[s];
  if (r.handle) sink.drop(std::exchange(r.handle, nullptr));
  free_.push_back(s);  // capacity reserved when the slot was created
}

void StreamStore::drop_all(HandleSink& sink) noexcept {
  index_.for_each([&](uint32_t, uint32_t s) {
    StreamRecord& r = slab_[s];
    if (r.handle) sink.drop(std::exchange(r.handle, nullptr));
    free_.push_back(s);
  });
  index_.clear();
}

}  // namespace velmora::h2
