// The header collection: ordered by first appearance of a name, names
// case-insensitive (stored lowercase), several values per name kept together.
//
// Storage is one allocation in four sections: an open-addressing index from
// name to entry, an entry table in name order, a value table whose rows are
// chained per entry, and a byte arena holding every name and value. Building
// a map from a parsed head therefore costs one allocation and one copy of the
// head, and copying a map copies one block.
//
// Names given to the mutators must already be valid tokens in lowercase
// (see fields.h); values must already pass is_valid_value(). A decoded head
// or header block is built through HeaderMap::Builder (below).
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "proto/http/header_hash.h"

namespace velmora::http {

class HeaderMap {
 public:
  // The index has at most this many slots and stays at most 3/4 full.
  static constexpr uint32_t kMaxSlots = 32768;
  static constexpr uint32_t kMaxNames = kMaxSlots / 4 * 3;  // 24576

  HeaderMap() = default;
  HeaderMap(const HeaderMap& o);
  HeaderMap(HeaderMap&& o) noexcept { steal(o); }
  // Copying into a map whose storage is large enough reuses it.
  HeaderMap& operator=(const HeaderMap& o);
  HeaderMap& operator=(HeaderMap&& o) noexcept {
    if (this != &o) {
      ::operator delete(mem_);
      steal(o);
    }
    return *this;
  }
  ~HeaderMap() { ::operator delete(mem_); }

  // False when the map is full (kMaxNames distinct names, or names and values
  // past 4 GiB in all): nothing changes.
  // The views must not point into this map.
  [[nodiscard]] bool append(std::string_view lname, std::string_view value);
  // Replaces every value of `lname` by `value`, keeping the name's position.
  [[nodiscard]] bool replace(std::string_view lname, std::string_view value);
  // Swap removal: the last entry takes the removed one's position.
  bool remove(std::string_view lname);
  // Empties the map, keeping its storage.
  void clear() noexcept;
  bool full() const noexcept { return nentries_ >= kMaxNames; }

  bool contains(std::string_view lname) const noexcept { return find(lname) >= 0; }
  // The position of `lname` in iteration order (an index for name_at()), or
  // -1 when absent. Positions hold until the map is changed.
  int32_t position(std::string_view lname) const noexcept { return find(lname); }
  // position() of `name` in any case, as a caller gave it: the hash and the
  // compare fold 'A'-'Z' as they read, so the name is neither copied nor
  // checked. A name found this way is a valid one (every stored name is a
  // lowercase token, and nothing but 'A'-'Z' is folded); one that is not
  // found may be invalid.
  int32_t position_folded(std::string_view name) const noexcept;
  // The first value of the name at position i.
  std::string_view first_at(size_t i) const noexcept {
    const Value& v = values_[size_t(entries_[i].head)];
    return view(v.off, v.len);
  }
  // First value, or nullptr-data view with ok=false.
  bool first(std::string_view lname, std::string_view& out) const noexcept;
  size_t count(std::string_view lname) const noexcept;

  size_t size() const noexcept { return live_values_; }  // every value
  size_t name_count() const noexcept { return nentries_; }
  // Bytes of names and values stored (removed ones included until compacted).
  size_t stored_bytes() const noexcept { return nbytes_; }
  // Bytes of the one allocation the map holds (0: none).
  size_t storage_size() const noexcept { return mem_ ? cap_.total() : 0; }
  bool empty() const noexcept { return nentries_ == 0; }

  // The bytes at [off, off + len) of the block a block builder copied in
  // (Builder below), which starts the arena, or of bytes a builder stashed.
  // Valid until the map is changed: a change may compact them away.
  std::string_view block_bytes(size_t off, size_t len) const noexcept { return {bytes_ + off, len}; }

  // Entry access in iteration order.
  std::string_view name_at(size_t i) const noexcept {
    return view(entries_[i].name_off, entries_[i].name_len);
  }
  template <class F>  // f(std::string_view value)
  void for_each_value(size_t i, F&& f) const {
    for (int32_t v = entries_[i].head; v >= 0; v = values_[v].next) f(view(values_[v].off, values_[v].len));
  }
  template <class F>  // f(std::string_view name, std::string_view value)
  void for_each(F&& f) const {
    for (size_t i = 0; i < nentries_; ++i) {
      std::string_view n = name_at(i);
      for (int32_t v = entries_[i].head; v >= 0; v = values_[v].next) f(n, view(values_[v].off, values_[v].len));
    }
  }
  template <class F>  // f(std::string_view value) for every value of lname
  void for_each_of(std::string_view lname, F&& f) const {
    int32_t e = find(lname);
    if (e >= 0) for_each_value(size_t(e), f);
  }

