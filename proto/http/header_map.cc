#include "proto/http/header_map.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

namespace velmora::http {

namespace {

// Offsets into the arena and indexes into the value table are 32-bit: a map
// refuses what would take either past that range rather than wrap.
bool fits(size_t arena_bytes, size_t values, size_t more_bytes) noexcept {
  return values < size_t(INT32_MAX) && more_bytes <= UINT32_MAX - std::min<size_t>(arena_bytes, UINT32_MAX);
}

}  // namespace

uint32_t HeaderMap::hash_name(std::string_view s) noexcept {
  // FNV-1a over 8-byte words: names are short and already lowercase.
  uint64_t h = 0xcbf29ce484222325ull ^ s.size();
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0x100000001b3ull;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, s.data() + i, s.size() - i);
  h = (h ^ tail) * 0x9e3779b97f4a7c15ull;
  return uint32_t(h >> 32) ^ uint32_t(h);
}

int32_t HeaderMap::find(std::string_view lname, uint32_t h) const noexcept {
  if (index_.empty()) return -1;
  size_t mask = index_.size() - 1;
  for (size_t s = h & mask;; s = (s + 1) & mask) {
    int32_t e = index_[s];
    if (e < 0) return -1;
    const Entry& en = entries_[size_t(e)];
    if (en.hash == h && view(en.name_off, en.name_len) == lname) return e;
  }
}

uint32_t HeaderMap::put_bytes(std::string_view s) {
  uint32_t off = uint32_t(arena_.size());
  arena_.append(s);
  return off;
}

int32_t HeaderMap::add_value_row(uint32_t off, uint32_t len) {
  values_.push_back(Value{off, len, -1});
  ++live_values_;
  return int32_t(values_.size() - 1);
}

void HeaderMap::index_insert(uint32_t h, int32_t entry) noexcept {
  size_t mask = index_.size() - 1;
  size_t s = h & mask;
  while (index_[s] >= 0) s = (s + 1) & mask;
  index_[s] = entry;
}

void HeaderMap::grow_index() {
  size_t want = index_.empty() ? 16 : index_.size() * 2;
  if (want > kMaxSlots) want = kMaxSlots;
  index_.assign(want, -1);
  for (size_t i = 0; i < entries_.size(); ++i) index_insert(entries_[i].hash, int32_t(i));
}

void HeaderMap::link_value(int32_t e, uint32_t name_off, uint32_t name_len, uint32_t h, int32_t v) {
  if (e >= 0) {
    Entry& en = entries_[size_t(e)];
    values_[size_t(en.tail)].next = v;
    en.tail = v;
    ++en.nvalues;
    return;
  }
  // Keep the index at most 3/4 full.
  if ((entries_.size() + 1) * 4 > index_.size() * 3) grow_index();
  entries_.push_back(Entry{name_off, name_len, h, v, v, 1});
  index_insert(h, int32_t(entries_.size() - 1));
}

bool HeaderMap::append(std::string_view lname, std::string_view value) {
  if (full() || !fits(arena_.size(), values_.size(), lname.size() + value.size())) return false;
  uint32_t h = hash_name(lname);
  int32_t e = find(lname, h);
  uint32_t name_off = e < 0 ? put_bytes(lname) : 0;
  link_value(e, name_off, uint32_t(lname.size()), h, new_value(value));
  return true;
}

bool HeaderMap::replace(std::string_view lname, std::string_view value) {
  if (full() || !fits(arena_.size(), values_.size(), lname.size() + value.size())) return false;
  uint32_t h = hash_name(lname);
  int32_t e = find(lname, h);
  if (e < 0) {
    uint32_t name_off = put_bytes(lname);
    link_value(e, name_off, uint32_t(lname.size()), h, new_value(value));
    return true;
  }
  for (int32_t v = entries_[size_t(e)].head; v >= 0; v = values_[size_t(v)].next) {
    dead_bytes_ += values_[size_t(v)].len;
    ++dead_values_;
    --live_values_;
  }
  int32_t v = new_value(value);
  Entry& en = entries_[size_t(e)];
  en.head = en.tail = v;
  en.nvalues = 1;
  maybe_compact();
  return true;
}

