// HPACK tables: the static table of RFC 7541 Appendix A and the dynamic
// table of section 4 (FIFO of fields, size = name + value + 32 per entry),
// plus the encoder's variant that finds entries in constant time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace velmora::h2::hpack {

inline constexpr uint32_t kEntryOverhead = 32;
// Largest max size a dynamic table takes; larger settings are clamped (ring
// offsets are 32-bit, and nobody advertises a gigabyte of header table).
inline constexpr uint32_t kMaxTableSize = 1u << 30;
inline constexpr uint32_t kStaticCount = 61;

struct StaticEntry {
  std::string_view name, value;
};

// RFC 7541 Appendix A, index 1 first.
inline constexpr StaticEntry kStaticTable[kStaticCount] = {
    {":authority", ""},
    {":method", "GET"},
    {":method", "POST"},
    {":path", "/"},
    {":path", "/index.html"},
    {":scheme", "http"},
    {":scheme", "https"},
    {":status", "200"},
    {":status", "204"},
    {":status", "206"},
    {":status", "304"},
    {":status", "400"},
    {":status", "404"},
    {":status", "500"},
    {"accept-charset", ""},
    {"accept-encoding", "gzip, deflate"},
    {"accept-language", ""},
    {"accept-ranges", ""},
    {"accept", ""},
    {"access-control-allow-origin", ""},
    {"age", ""},
    {"allow", ""},
    {"authorization", ""},
    {"cache-control", ""},
    {"content-disposition", ""},
    {"content-encoding", ""},
    {"content-language", ""},
    {"content-length", ""},
    {"content-location", ""},
    {"content-range", ""},
    {"content-type", ""},
    {"cookie", ""},
    {"date", ""},
    {"etag", ""},
    {"expect", ""},
    {"expires", ""},
    {"from", ""},
    {"host", ""},
    {"if-match", ""},
    {"if-modified-since", ""},
    {"if-none-match", ""},
    {"if-range", ""},
    {"if-unmodified-since", ""},
    {"last-modified", ""},
    {"link", ""},
    {"location", ""},
    {"max-forwards", ""},
    {"proxy-authenticate", ""},
    {"proxy-authorization", ""},
    {"range", ""},
    {"referer", ""},
    {"refresh", ""},
    {"retry-after", ""},
    {"server", ""},
    {"set-cookie", ""},
    {"strict-transport-security", ""},
    {"transfer-encoding", ""},
    {"user-agent", ""},
    {"vary", ""},
    {"via", ""},
    {"www-authenticate", ""},
};

// Entry `i` (1..61) of the static table; `i` must be in range.
inline const StaticEntry& static_entry(uint32_t i) noexcept { return kStaticTable[i - 1]; }

// Octet equality of two strings, inlined: header names and most values are
// short, and a library call costs more than comparing them.
inline bool same_octets(std::string_view a, std::string_view b) noexcept {
  size_t n = a.size();
  if (n != b.size()) return false;
  const char *p = a.data(), *q = b.data();
  auto w64 = [](const char* x) {
    uint64_t w;
    std::memcpy(&w, x, 8);
    return w;
  };
  auto w32 = [](const char* x) {
    uint32_t w;
    std::memcpy(&w, x, 4);
    return w;
  };
  if (n >= 8) {
    if (n > 32) return std::memcmp(p, q, n) == 0;
    for (size_t i = 0; i + 8 < n; i += 8)
      if (w64(p + i) != w64(q + i)) return false;
    return w64(p + n - 8) == w64(q + n - 8);
  }
  if (n >= 4) return ((w32(p) ^ w32(q)) | (w32(p + n - 4) ^ w32(q + n - 4))) == 0;
  for (size_t i = 0; i < n; ++i)
    if (p[i] != q[i]) return false;
  return true;
}

// A field with its hashes: the name's, for the name index, and the pair's,
// for the (name, value) index. The encoder computes the pair hash alone on
// the way to a lookup and the name hash only when it needs it.
struct FieldKey {
  std::string_view name, value;
  uint32_t name_hash, pair_hash;
};
FieldKey field_key(std::string_view name, std::string_view value) noexcept;
uint32_t name_hash(std::string_view name) noexcept;
uint32_t pair_hash(std::string_view name, std::string_view value) noexcept;

// Static table lookups for the encoder. The first static index with this
// name, or 0.
uint32_t static_find_name(std::string_view name) noexcept;
// `name_idx` being static_find_name()'s answer for the field's name (not 0):
// the index of the entry equal in name and value, or 0.
uint32_t static_find_value(uint32_t name_idx, std::string_view value) noexcept;

// Tag kept with every entry: what kind of field its name is. Decoders use
// it to skip re-checking names that came from a table.
inline constexpr uint8_t kTagRegular = 0xff;  // otherwise a Pseudo value

struct TableEntry {
  std::string_view name, value;
  uint8_t tag;
};

// The dynamic table. Names and values live in one byte ring allocated at
// most to twice the max size, so insertion never allocates per entry; a view
// handed out stays valid until the next insertion or size change.
class DynamicTable {
 public:
  explicit DynamicTable(uint32_t max_size) noexcept : max_size_(max_size < kMaxTableSize ? max_size : kMaxTableSize) {}