  // Same number of values and, name by name, the same ordered values.
  bool operator==(const HeaderMap& o) const noexcept;

  // Room for `names` more names with one value each and `bytes` more bytes of
  // names and values, in one allocation. A hint: what a map can never hold
  // (names past kMaxNames) is not reserved.
  void reserve(size_t names, size_t bytes);

  class Builder;

 private:
  struct Entry {
    uint32_t name_off, name_len;
    uint32_t hash;
    int32_t head, tail;  // chain in values_
    uint32_t nvalues;
  };
  struct Value {
    uint32_t off, len;
    int32_t next;
  };

  struct Layout {
    uint32_t slots = 0, entries = 0, values = 0;
    size_t bytes = 0;
    size_t total() const noexcept;
  };

  std::string_view view(uint32_t off, uint32_t len) const noexcept { return {bytes_ + off, len}; }
  // Takes o's storage and contents, leaving o empty without storage. Inline:
  // a map built for a head is moved out of its builder and into the head.
  void steal(HeaderMap& o) noexcept {
    mem_ = std::exchange(o.mem_, nullptr);
    index_ = std::exchange(o.index_, nullptr);
    entries_ = std::exchange(o.entries_, nullptr);
    values_ = std::exchange(o.values_, nullptr);
    bytes_ = std::exchange(o.bytes_, nullptr);
    cap_ = std::exchange(o.cap_, Layout{});
    nentries_ = std::exchange(o.nentries_, 0);
    nvalues_ = std::exchange(o.nvalues_, 0);
    nbytes_ = std::exchange(o.nbytes_, 0);
    live_values_ = std::exchange(o.live_values_, 0);
    dead_bytes_ = std::exchange(o.dead_bytes_, 0);
    dead_values_ = std::exchange(o.dead_values_, 0);
  }
  static uint32_t hash_name(std::string_view s) noexcept;
  int32_t find(std::string_view lname) const noexcept { return find(lname, hash_name(lname)); }
  int32_t find(std::string_view lname, uint32_t h) const noexcept;
  // Makes room for `entries` entries, `values` value rows and `bytes` arena
  // bytes in all, reallocating (to at least twice the short sections) when
  // the storage is too small. Offsets and indexes stay valid; pointers into
  // the arena do not survive a reallocation.
  void ensure(size_t entries, size_t values, size_t bytes);
  void relayout(const Layout& l);
  void attach(char* mem, const Layout& l) noexcept;
  static uint32_t slots_for(size_t entries) noexcept;
  uint32_t put_bytes(std::string_view s) noexcept;
  int32_t add_value_row(uint32_t off, uint32_t len) noexcept {
    values_[nvalues_] = Value{off, len, -1};
    ++live_values_;
    return int32_t(nvalues_++);
  }
  // Chains value row `v` onto entry `e`, or, when e < 0, onto a new entry
  // whose name is already stored at [name_off, name_off + name_len). Room
  // must have been ensured.
  void link_value(int32_t e, uint32_t name_off, uint32_t name_len, uint32_t h, int32_t v) noexcept;
  void index_insert(uint32_t h, int32_t entry) noexcept;
  void rebuild_index() noexcept;
  size_t slot_of(int32_t entry) const noexcept;
  void index_erase(size_t slot) noexcept;
  void maybe_compact();
  // Unlinks entry `e` and its values; no compaction, the arena is untouched.
  void erase_entry(int32_t e) noexcept;
  void release() noexcept;