size_t HeaderMap::slot_of(int32_t entry) const noexcept {
  size_t mask = index_.size() - 1;
  size_t s = entries_[size_t(entry)].hash & mask;
  while (index_[s] != entry) s = (s + 1) & mask;
  return s;
}

void HeaderMap::index_erase(size_t slot) noexcept {
  // Backward-shift deletion keeps linear probing free of tombstones.
  size_t mask = index_.size() - 1;
  size_t hole = slot;
  for (size_t s = (slot + 1) & mask; index_[s] >= 0; s = (s + 1) & mask) {
    size_t home = entries_[size_t(index_[s])].hash & mask;
    // Move the element back when its home is not within (hole, s].
    if (((s - home) & mask) >= ((s - hole) & mask)) {
      index_[hole] = index_[s];
      hole = s;
    }
  }
  index_[hole] = -1;
}

void HeaderMap::erase_entry(int32_t e) noexcept {
  Entry& en = entries_[size_t(e)];
  dead_bytes_ += en.name_len;
  for (int32_t v = en.head; v >= 0; v = values_[size_t(v)].next) {
    dead_bytes_ += values_[size_t(v)].len;
    ++dead_values_;
    --live_values_;
  }
  index_erase(slot_of(e));
  int32_t last = int32_t(entries_.size() - 1);
  if (e != last) {
    size_t s = slot_of(last);
    entries_[size_t(e)] = entries_[size_t(last)];
    index_[s] = e;
  }
  entries_.pop_back();
}

bool HeaderMap::remove(std::string_view lname) {
  int32_t e = find(lname);
  if (e < 0) return false;
  erase_entry(e);
  if (entries_.empty()) {
    clear();
  } else {
    maybe_compact();
  }
  return true;
}

void HeaderMap::clear() noexcept {
  arena_.clear();
  entries_.clear();
  values_.clear();
  index_.clear();
  live_values_ = dead_bytes_ = dead_values_ = 0;
}

void HeaderMap::maybe_compact() {
  // Rewrite the arena and the value table once garbage outweighs live data,
  // so repeated replace/remove cycles cannot grow a map without bound.
  if (dead_bytes_ + dead_values_ * sizeof(Value) < 4096 || dead_bytes_ * 2 < arena_.size()) return;
  std::string arena;
  arena.reserve(arena_.size() - dead_bytes_);
  std::vector<Value> values;
  values.reserve(live_values_);
  for (Entry& en : entries_) {
    uint32_t off = uint32_t(arena.size());
    arena.append(arena_, en.name_off, en.name_len);
    en.name_off = off;
    int32_t head = -1, prev = -1;
    for (int32_t v = en.head; v >= 0; v = values_[size_t(v)].next) {
      const Value& old = values_[size_t(v)];
      values.push_back(Value{uint32_t(arena.size()), old.len, -1});
      arena.append(arena_, old.off, old.len);
      int32_t idx = int32_t(values.size() - 1);
      if (prev >= 0) values[size_t(prev)].next = idx; else head = idx;
      prev = idx;
    }
    en.head = head;
    en.tail = prev;
  }
  arena_ = std::move(arena);
  values_ = std::move(values);
  dead_bytes_ = dead_values_ = 0;
}

bool HeaderMap::first(std::string_view lname, std::string_view& out) const noexcept {
  int32_t e = find(lname);
  if (e < 0) return false;
  const Value& v = values_[size_t(entries_[size_t(e)].head)];
  out = view(v.off, v.len);
  return true;
}

size_t HeaderMap::count(std::string_view lname) const noexcept {
  int32_t e = find(lname);
  return e < 0 ? 0 : entries_[size_t(e)].nvalues;
}

size_t HeaderMap::content_bytes() const noexcept {
  size_t n = 0;
  for (const Entry& en : entries_) n += size_t(en.name_len) * en.nvalues;
  for (const Entry& en : entries_)
    for (int32_t v = en.head; v >= 0; v = values_[size_t(v)].next) n += values_[size_t(v)].len;
  return n;
}

