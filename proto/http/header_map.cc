#include "proto/http/header_map.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

namespace velmora::http {

namespace {

// Offsets into the arena and indexes into the value table are 32-bit: a map
// refuses what would take either past that range rather than wrap.
bool fits(size_t arena_bytes, size_t values, size_t more_bytes) noexcept {
  return values < size_t(INT32_MAX) && more_bytes <= UINT32_MAX - std::min<size_t>(arena_bytes, UINT32_MAX);
}

// A reservation is a hint: past these, growth by doubling takes over, so a
// caller's estimate can never reserve more than a map of that size needs.
constexpr size_t kMaxValueHint = size_t(1) << 16;
constexpr size_t kMaxByteHint = size_t(1) << 20;

// Smallest sections a growing map allocates.
constexpr size_t kMinEntries = 4, kMinBytes = 64;

size_t grown(size_t have, size_t need, size_t floor, size_t most) noexcept {
  if (need <= have) return have;
  return std::max({need, std::min(have * 2, most), floor});
}

}  // namespace

size_t HeaderMap::Layout::total() const noexcept {
  return size_t(slots) * sizeof(int32_t) + size_t(entries) * sizeof(Entry) + size_t(values) * sizeof(Value) + bytes;
}

HeaderMap::HeaderMap(const HeaderMap& o) { *this = o; }

HeaderMap& HeaderMap::operator=(const HeaderMap& o) {
  if (this == &o) return *this;
  if (o.nentries_ == 0 && o.nbytes_ == 0) {  // a map without fields may still hold stashed bytes
    clear();
    return *this;
  }
  bool room = cap_.entries >= o.nentries_ && cap_.values >= o.nvalues_ && cap_.bytes >= o.nbytes_ &&
              cap_.slots >= slots_for(o.nentries_);
  if (!room) {
    // The copy gets the same index size, so the index copies as it is.
    Layout l{o.cap_.slots, o.nentries_, o.nvalues_, o.nbytes_};
    char* mem = static_cast<char*>(::operator new(l.total()));
    ::operator delete(mem_);
    attach(mem, l);
  }
  std::memcpy(entries_, o.entries_, size_t(o.nentries_) * sizeof(Entry));
  std::memcpy(values_, o.values_, size_t(o.nvalues_) * sizeof(Value));
  if (o.nbytes_) std::memcpy(bytes_, o.bytes_, o.nbytes_);
  nentries_ = o.nentries_;
  nvalues_ = o.nvalues_;
  nbytes_ = o.nbytes_;
  live_values_ = o.live_values_;
  dead_bytes_ = o.dead_bytes_;
  dead_values_ = o.dead_values_;
  if (cap_.slots == o.cap_.slots)
    std::memcpy(index_, o.index_, size_t(cap_.slots) * sizeof(int32_t));
  else
    rebuild_index();
  return *this;
}

void HeaderMap::attach(char* mem, const Layout& l) noexcept {
  mem_ = mem;
  cap_ = l;
  index_ = reinterpret_cast<int32_t*>(mem);
  entries_ = reinterpret_cast<Entry*>(mem + size_t(l.slots) * sizeof(int32_t));
  values_ = reinterpret_cast<Value*>(reinterpret_cast<char*>(entries_) + size_t(l.entries) * sizeof(Entry));
  bytes_ = reinterpret_cast<char*>(values_) + size_t(l.values) * sizeof(Value);
}

uint32_t HeaderMap::slots_for(size_t entries) noexcept {
  if (entries == 0) return 0;
  uint32_t s = 16;
  while (size_t(s) * 3 < entries * 4 && s < kMaxSlots) s *= 2;
  return s;
}

void HeaderMap::relayout(const Layout& l) {
  char* mem = static_cast<char*>(::operator new(l.total()));
  char* old = mem_;
  const int32_t* oi = index_;
  const Entry* oe = entries_;
  const Value* ov = values_;
  const char* ob = bytes_;
  uint32_t old_slots = cap_.slots;
  attach(mem, l);
  if (nentries_) std::memcpy(entries_, oe, size_t(nentries_) * sizeof(Entry));
  if (nvalues_) std::memcpy(values_, ov, size_t(nvalues_) * sizeof(Value));
  if (nbytes_) std::memcpy(bytes_, ob, nbytes_);
  if (l.slots == old_slots) {
    if (l.slots) std::memcpy(index_, oi, size_t(l.slots) * sizeof(int32_t));
  } else {
    rebuild_index();
  }
  ::operator delete(old);
}

void HeaderMap::ensure(size_t entries, size_t values, size_t bytes) {
  if (entries <= cap_.entries && values <= cap_.values && bytes <= cap_.bytes) return;
  Layout l;
  l.entries = uint32_t(grown(cap_.entries, entries, kMinEntries, kMaxNames));
  l.values = uint32_t(grown(cap_.values, values, kMinEntries, size_t(INT32_MAX)));
  l.bytes = grown(cap_.bytes, bytes, kMinBytes, UINT32_MAX);
  l.slots = std::max(cap_.slots, slots_for(l.entries));
  relayout(l);
}

void HeaderMap::reserve(size_t names, size_t bytes) {
  names = std::min<size_t>(names, kMaxNames);
  size_t values = std::min(names, kMaxValueHint);
  bytes = std::min(bytes, kMaxByteHint);
  if (names == 0 && bytes == 0) return;
  ensure(nentries_ + names, nvalues_ + values, nbytes_ + bytes);
}

void HeaderMap::rebuild_index() noexcept {
  if (cap_.slots == 0) return;
  std::memset(index_, 0xff, size_t(cap_.slots) * sizeof(int32_t));
  for (uint32_t i = 0; i < nentries_; ++i) index_insert(entries_[i].hash, int32_t(i));
}


uint32_t HeaderMap::hash_name(std::string_view s) noexcept {
  return detail::hash_bytes(s.data(), s.size());
}

uint32_t HeaderMap::put_bytes(std::string_view s) noexcept {
  uint32_t off = uint32_t(nbytes_);
  if (!s.empty()) std::memcpy(bytes_ + nbytes_, s.data(), s.size());
  nbytes_ += s.size();
  return off;
}

void HeaderMap::index_insert(uint32_t h, int32_t entry) noexcept {
  size_t mask = cap_.slots - 1;
  size_t s = h & mask;
  while (index_[s] >= 0) s = (s + 1) & mask;
  index_[s] = entry;
}

void HeaderMap::link_value(int32_t e, uint32_t name_off, uint32_t name_len, uint32_t h, int32_t v) noexcept {
  if (e >= 0) {
    Entry& en = entries_[size_t(e)];
    values_[size_t(en.tail)].next = v;
    en.tail = v;
    ++en.nvalues;
    return;
  }
  entries_[nentries_] = Entry{name_off, name_len, h, v, v, 1};
  index_insert(h, int32_t(nentries_));
  ++nentries_;
}

bool HeaderMap::append(std::string_view lname, std::string_view value) {
  if (full() || !fits(nbytes_, nvalues_, lname.size() + value.size())) return false;
  uint32_t h = hash_name(lname);
  int32_t e = find(lname, h);
  bool fresh = e < 0;
  ensure(nentries_ + fresh, nvalues_ + 1, nbytes_ + (fresh ? lname.size() : 0) + value.size());
  uint32_t name_off = fresh ? put_bytes(lname) : 0;
  uint32_t value_off = put_bytes(value);
  link_value(e, name_off, uint32_t(lname.size()), h, add_value_row(value_off, uint32_t(value.size())));
  return true;
}

bool HeaderMap::replace(std::string_view lname, std::string_view value) {
  if (full() || !fits(nbytes_, nvalues_, lname.size() + value.size())) return false;
  uint32_t h = hash_name(lname);
  int32_t e = find(lname, h);
  if (e < 0) return append(lname, value);
  ensure(nentries_, nvalues_ + 1, nbytes_ + value.size());
  for (int32_t v = entries_[size_t(e)].head; v >= 0; v = values_[size_t(v)].next) {
    dead_bytes_ += values_[size_t(v)].len;
    ++dead_values_;
    --live_values_;
  }
  int32_t v = add_value_row(put_bytes(value), uint32_t(value.size()));
  Entry& en = entries_[size_t(e)];
  en.head = en.tail = v;
  en.nvalues = 1;
  maybe_compact();
  return true;
}

size_t HeaderMap::slot_of(int32_t entry) const noexcept {
  size_t mask = cap_.slots - 1;
  size_t s = entries_[size_t(entry)].hash & mask;
  while (index_[s] != entry) s = (s + 1) & mask;
  return s;
}

void HeaderMap::index_erase(size_t slot) noexcept {
  // Backward-shift deletion keeps linear probing free of tombstones.
  size_t mask = cap_.slots - 1;
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
  int32_t last = int32_t(nentries_ - 1);
  if (e != last) {
    size_t s = slot_of(last);
    entries_[size_t(e)] = entries_[size_t(last)];
    index_[s] = e;
  }
  --nentries_;
}

bool HeaderMap::remove(std::string_view lname) {
  int32_t e = find(lname);
  if (e < 0) return false;
  erase_entry(e);
  if (nentries_ == 0) {
    clear();
  } else {
    maybe_compact();
  }
  return true;
}

void HeaderMap::clear() noexcept {
  if (cap_.slots) std::memset(index_, 0xff, size_t(cap_.slots) * sizeof(int32_t));
  nentries_ = nvalues_ = 0;
  nbytes_ = live_values_ = dead_bytes_ = dead_values_ = 0;
}

void HeaderMap::maybe_compact() {
  // Rewrite the arena and the value table once garbage outweighs live data,
  // so repeated replace/remove cycles cannot grow a map without bound.
  if (dead_bytes_ + dead_values_ * sizeof(Value) < 4096 || dead_bytes_ * 2 < nbytes_) return;
  Layout l = cap_;
  l.values = uint32_t(std::max<size_t>(live_values_, kMinEntries));
  l.bytes = std::max<size_t>(nbytes_ - dead_bytes_, kMinBytes);
  char* mem = static_cast<char*>(::operator new(l.total()));
  char* old = mem_;
  const int32_t* oi = index_;
  const Entry* oe = entries_;
  const Value* ov = values_;
  const char* ob = bytes_;
  attach(mem, l);
  std::memcpy(index_, oi, size_t(l.slots) * sizeof(int32_t));
  std::memcpy(entries_, oe, size_t(nentries_) * sizeof(Entry));
  size_t nb = 0;
  uint32_t nv = 0;
  for (uint32_t i = 0; i < nentries_; ++i) {
    Entry& en = entries_[i];
    std::memcpy(bytes_ + nb, ob + en.name_off, en.name_len);
    en.name_off = uint32_t(nb);
    nb += en.name_len;
    int32_t head = -1, prev = -1;
    for (int32_t v = en.head; v >= 0; v = ov[size_t(v)].next) {
      const Value& old_value = ov[size_t(v)];
      values_[nv] = Value{uint32_t(nb), old_value.len, -1};
      std::memcpy(bytes_ + nb, ob + old_value.off, old_value.len);
      nb += old_value.len;
      if (prev >= 0) values_[size_t(prev)].next = int32_t(nv); else head = int32_t(nv);
      prev = int32_t(nv++);
    }
    en.head = head;
    en.tail = prev;
  }
  ::operator delete(old);
  nvalues_ = nv;
  nbytes_ = nb;
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

bool HeaderMap::operator==(const HeaderMap& o) const noexcept {
  if (this == &o) return true;
  if (live_values_ != o.live_values_ || nentries_ != o.nentries_) return false;
  for (uint32_t i = 0; i < nentries_; ++i) {
    const Entry& en = entries_[i];
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

// ---- Builder ------------------------------------------------------------------

HeaderMap::Builder::Builder(size_t fields, size_t bytes) { map_.reserve(fields, bytes); }

HeaderMap::Builder::Builder(HeaderMap&& storage, size_t fields, size_t bytes) : map_(std::move(storage)) {
  map_.clear();
  map_.reserve(fields, bytes);
}

bool HeaderMap::Builder::stash(std::string_view bytes, uint32_t& off) {
  if (!fits(map_.nbytes_, map_.nvalues_, bytes.size())) return false;
  map_.ensure(map_.nentries_, map_.nvalues_, map_.nbytes_ + bytes.size());
  off = map_.put_bytes(bytes);
  return true;
}

HeaderMap::Builder::Builder(std::string_view block, size_t fields) : src_(block.data()), src_len_(block.size()) {
  // With no field to refer to it, the block is not copied at all.
  if (fields == 0) return;
  // One allocation sized for the head: one entry and one value per line.
  Layout l;
  l.entries = uint32_t(std::min<size_t>(fields, kMaxNames));
  l.values = uint32_t(std::min<size_t>(fields, size_t(INT32_MAX)));
  l.bytes = block.size();
  l.slots = slots_for(l.entries);
  map_.attach(static_cast<char*>(::operator new(l.total())), l);
  std::memset(map_.index_, 0xff, size_t(l.slots) * sizeof(int32_t));
  std::memcpy(map_.bytes_, block.data(), block.size());
  map_.nbytes_ = block.size();
}

bool HeaderMap::Builder::add(std::string_view lname, std::string_view value) { return map_.append(lname, value); }

bool HeaderMap::Builder::add_from_block_slow(uint32_t name_off, uint32_t name_len, uint32_t h, uint32_t value_off,
                                             uint32_t value_len) {
  if (map_.full() || map_.nvalues_ >= uint32_t(INT32_MAX)) return false;
  int32_t e = map_.find(std::string_view(map_.bytes_ + name_off, name_len), h);
  if (map_.nentries_ + (e < 0) > map_.cap_.entries || map_.nvalues_ + 1 > map_.cap_.values)
    map_.ensure(map_.nentries_ + (e < 0), map_.nvalues_ + 1, map_.nbytes_);
  map_.link_value(e, name_off, name_len, h, map_.add_value_row(value_off, value_len));
  return true;
}

bool HeaderMap::Builder::remove(std::string_view lname) noexcept {
  int32_t e = map_.find(lname);
  if (e < 0) return false;
  map_.erase_entry(e);
  return true;
}

}  // namespace velmora::http