  char* mem_ = nullptr;  // the one allocation; index_ points at its start
  int32_t* index_ = nullptr;  // slot_cap_ slots, -1 = empty; 0 or a power of two
  Entry* entries_ = nullptr;
  Value* values_ = nullptr;
  char* bytes_ = nullptr;
  Layout cap_;
  uint32_t nentries_ = 0, nvalues_ = 0;
  size_t nbytes_ = 0;
  size_t live_values_ = 0;
  size_t dead_bytes_ = 0;
  size_t dead_values_ = 0;
};

// Builds one decoded header block (an HTTP/1 head, an HTTP/2 HEADERS block
// with its CONTINUATION fragments) straight into a map that nobody else can
// see: the builder owns the map from construction until finish() hands it
// over. Destroying a builder that was not finished discards what it built
// (that is how a failed block is abandoned); nothing outside changes.
//
// Two ways to feed it, which may be mixed:
// - add(lname, value): the name must be a non-empty token in lowercase, the
//   value bytes must pass is_valid_value(). Neither is checked here: the
//   caller validates with the field scanners (field_scan.h) and decides what
//   an invalid field means for its protocol. The bytes are copied (the name
//   only the first time it appears), so the views need not outlive the call.
// - Block builders (the second constructor) copy one block of bytes, such as
//   an HTTP/1 head, into the map once; lower_name() and add_from_block() then
//   refer to that copy, so no name or value is copied again.
//
// Values of one name are kept in the order they were added, names in the
// order they first appeared. While building, removals never move the bytes
// already stored, so a view that lower_name() returned stays valid until the
// next add(), or the next add_from_block() past the announced field count.
// Views given to add() must not point into the map being built.
//
// The name bound: once the map holds HeaderMap::kMaxNames distinct names, or
// its names and values would pass 4 GiB in all, add() and add_from_block()
// answer false and change nothing, for a name already present too. The
// builder stays usable (a caller may keep going and drop further fields, as
// HTTP/2 does past its list size, or abandon the block).
class HeaderMap::Builder {
 public:
  // An empty map. `fields` and `bytes` (names plus values) size the first
  // allocation; they are hints, not limits.
  explicit Builder(size_t fields = 0, size_t bytes = 0);
  // An empty map built in the storage of `storage` (whose contents are
  // dropped), grown only when it is smaller than the hints ask: a caller that
  // keeps the maps it is done with builds the next ones without allocating.
  Builder(HeaderMap&& storage, size_t fields, size_t bytes);
  // A map over a copy of `block`, sized in one allocation for the `fields`
  // fields that will be added from it (one value each). With `fields` 0 the
  // block is not copied and lower_name()/add_from_block() must not be used.
  Builder(std::string_view block, size_t fields);
  Builder(Builder&&) noexcept = default;
  Builder& operator=(Builder&&) noexcept = default;
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  [[nodiscard]] bool add(std::string_view lname, std::string_view value);

  // Block builders only. `name` is a view into the block given at
  // construction and must be a token (the caller has tokenized the block).
  // Lowercases it in the map's copy and returns that lowercase view.
  std::string_view lower_name(std::string_view name) noexcept;
  // Block builders only. Appends a field whose name is a view that
  // lower_name() returned and whose value is a view into the block given at
  // construction (valid value bytes).
  [[nodiscard]] bool add_from_block(std::string_view lname, std::string_view value);

  // Stores `bytes` in the map's arena without making them a field, for
  // values that travel with the block but are none of its fields (HTTP/2
  // pseudo-headers): they are then at block_bytes(off, bytes.size()) of the
  // map, this builder's and the finished one's, until that map is changed.
  // False, with nothing stored, when the arena would pass 4 GiB.
  [[nodiscard]] bool stash(std::string_view bytes, uint32_t& off);

  // Removes `lname` with all its values; false when absent. The position of
  // the last name moves into the removed one's (as HeaderMap::remove).
  bool remove(std::string_view lname) noexcept;

  // What has been built so far, for reading.
  const HeaderMap& map() const noexcept { return map_; }

  // Hands the map over. The builder is left empty, as if default-constructed.
  [[nodiscard]] HeaderMap finish() && noexcept {
    src_ = nullptr;
    src_len_ = 0;
    return std::move(map_);
  }

  class Fields;

 private:
  // add_from_block() past the room the builder reserved, or on a full map:
  // the bound, then find, grow, link. Offsets are into the block's copy.
  bool add_from_block_slow(uint32_t name_off, uint32_t name_len, uint32_t h, uint32_t value_off,
                           uint32_t value_len);

