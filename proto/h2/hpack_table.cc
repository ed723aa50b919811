#include "proto/h2/hpack_table.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace velmora::h2::hpack {

namespace {

constexpr const StaticEntry* kStatic = kStaticTable;

inline uint64_t load64(const char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
inline uint64_t load32(const char* p) noexcept {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}
// 64 x 64 -> 128-bit multiply, halves folded.
inline uint64_t mum(uint64_t a, uint64_t b) noexcept {
  unsigned __int128 r = (unsigned __int128)a * b;
  return uint64_t(r) ^ uint64_t(r >> 64);
}

// Sixteen octets per multiply, each block mixed on its own so that long
// values (cookies, user agents) are not one serial chain; the last 1..16
// octets are read with overlapping loads instead of a byte-wise copy.
inline uint64_t absorb(uint64_t h, std::string_view s) noexcept {
  const char* p = s.data();
  size_t n = s.size(), i = 0;
  h ^= n * 0x9e3779b97f4a7c15ull;
  for (; i + 16 < n; i += 16) h ^= mum(load64(p + i) ^ (0xa0761d6478bd642full + i), load64(p + i + 8) ^ 0xe7037ed1a0b428dbull);
  size_t r = n - i;
  uint64_t a = 0, b = 0;
  if (r > 8) {
    a = load64(p + i);
    b = load64(p + n - 8);
  } else if (r >= 4) {
    a = load32(p + i) << 32 | load32(p + n - 4);
  } else if (r > 0) {
    a = uint64_t(uint8_t(p[i])) << 16 | uint64_t(uint8_t(p[i + r / 2])) << 8 | uint8_t(p[n - 1]);
  }
  return mum(h ^ a ^ 0x8ebc6af09c88c6e3ull, b ^ 0x589965cc75374cc3ull);
}

inline uint32_t fold(uint64_t h) noexcept { return uint32_t(h >> 32) ^ uint32_t(h); }

constexpr uint64_t kSeed = 0xcbf29ce484222325ull;

// Name index of the static table. The key (length and three of the name's
// octets) hashes every distinct static name to its own slot of 128, so a
// lookup is one probe and one comparison; the constructor proves it.
constexpr uint32_t kStaticMul = 0x3f811bab;

constexpr uint32_t static_slot(std::string_view n) noexcept {
  uint32_t key = uint32_t(uint8_t(n[0])) | uint32_t(uint8_t(n[n.size() / 2])) << 8 |
                 uint32_t(uint8_t(n[n.size() - 1])) << 16 | uint32_t(n.size()) << 24;
  return (key * kStaticMul) >> 25;
}

struct StaticIndex {
  std::array<uint8_t, 128> slot{};  // first static index of the name, 0 = empty
  std::array<uint8_t, kStaticCount + 1> run{};  // entries sharing entry i's name, from i on
  bool perfect = true;
  constexpr StaticIndex() {
    for (uint32_t i = kStaticCount; i >= 1; --i) {
      std::string_view n = kStatic[i - 1].name;
      run[i] = uint8_t(i < kStaticCount && kStatic[i].name == n ? run[i + 1] + 1 : 1);
      if (i > 1 && kStatic[i - 2].name == n) continue;
      uint32_t s = static_slot(n);
      if (slot[s] != 0) perfect = false;
      slot[s] = uint8_t(i);
    }
  }
};

constexpr StaticIndex kStaticIndex;
static_assert(kStaticIndex.perfect, "two static names share a slot: pick another multiplier");

}  // namespace

uint32_t name_hash(std::string_view name) noexcept { return fold(absorb(kSeed, name)); }

uint32_t pair_hash(std::string_view name, std::string_view value) noexcept {
  return fold(absorb(absorb(kSeed ^ 0x2d358dccaa6c78a5ull, name), value));
}

FieldKey field_key(std::string_view name, std::string_view value) noexcept {
  return {name, value, name_hash(name), pair_hash(name, value)};
}

uint32_t static_find_name(std::string_view name) noexcept {
  if (name.empty()) return 0;
  uint32_t i = kStaticIndex.slot[static_slot(name)];
  return i != 0 && same_octets(kStatic[i - 1].name, name) ? i : 0;
}

uint32_t static_find_value(uint32_t name_idx, std::string_view value) noexcept {
  for (uint32_t i = name_idx, end = name_idx + kStaticIndex.run[name_idx]; i < end; ++i)
    if (same_octets(kStatic[i - 1].value, value)) return i;
  return 0;
}

// ---- DynamicTable ------------------------------------------------------------
//
// Entry bytes (name then value) are laid out in `ring_` in insertion order.
// When an entry does not fit between the tail and the end of the ring it
// goes to the front instead, and `wrap_` records where the bytes before the
// wrap end. Since the live bytes never exceed the max size, a ring of twice
// the max size always has room (the gap left at the end is smaller than the
// entry that did not fit); the ring starts small and doubles on demand.

void DynamicTable::evict_oldest() noexcept {
  const Slot& s = slots_[first_];
  uint32_t len = s.name_len + s.value_len;
  size_ -= len + kEntryOverhead;
  used_ -= len;
  first_ = (first_ + 1) & (slots_.size() - 1);
  --count_;
  if (count_ == 0) {
    head_ = tail_ = wrap_ = 0;
  } else {
    head_ = slots_[first_].off;
    if (head_ < s.off) wrap_ = 0;  // the oldest bytes now start at the front
  }
}

void DynamicTable::set_max_size(uint32_t max_size) noexcept {
  max_size_ = std::min(max_size, kMaxTableSize);
  while (size_ > max_size_) evict_oldest();
}

uint32_t DynamicTable::place(uint32_t len) {
  uint32_t cap = uint32_t(ring_.size());
  if (count_ == 0) {
    head_ = tail_ = wrap_ = 0;
    if (len <= cap) return 0;
  } else if (wrap_ == 0) {  // live bytes are [head_, tail_)
    if (cap - tail_ >= len) return tail_;
    if (head_ >= len) {
      wrap_ = tail_;
      return 0;
    }
  } else {  // live bytes are [head_, wrap_) and [0, tail_)
    if (head_ - tail_ >= len) return tail_;
  }
  // Grow: copy the live bytes to the front of a larger ring, in order. Twice
  // the max size always has room, so the ring never grows past that.
  size_t want = std::max<size_t>(
      {std::min<size_t>(size_t(cap) * 2, size_t(max_size_) * 2 + 256), size_t(used_) + len, 256});
  std::vector<char> bigger(want);
  uint32_t w = 0;
  for (size_t k = 0; k < count_; ++k) {
    Slot& s = slots_[(first_ + k) & (slots_.size() - 1)];
    uint32_t l = s.name_len + s.value_len;
    std::memcpy(bigger.data() + w, ring_.data() + s.off, l);
    s.off = w;
    w += l;
  }
  ring_.swap(bigger);
  head_ = 0;
  tail_ = w;
  wrap_ = 0;
  return w;
}

void DynamicTable::grow_slots() {
  size_t n = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<Slot> bigger(n);
  for (size_t k = 0; k < count_; ++k) bigger[k] = slots_[(first_ + k) & (slots_.size() - 1)];
  slots_.swap(bigger);
  first_ = 0;
}

bool DynamicTable::insert(std::string_view name, std::string_view value, uint8_t tag) {
  uint64_t need = uint64_t(name.size()) + value.size() + kEntryOverhead;
  while (count_ > 0 && size_ + need > max_size_) evict_oldest();
  if (need > max_size_) return false;
  uint32_t len = uint32_t(name.size() + value.size());
  uint32_t off = place(len);
  if (count_ == slots_.size()) grow_slots();
  if (!name.empty()) std::memcpy(ring_.data() + off, name.data(), name.size());
  if (!value.empty()) std::memcpy(ring_.data() + off + name.size(), value.data(), value.size());
  tail_ = off + len;
  if (count_ == 0) head_ = off;
  slots_[(first_ + count_) & (slots_.size() - 1)] = {off, uint32_t(name.size()), uint32_t(value.size()), tag};
  ++count_;
  size_ += uint32_t(need);
  used_ += len;
  ++inserted_;
  return true;
}

// ---- EncoderTable ------------------------------------------------------------
//
// Each index maps a hash to the absolute number of the newest entry with that
// key. An entry's position is newest_seq() - number. On eviction a key is
// dropped only when the index still points at the evicted entry; a newer
// duplicate keeps its own slot.

long EncoderTable::find(const FieldKey& key) const noexcept {
  if (pairs_.seq1.empty()) return -1;
  size_t mask = pairs_.seq1.size() - 1;
  for (size_t s = key.pair_hash & mask; pairs_.seq1[s] != 0; s = (s + 1) & mask) {
    if (pairs_.hash[s] != key.pair_hash) continue;
    long pos = long(table_.newest_seq() - (pairs_.seq1[s] - 1));
    TableEntry e = table_.get(size_t(pos));
    if (same_octets(e.name, key.name) && same_octets(e.value, key.value)) return pos;
  }
  return -1;
}

long EncoderTable::find_name(const FieldKey& key) const noexcept {
  if (names_.seq1.empty()) return -1;
  size_t mask = names_.seq1.size() - 1;
  for (size_t s = key.name_hash & mask; names_.seq1[s] != 0; s = (s + 1) & mask) {
    if (names_.hash[s] != key.name_hash) continue;
    long pos = long(table_.newest_seq() - (names_.seq1[s] - 1));
    if (same_octets(table_.get(size_t(pos)).name, key.name)) return pos;
  }
  return -1;
}

void EncoderTable::index_put(Index& ix, uint32_t h, uint64_t seq, bool by_name) {
  // Replaces the slot of an older entry with the same key, if any.
  size_t mask = ix.seq1.size() - 1;
  TableEntry fresh = table_.get(size_t(table_.newest_seq() - seq));
  size_t s = h & mask;
  for (; ix.seq1[s] != 0; s = (s + 1) & mask) {
    if (ix.hash[s] != h) continue;
    TableEntry old = table_.get(size_t(table_.newest_seq() - (ix.seq1[s] - 1)));
    if (same_octets(old.name, fresh.name) && (by_name || same_octets(old.value, fresh.value))) {
      ix.seq1[s] = seq + 1;
      return;
    }
  }
  ix.seq1[s] = seq + 1;
  ix.hash[s] = h;
  ++ix.live;
}

void EncoderTable::index_drop(Index& ix, uint32_t h, uint64_t seq) noexcept {
  size_t mask = ix.seq1.size() - 1;
  size_t s = h & mask;
  for (;; s = (s + 1) & mask) {
    if (ix.seq1[s] == 0) return;  // a newer duplicate took the key over
    if (ix.seq1[s] == seq + 1) break;
  }
  // Backward-shift deletion keeps every probe run unbroken.
  ix.seq1[s] = 0;
  --ix.live;
  for (size_t j = (s + 1) & mask; ix.seq1[j] != 0; j = (j + 1) & mask) {
    size_t home = ix.hash[j] & mask;
    // Move j into the hole when its home is not in (s, j] cyclically.
    bool between = s <= j ? (home > s && home <= j) : (home > s || home <= j);
    if (!between) {
      ix.seq1[s] = ix.seq1[j];
      ix.hash[s] = ix.hash[j];
      ix.seq1[j] = 0;
      s = j;
    }
  }
}

void EncoderTable::rehash(Index& ix, size_t slots, bool by_name) {
  ix.seq1.assign(slots, 0);
  ix.hash.assign(slots, 0);
  ix.live = 0;
  // Oldest first, so that the newest entry of each key ends up indexed.
  for (size_t k = table_.count(); k-- > 0;) {
    uint64_t seq = table_.newest_seq() - k;
    uint64_t both = hashes_of(seq);
    index_put(ix, by_name ? uint32_t(both >> 32) : uint32_t(both), seq, by_name);
  }
}

void EncoderTable::maybe_grow() {
  // Indexes at most half full, hash ring at least the entry count: an entry
  // takes at least 32 octets, so a 4096-octet table (128 entries) settles at
  // 256 slots and never grows again.
  size_t need = table_.count() + 1;
  if (hashes_.size() < need) {
    size_t n = std::max<size_t>(16, hashes_.size());
    while (n < need) n *= 2;
    std::vector<uint64_t> bigger(n);
    for (size_t k = 0; k < table_.count(); ++k) {
      uint64_t seq = table_.newest_seq() - k;
      bigger[seq & (n - 1)] = hashes_of(seq);
    }
    hashes_.swap(bigger);
  }
  if (pairs_.seq1.size() >= need * 2) return;
  size_t slots = 16;
  while (slots < need * 2) slots *= 2;
  rehash(pairs_, slots, false);
  rehash(names_, slots, true);
}

void EncoderTable::evict_one() {
  uint64_t seq = table_.newest_seq() - (table_.count() - 1);
  uint64_t both = hashes_of(seq);
  index_drop(pairs_, uint32_t(both), seq);
  index_drop(names_, uint32_t(both >> 32), seq);
  table_.evict_oldest();
}

void EncoderTable::set_max_size(uint32_t max_size) {
  while (table_.count() > 0 && table_.size() > max_size) evict_one();
  table_.set_max_size(max_size);
}

bool EncoderTable::insert(const FieldKey& key) {
  uint64_t need = uint64_t(key.name.size()) + key.value.size() + kEntryOverhead;
  while (table_.count() > 0 && table_.size() + need > table_.max_size()) evict_one();
  if (need > table_.max_size()) return false;
  maybe_grow();
  table_.insert(key.name, key.value, kTagRegular);
  uint64_t seq = table_.newest_seq();
  hashes_of(seq) = uint64_t(key.name_hash) << 32 | key.pair_hash;
  index_put(pairs_, key.pair_hash, seq, false);
  index_put(names_, key.name_hash, seq, true);
  return true;
}

}  // namespace velmora::h2::hpack
