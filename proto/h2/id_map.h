// A flat hash map from a non-zero 32-bit id (a stream id) to a small value,
// for the connection's stream index and id sets. Open addressing with linear
// probing and backward-shift deletion: no tombstones, and no allocation once
// the table has grown to the connection's working size, so opening and
// closing streams in steady state allocates nothing.
//
// Pointers returned by find() stay valid until the next insert or erase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace velmora::h2 {

template <class V>
class IdMap {
 public:
  IdMap() = default;
  IdMap(IdMap&&) noexcept = default;
  IdMap& operator=(IdMap&&) noexcept = default;

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Id 0 is never present: 0 marks the empty slots, so it must not be
  // probed for (it would match the first empty slot of its run).
  V* find(uint32_t id) noexcept {
    if (!cap_ || id == 0) return nullptr;
    for (size_t i = slot_of(id);; i = (i + 1) & (cap_ - 1)) {
      if (keys_[i] == id) return &vals_[i];
      if (keys_[i] == 0) return nullptr;
    }
  }
  const V* find(uint32_t id) const noexcept { return const_cast<IdMap*>(this)->find(id); }
  bool contains(uint32_t id) const noexcept { return find(id) != nullptr; }

  // Inserts `id` (non-zero) with `v`, or returns the existing value unchanged.
  // The bool is true when inserted. May throw std::bad_alloc (the map is then
  // unchanged).
  std::pair<V*, bool> insert(uint32_t id, V v) {
    if (V* p = find(id)) return {p, false};
    if ((size_ + 1) * 2 > cap_) grow();
    size_t i = slot_of(id);
    while (keys_[i] != 0) i = (i + 1) & (cap_ - 1);
    keys_[i] = id;
    vals_[i] = std::move(v);
    ++size_;
    return {&vals_[i], true};
  }

  // Removes `id`; false when absent.
  bool erase(uint32_t id) noexcept {
    if (!cap_ || id == 0) return false;
    size_t i = slot_of(id);
    while (keys_[i] != id) {
      if (keys_[i] == 0) return false;
      i = (i + 1) & (cap_ - 1);
    }
    // Shift back every later entry of the probe run that may move into the hole.
    for (size_t j = (i + 1) & (cap_ - 1); keys_[j] != 0; j = (j + 1) & (cap_ - 1)) {
      size_t home = slot_of(keys_[j]);
      bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
      if (movable) {
        keys_[i] = keys_[j];
        vals_[i] = std::move(vals_[j]);
        i = j;
      }
    }
    keys_[i] = 0;
    vals_[i] = V();
    --size_;
    return true;
  }

  // f(id, value) for every entry, in table order. f must not insert or erase.
  template <class F>
  void for_each(F&& f) {
    for (size_t i = 0; i < cap_; ++i)
      if (keys_[i]) f(keys_[i], vals_[i]);
  }

  void clear() noexcept {
    for (size_t i = 0; i < cap_; ++i) {
      keys_[i] = 0;
      vals_[i] = V();
    }
    size_ = 0;
  }

 private:
  size_t slot_of(uint32_t id) const noexcept {
    // Fibonacci hashing: ids arrive as odd sequences, which a mask alone would
    // crowd into half the table.
    return size_t((uint64_t(id) * 0x9E3779B97F4A7C15ull) >> 32) & (cap_ - 1);
  }

  void grow() {
    size_t ncap = cap_ ? cap_ * 2 : 16;
    auto nkeys = std::make_unique<uint32_t[]>(ncap);  // zeroed
    auto nvals = std::make_unique<V[]>(ncap);
    for (size_t i = 0; i < ncap; ++i) nkeys[i] = 0;
    std::swap(keys_, nkeys);
    std::swap(vals_, nvals);
    size_t old = std::exchange(cap_, ncap);
    size_ = 0;
    for (size_t i = 0; i < old; ++i)
      if (nkeys[i]) {
        size_t j = slot_of(nkeys[i]);
        while (keys_[j] != 0) j = (j + 1) & (cap_ - 1);
        keys_[j] = nkeys[i];
        vals_[j] = std::move(nvals[i]);
        ++size_;
      }
  }

  std::unique_ptr<uint32_t[]> keys_;
  std::unique_ptr<V[]> vals_;
  size_t cap_ = 0;
  size_t size_ = 0;
};

}  // namespace velmora::h2