  HeaderMap map_;
  const char* src_ = nullptr;  // block builders: the caller's block
  size_t src_len_ = 0;
  const char* last_name_ = nullptr;  // what lower_name() returned last, and its hash
  uint32_t last_hash_ = 0;
};

// Inline: every lookup runs it, and it is a few instructions when the name's
// slot is the first probed.
inline int32_t HeaderMap::find(std::string_view lname, uint32_t h) const noexcept {
  if (cap_.slots == 0) return -1;
  const size_t mask = cap_.slots - 1;
  for (size_t s = h & mask;; s = (s + 1) & mask) {
    const int32_t e = index_[s];
    if (e < 0) return -1;
    const Entry& en = entries_[size_t(e)];
    if (en.hash == h && en.name_len == lname.size() &&
        std::memcmp(bytes_ + en.name_off, lname.data(), lname.size()) == 0)
      return e;
  }
}

inline int32_t HeaderMap::position_folded(std::string_view name) const noexcept {
  using detail::load;
  using detail::lower_word;
  if (cap_.slots == 0) return -1;
  const char* p = name.data();
  const size_t n = name.size();
  const uint32_t h = detail::hash_words(p, n, [](uint64_t w) { return lower_word(w); });
  const size_t mask = cap_.slots - 1;
  for (size_t s = h & mask;; s = (s + 1) & mask) {
    const int32_t e = index_[s];
    if (e < 0) return -1;
    const Entry& en = entries_[size_t(e)];
    if (en.hash != h || en.name_len != n) continue;
    const char* q = bytes_ + en.name_off;
    bool same = true;
    if (n >= 8) {
      for (size_t i = 0; same && i + 8 < n; i += 8)
        same = lower_word(load(p + i, 8)) == load(q + i, 8);
      same = same && lower_word(load(p + n - 8, 8)) == load(q + n - 8, 8);
    } else {
      for (size_t i = 0; same && i < n; ++i) same = (lower_word(load(p + i, 1)) & 0xff) == load(q + i, 1);
    }
    if (same) return e;
  }
}

// ---- the builder's per-field steps, inline: they run once per field ----------

inline std::string_view HeaderMap::Builder::lower_name(std::string_view name) noexcept {
  assert(name.data() >= src_ && name.data() + name.size() <= src_ + src_len_);
  char* d = map_.bytes_ + (name.data() - src_);
  // The hash comes from the same pass; add_from_block() picks it up. The
  // room is what the map's copy of the block holds from the name on: the
  // 16-byte store may pass the name by up to 15 bytes, but only inside that
  // copy, which this builder alone owns while it builds, and it writes those
  // bytes back as it read them.
  last_hash_ = detail::lower_and_hash(d, name.size(), src_len_ - size_t(name.data() - src_));
  last_name_ = d;
  return {d, name.size()};
}

inline bool HeaderMap::Builder::add_from_block(std::string_view lname, std::string_view value) {
  assert(value.data() >= src_ && value.data() + value.size() <= src_ + src_len_);
  HeaderMap& m = map_;
  const uint32_t h = lname.data() == last_name_ ? last_hash_ : hash_name(lname);
  const uint32_t name_off = uint32_t(lname.data() - m.bytes_);
  // The builder sized the map for its fields, so there is usually room for a
  // new name and value. Then one probe of the index finds either the name or
  // the free slot a new name takes, instead of a find() and a second probe to
  // insert. The index is at most 3/4 full, so the probe meets a free slot.
  if (m.full() || m.cap_.slots == 0 || m.nentries_ >= m.cap_.entries || m.nvalues_ >= m.cap_.values) [[unlikely]]
    return add_from_block_slow(name_off, uint32_t(lname.size()), h, uint32_t(value.data() - src_),
                               uint32_t(value.size()));
  const int32_t v = m.add_value_row(uint32_t(value.data() - src_), uint32_t(value.size()));
  const size_t mask = m.cap_.slots - 1;
  size_t s = h & mask;
  for (int32_t e; (e = m.index_[s]) >= 0; s = (s + 1) & mask) {
    const Entry& en = m.entries_[size_t(e)];
    if (en.hash == h && m.view(en.name_off, en.name_len) == lname) {
      m.link_value(e, name_off, uint32_t(lname.size()), h, v);
      return true;
    }
  }
  m.entries_[m.nentries_] = Entry{name_off, uint32_t(lname.size()), h, v, v, 1};
  m.index_[s] = int32_t(m.nentries_);
  ++m.nentries_;
  return true;
}

// A block builder's per-field steps for a loop over a whole block, with the
// block's fields given as offsets into it. The map's storage pointers and
// counts are copied into this object, which the loop keeps on its own stack
// and never hands out, so they stay in registers across the loop: the same
// steps through the builder reload them after every byte stored into the
// block's copy, since a char store may alias anything.
//
// While a Fields is open, its builder is used only through it; close() puts
// the counts back (before finish(), or before the builder is read). Every
// member is inline; the rare steps (growth past the announced field count,
// a full map, a removal) go through the builder out of line and reopen.
class HeaderMap::Builder::Fields {
 public:
  explicit Fields(Builder& b) noexcept : b_(b) { open(); }
  Fields(const Fields&) = delete;
  Fields& operator=(const Fields&) = delete;