  uint32_t size() const noexcept { return size_; }          // RFC size, overhead included
  uint32_t max_size() const noexcept { return max_size_; }
  size_t count() const noexcept { return count_; }
  // Entry `i`, 0 being the newest; `i` < count().
  TableEntry get(size_t i) const noexcept {
    const Slot& s = slots_[(first_ + count_ - 1 - i) & (slots_.size() - 1)];
    const char* b = ring_.data() + s.off;
    return {{b, s.name_len}, {b + s.name_len, s.value_len}, s.tag};
  }
  TableEntry oldest() const noexcept { return get(count_ - 1); }
  // Absolute number of the newest entry (insertions so far minus one);
  // entry `i` has number newest_seq() - i.
  uint64_t newest_seq() const noexcept { return inserted_ - 1; }

  // Sets the max size (at most kMaxTableSize) and evicts oldest entries until
  // the size fits.
  void set_max_size(uint32_t max_size) noexcept;
  void evict_oldest() noexcept;
  // Evicts from the oldest end while size + entry size > max size, then adds
  // the entry as the newest. An entry larger than the max size leaves the
  // table empty and is not added (returns false). `name` and `value` must
  // not point into this table.
  bool insert(std::string_view name, std::string_view value, uint8_t tag);

 private:
  struct Slot {
    uint32_t off;      // in ring_
    uint32_t name_len;
    uint32_t value_len;
    uint8_t tag;
  };
  uint32_t place(uint32_t len);  // where `len` octets go; grows the ring
  void grow_slots();

  std::vector<char> ring_;
  uint32_t head_ = 0;    // start of the oldest entry's bytes
  uint32_t tail_ = 0;    // where the next entry's bytes go
  uint32_t wrap_ = 0;    // when wrapped: end of the bytes written before wrapping
  uint32_t used_ = 0;    // name and value octets held
  std::vector<Slot> slots_;  // circular, power-of-two size
  size_t first_ = 0;     // slot of the oldest entry
  size_t count_ = 0;
  uint32_t size_ = 0;
  uint32_t max_size_;
  uint64_t inserted_ = 0;
};

// The encoder's table: the dynamic table plus two indexes, from (name,
// value) and from name to the newest entry holding it, kept in step on
// insertion and eviction. Lookups cost one hash and, in practice, one probe.
class EncoderTable {
 public:
  explicit EncoderTable(uint32_t max_size) : table_(max_size) {}

  const DynamicTable& table() const noexcept { return table_; }
  uint32_t size() const noexcept { return table_.size(); }
  uint32_t max_size() const noexcept { return table_.max_size(); }
  size_t count() const noexcept { return table_.count(); }

  // 0-based position (0 = newest) of the newest entry equal to name and
  // value, or -1.
  long find(const FieldKey& key) const noexcept;
  long find(std::string_view name, std::string_view value) const noexcept { return find(field_key(name, value)); }
  // 0-based position of the newest entry with this name, or -1.
  long find_name(const FieldKey& key) const noexcept;
  long find_name(std::string_view name) const noexcept { return find_name(FieldKey{name, {}, name_hash(name), 0}); }

  // Absolute number of the entry at position `pos` (< count()).
  uint64_t seq_at(size_t pos) const noexcept { return table_.newest_seq() - pos; }
  // Position of entry number `seq` when it is still in the table and holds
  // exactly this name and value, else -1: a check of a remembered entry
  // that costs no hashing.
  long find_at(uint64_t seq, std::string_view name, std::string_view value) const noexcept {
    uint64_t pos = table_.newest_seq() - seq;
    if (pos >= table_.count()) return -1;
    TableEntry e = table_.get(size_t(pos));
    return same_octets(e.value, value) && same_octets(e.name, name) ? long(pos) : -1;
  }

  void set_max_size(uint32_t max_size);
  // As DynamicTable::insert.
  bool insert(const FieldKey& key);
  bool insert(std::string_view name, std::string_view value) { return insert(field_key(name, value)); }

 private:
  struct Index {
    // Open addressing, linear probing, backward-shift deletion. Each slot
    // holds an entry number + 1 (0 = empty) and its hash.
    std::vector<uint64_t> seq1;
    std::vector<uint32_t> hash;
    size_t live = 0;
  };
  void evict_one();
  void index_put(Index& ix, uint32_t h, uint64_t seq, bool by_name);
  void index_drop(Index& ix, uint32_t h, uint64_t seq) noexcept;
  void rehash(Index& ix, size_t slots, bool by_name);
  void maybe_grow();
  uint64_t& hashes_of(uint64_t seq) noexcept { return hashes_[seq & (hashes_.size() - 1)]; }

  DynamicTable table_;
  Index pairs_, names_;
  // Name hash << 32 | pair hash of each entry, by entry number modulo the
  // (power-of-two) size, so eviction never hashes strings again.
  std::vector<uint64_t> hashes_;
};

}  // namespace velmora::h2::hpack