bool HeaderMap::operator==(const HeaderMap& o) const noexcept {
  if (this == &o) return true;
  if (live_values_ != o.live_values_ || entries_.size() != o.entries_.size()) return false;
  for (const Entry& en : entries_) {
    std::string_view name = view(en.name_off, en.name_len);
    int32_t oe = o.find(name, en.hash);
    if (oe < 0) return false;
    const Entry& on = o.entries_[size_t(oe)];
    if (on.nvalues != en.nvalues) return false;
    int32_t a = en.head, b = on.head;
    for (; a >= 0; a = values_[size_t(a)].next, b = o.values_[size_t(b)].next) {
      const Value& va = values_[size_t(a)];
      const Value& vb = o.values_[size_t(b)];
      if (view(va.off, va.len) != o.view(vb.off, vb.len)) return false;
    }
  }
  return true;
}

void HeaderMap::reserve(size_t names, size_t bytes) {
  entries_.reserve(names);
  values_.reserve(names);
  arena_.reserve(bytes);
  if (names * 4 > index_.size() * 3) {
    size_t want = 16;
    while (want * 3 < names * 4 && want < kMaxSlots) want *= 2;
    index_.assign(want, -1);
    for (size_t i = 0; i < entries_.size(); ++i) index_insert(entries_[i].hash, int32_t(i));
  }
}

// ---- Builder ------------------------------------------------------------------

namespace {

// Tokens are ASCII: eight bytes at a time, 'A'-'Z' gain 0x20.
void lower_ascii_in_place(char* d, size_t len) noexcept {
  constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, d + i, 8);
    uint64_t ge_a = (w + ones * (0x80 - 'A')) & highs;
    uint64_t gt_z = (w + ones * (0x80 - 'Z' - 1)) & highs;
    w |= (ge_a & ~gt_z) >> 2;
    std::memcpy(d + i, &w, 8);
  }
  for (; i < len; ++i) d[i] = (d[i] >= 'A' && d[i] <= 'Z') ? char(d[i] + 32) : d[i];
}

}  // namespace

HeaderMap::Builder::Builder(size_t fields, size_t bytes) { map_.reserve(fields, bytes); }

HeaderMap::Builder::Builder(std::string_view block, size_t fields) : src_(block.data()), src_len_(block.size()) {
  map_.reserve(fields, 0);
  map_.arena_.assign(block);
}

bool HeaderMap::Builder::add(std::string_view lname, std::string_view value) { return map_.append(lname, value); }

std::string_view HeaderMap::Builder::lower_name(std::string_view name) noexcept {
  assert(name.data() >= src_ && name.data() + name.size() <= src_ + src_len_);
  size_t off = size_t(name.data() - src_);
  char* d = map_.arena_.data() + off;
  lower_ascii_in_place(d, name.size());
  return {d, name.size()};
}

bool HeaderMap::Builder::add_from_block(std::string_view lname, std::string_view value) {
  assert(value.data() >= src_ && value.data() + value.size() <= src_ + src_len_);
  if (map_.full()) return false;
  uint32_t name_off = uint32_t(lname.data() - map_.arena_.data());
  uint32_t value_off = uint32_t(value.data() - src_);
  uint32_t h = hash_name(lname);
  int32_t e = map_.find(lname, h);
  map_.link_value(e, name_off, uint32_t(lname.size()), h, map_.add_value_row(value_off, uint32_t(value.size())));
  return true;
}

bool HeaderMap::Builder::remove(std::string_view lname) noexcept {
  int32_t e = map_.find(lname);
  if (e < 0) return false;
  map_.erase_entry(e);
  return true;
}

HeaderMap HeaderMap::Builder::finish() && noexcept {
  src_ = nullptr;
  src_len_ = 0;
  HeaderMap out = std::move(map_);
  map_.clear();
  return out;
}

}  // namespace velmora::http