  // Lowercases the name at [off, off + len) of the block's copy (a token)
  // and returns its hash, computed in the same pass. The 16-byte store may
  // pass the name by up to 15 bytes, never beyond the copy's nbytes_ (the
  // room given), which the builder alone owns while it builds; those bytes
  // are written back as they were read.
  uint32_t lower(uint32_t off, uint32_t len) noexcept {
    return detail::lower_and_hash(bytes_ + off, len, nbytes_ - off);
  }
  // The lowercase name lower() left at [off, off + len).
  std::string_view name(uint32_t off, uint32_t len) const noexcept { return {bytes_ + off, len}; }

  // Appends the field whose name lower() returned `h` for and whose value is
  // at [value_off, value_off + value_len) of the block. False when the map is
  // full, as add_from_block().
  [[nodiscard]] bool add(uint32_t name_off, uint32_t name_len, uint32_t h, uint32_t value_off,
                         uint32_t value_len) {
    if (room_ == 0) [[unlikely]]
      return add_slow(name_off, name_len, h, value_off, value_len);
    --room_;
    const int32_t v = int32_t(nvalues_++);
    values_[v] = Value{value_off, value_len, -1};
    for (size_t s = h & mask_;; s = (s + 1) & mask_) {
      const int32_t e = index_[s];
      if (e < 0) {
        entries_[nentries_] = Entry{name_off, name_len, h, v, v, 1};
        index_[s] = int32_t(nentries_++);
        return true;
      }
      Entry& en = entries_[size_t(e)];
      if (en.hash == h && en.name_len == name_len && std::memcmp(bytes_ + en.name_off, bytes_ + name_off, name_len) == 0) {
        values_[size_t(en.tail)].next = v;
        en.tail = v;
        ++en.nvalues;
        return true;
      }
    }
  }

  // Builder::remove(), with the counts put back first.
  bool remove(std::string_view lname) noexcept {
    close();
    const bool removed = b_.remove(lname);
    open();
    return removed;
  }

  // Puts the counts back into the builder. The Fields may be used again
  // only after it reopens (any of its steps but name() and lower() does).
  void close() noexcept {
    b_.map_.nentries_ = nentries_;
    b_.map_.live_values_ += nvalues_ - b_.map_.nvalues_;
    b_.map_.nvalues_ = nvalues_;
  }

 private:
  void open() noexcept {
    const HeaderMap& m = b_.map_;
    bytes_ = m.bytes_;
    nbytes_ = m.nbytes_;
    index_ = m.index_;
    entries_ = m.entries_;
    values_ = m.values_;
    mask_ = m.cap_.slots ? m.cap_.slots - 1 : 0;
    nentries_ = m.nentries_;
    nvalues_ = m.nvalues_;
    // Each field takes at most one entry and one value row. A full map, or
    // one without an index, takes the slow path for every field.
    const uint32_t entries = m.cap_.slots ? std::min(m.cap_.entries, kMaxNames) : 0;
    room_ = std::min(entries - std::min(entries, nentries_), m.cap_.values - nvalues_);
  }
  bool add_slow(uint32_t name_off, uint32_t name_len, uint32_t h, uint32_t value_off, uint32_t value_len) {
    close();
    const bool added = b_.add_from_block_slow(name_off, name_len, h, value_off, value_len);
    open();
    return added;
  }

  Builder& b_;
  char* bytes_;
  size_t nbytes_;  // the block's bytes and any added after them
  int32_t* index_;
  Entry* entries_;
  Value* values_;
  size_t mask_;
  uint32_t nentries_, nvalues_;
  uint32_t room_;  // fields that surely fit in the room reserved
};

}  // namespace velmora::http
