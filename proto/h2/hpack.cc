#include "proto/h2/hpack.h"

#include <algorithm>
#include <cstring>

#include "proto/h2/hpack_huffman.h"
#include "proto/http/connection_fields.h"
#include "proto/http/field_scan.h"
#include "proto/http/fields.h"
#include "proto/http/utf8.h"

namespace velmora::h2::hpack {

namespace {

constexpr std::string_view kPseudoNames[] = {":authority", ":method", ":scheme", ":path", ":protocol", ":status"};

// A name starting with ':' as a Pseudo tag, or kTagRegular when it is none.
uint8_t pseudo_tag(std::string_view n) noexcept {
  switch (n.size()) {
    case 5:
      if (n == ":path") return uint8_t(Pseudo::path);
      break;
    case 7:
      if (n == ":method") return uint8_t(Pseudo::method);
      if (n == ":scheme") return uint8_t(Pseudo::scheme);
      if (n == ":status") return uint8_t(Pseudo::status);
      break;
    case 9:
      if (n == ":protocol") return uint8_t(Pseudo::protocol);
      break;
    case 10:
      if (n == ":authority") return uint8_t(Pseudo::authority);
      break;
  }
  return kTagRegular;
}

// The tag of a static entry: entries 1..14 are the pseudo-headers.
uint8_t static_tag(uint32_t i) noexcept {
  if (i == 1) return uint8_t(Pseudo::authority);
  if (i <= 3) return uint8_t(Pseudo::method);
  if (i <= 5) return uint8_t(Pseudo::path);
  if (i <= 7) return uint8_t(Pseudo::scheme);
  if (i <= 14) return uint8_t(Pseudo::status);
  return kTagRegular;
}

// A field name as HTTP/2 carries it, within the 16-bit lengths names are kept at.
bool is_lower_token(std::string_view n) noexcept { return n.size() < 65536 && http::is_lower_token(n); }

bool valid_pseudo_value(uint8_t tag, std::string_view v) noexcept {
  switch (Pseudo(tag)) {
    case Pseudo::method: return http::is_token(v);
    case Pseudo::status:
      return v.size() == 3 && v[0] >= '1' && v[0] <= '9' && v[1] >= '0' && v[1] <= '9' && v[2] >= '0' &&
             v[2] <= '9';
    default:
      // Text; control octets are refused as in any field value (RFC 9113
      // section 8.2.1), so a path or authority cannot smuggle CR, LF or NUL.
      return http::is_valid_value(v) && http::is_valid_utf8(v);
  }
}

inline bool is_space_or_tab(char c) noexcept { return c == ' ' || c == '\t'; }

enum class IntRead : uint8_t { ok, underflow, overflow };

// An integer with an N-bit prefix (RFC 7541 section 5.1) starting at *p,
// which must exist. At most 4 continuation octets: every value fits 32 bits.
inline IntRead read_int(const uint8_t*& p, const uint8_t* end, unsigned prefix, uint32_t& out) noexcept {
  uint32_t mask = (1u << prefix) - 1;
  uint32_t v = *p++ & mask;
  if (v < mask) {
    out = v;
    return IntRead::ok;
  }
  for (unsigned shift = 0; shift < 28; shift += 7) {
    if (p == end) return IntRead::underflow;
    uint8_t b = *p++;
    v += uint32_t(b & 0x7f) << shift;
    if (!(b & 0x80)) {
      out = v;
      return IntRead::ok;
    }
  }
  return IntRead::overflow;
}

inline char* write_int(char* out, uint8_t first, unsigned prefix, uint32_t v) noexcept {
  uint32_t mask = (1u << prefix) - 1;
  if (v < mask) {
    *out++ = char(first | v);
    return out;
  }
  *out++ = char(first | mask);
  v -= mask;
  while (v >= 128) {
    *out++ = char((v & 0x7f) | 0x80);
    v >>= 7;
  }
  *out++ = char(v);
  return out;
}

// Every non-empty string goes out Huffman-coded. The code is written once,
// after room for a one-octet length; the rare string of 127 octets or more
// is moved up behind its longer length.
inline char* write_string(char* out, std::string_view s) noexcept {
  if (s.empty()) {
    *out++ = 0;
    return out;
  }
  char* end = huffman_encode(s, out + 1);
  uint32_t len = uint32_t(end - out - 1);
  if (len < 127) {
    *out = char(0x80 | len);
    return end;
  }
  char prefix[6];
  size_t plen = size_t(write_int(prefix, 0x80, 7, len) - prefix);
  std::memmove(out + plen, out + 1, len);
  std::memcpy(out, prefix, plen);
  return out + plen + len;
}

// Static entries whose names are too personal or too variable to be worth
// a table entry (age, authorization, content-length, cookie, etag,
// if-modified-since, if-none-match, location, set-cookie): such fields
// always go out as literals without indexing. Bit i stands for entry i.
constexpr uint64_t kNeverIndexNames = 1ull << 21 | 1ull << 23 | 1ull << 28 | 1ull << 32 | 1ull << 34 |
                                      1ull << 40 | 1ull << 41 | 1ull << 46 | 1ull << 55;
// The first static entry named ":path".
constexpr uint32_t kStaticPath = 4;

}  // namespace

std::string_view pseudo_name(Pseudo p) noexcept { return kPseudoNames[size_t(p)]; }

// ---- Decoder -----------------------------------------------------------------

void Decoder::queue_size_update(uint32_t size) noexcept {
  size = std::min(size, kMaxTableSize);
  queued_ = has_queued_ ? std::max(queued_, size) : size;
  has_queued_ = true;
}

std::expected<DecodeResult, HpackError> Decoder::decode(std::string_view in, HeaderBlock& block, FieldSink& sink,
                                                        bool end_of_block) {
  if (!block.started_) {
    block.started_ = true;
    if (has_queued_) {
      allowed_ = queued_;
      has_queued_ = false;
    }
  }
  const auto* const begin = reinterpret_cast<const uint8_t*>(in.data());
  const auto* const end = begin + in.size();
  const auto* p = begin;
  const uint64_t abuse = uint64_t(block.max_list_) * 4;

  // The block rules for one decoded field; false stops decoding (abuse).
  auto deliver = [&](uint8_t tag, std::string_view name, std::string_view value, bool never) -> bool {
    block.field_seen_ = true;
    // A value with surrounding whitespace could be read two ways by a peer
    // that trims and one that does not (RFC 9113 section 8.2.1).
    if (!value.empty() && (is_space_or_tab(value.front()) || is_space_or_tab(value.back()))) {
      block.malformed_ = true;
      return true;
    }
    if (tag == kTagRegular) {
      if (http::is_connection_specific(name, value)) {
        block.malformed_ = true;
        return true;
      }
      block.regular_seen_ = true;
    } else {
      uint8_t bit = uint8_t(1u << tag);
      if (block.regular_seen_ || (block.pseudo_seen_ & bit)) {
        block.malformed_ = true;
        return true;
      }
      block.pseudo_seen_ |= bit;
    }
    block.list_size_ += name.size() + value.size() + kEntryOverhead;
    if (block.list_size_ > abuse) return false;
    // A list exactly at the advertised size is still within it.
    if (block.list_size_ > block.max_list_) block.over_size_ = true;
    if (block.over_size_) return true;
    if (tag == kTagRegular) {
      if (!sink.on_field(name, value, never)) block.over_size_ = true;
    } else {
      sink.on_pseudo(Pseudo(tag), value);
    }
    return true;
  };

  // A string literal at p into `out`: the input itself, or `buf` when
  // Huffman-coded.
  auto read_string = [&](std::string& buf, std::string_view& out) -> std::expected<void, HpackError> {
    if (p == end) return std::unexpected(HpackError::need_more_integer_underflow);
    bool huff = *p & 0x80;
    uint32_t len;
    switch (read_int(p, end, 7, len)) {
      case IntRead::ok: break;
      case IntRead::underflow: return std::unexpected(HpackError::need_more_integer_underflow);
      case IntRead::overflow: return std::unexpected(HpackError::integer_overflow);
    }
    if (size_t(end - p) < len) return std::unexpected(HpackError::need_more_string_underflow);
    const char* s = reinterpret_cast<const char*>(p);
    p += len;
    if (!huff) {
      out = {s, len};
      return {};
    }
    size_t room = huffman_max_decoded_size(len);
    if (buf.size() < room) buf.resize(std::max<size_t>(room, 4096));
    auto n = huffman_decode({s, len}, buf.data());
    if (!n) return std::unexpected(n.error());
    out = {buf.data(), *n};
    return {};
  };

  // A table entry by index (static 1..61, then dynamic).
  auto entry = [&](uint32_t idx, TableEntry& e) -> bool {
    if (idx == 0) return false;
    if (idx <= kStaticCount) {
      const StaticEntry& s = static_entry(idx);
      e = {s.name, s.value, static_tag(idx)};
      return true;
    }
    if (idx - kStaticCount - 1 >= table_.count()) return false;
    e = table_.get(idx - kStaticCount - 1);
    return true;
  };

  HpackError err{};
  const uint8_t* rep = p;
  while (p < end) {
    rep = p;
    uint8_t b = *p;
    if (b & 0x80) {  // indexed field
      uint32_t idx;
      IntRead r = read_int(p, end, 7, idx);
      if (r != IntRead::ok) {
        err = r == IntRead::underflow ? HpackError::need_more_integer_underflow : HpackError::integer_overflow;
        goto fail;
      }
      TableEntry e;
      if (!entry(idx, e)) {
        err = HpackError::invalid_table_index;
        goto fail;
      }
      if (!deliver(e.tag, e.name, e.value, false)) return std::unexpected(HpackError::header_list_too_large);
      continue;
    }
    if ((b & 0xe0) == 0x20) {  // dynamic table size update
      uint32_t size;
      IntRead r = read_int(p, end, 5, size);
      if (r != IntRead::ok) {
        err = r == IntRead::underflow ? HpackError::need_more_integer_underflow : HpackError::integer_overflow;
        goto fail;
      }
      if (block.field_seen_ || size > allowed_) {
        err = HpackError::invalid_max_dynamic_size;
        goto fail;
      }
      table_.set_max_size(size);
      continue;
    }
    {
      // Literal: with incremental indexing (01), without indexing (0000),
      // never indexed (0001).
      bool index = b & 0x40;
      bool never = !index && (b & 0x10);
      uint32_t name_idx;
      IntRead r = read_int(p, end, index ? 6 : 4, name_idx);
      if (r != IntRead::ok) {
        err = r == IntRead::underflow ? HpackError::need_more_integer_underflow : HpackError::integer_overflow;
        goto fail;
      }
      std::string_view name, value;
      uint8_t tag;
      if (name_idx == 0) {
        auto s = read_string(name_buf_, name);
        if (!s) {
          err = s.error();
          goto fail;
        }
        if (name.empty()) {
          err = HpackError::need_more_unexpected_end_of_stream;
          goto fail;
        }
        if (name[0] == ':') {
          tag = pseudo_tag(name);
          if (tag == kTagRegular) {
            err = HpackError::invalid_pseudoheader;
            goto fail;
          }
        } else {
          tag = kTagRegular;
          if (!is_lower_token(name)) {
            err = HpackError::invalid_utf8;
            goto fail;
          }
        }
      } else {
        TableEntry e;
        if (!entry(name_idx, e)) {
          err = HpackError::invalid_table_index;
          goto fail;
        }
        name = e.name;
        tag = e.tag;
        // Inserting may evict the entry the name comes from.
        if (index && name_idx > kStaticCount) {
          name_copy_.assign(name);
          name = name_copy_;
        }
      }
      auto s = read_string(value_buf_, value);
      if (!s) {
        err = s.error();
        goto fail;
      }
      if (tag == kTagRegular ? !http::is_valid_value(value) : !valid_pseudo_value(tag, value)) {
        err = tag == uint8_t(Pseudo::status) ? HpackError::invalid_status_code : HpackError::invalid_utf8;
        goto fail;
      }
      if (index) table_.insert(name, value, tag);
      if (!deliver(tag, name, value, never)) return std::unexpected(HpackError::header_list_too_large);
    }
  }
  if (!end_of_block) return DecodeResult{BlockStatus::partial, in.size()};
  return DecodeResult{block.malformed_ ? BlockStatus::malformed : BlockStatus::complete, in.size()};

fail:
  // Running out of input mid-representation only means the next fragment
  // is needed; nothing of this representation has been applied.
  if (!end_of_block && hpack_error_needs_more(err)) return DecodeResult{BlockStatus::partial, size_t(rep - begin)};
  return std::unexpected(err);
}

// ---- Encoder -----------------------------------------------------------------

Encoder::Encoder(uint32_t cap) : cap_(cap) {
  if (cap_ < kDefaultTableSize) {
    pending_count_ = 1;
    pending_final_ = cap_;
  }
}

void Encoder::set_table_size(uint32_t size) noexcept {
  size = std::min(size, cap_);
  switch (pending_count_) {
    case 0:
      if (size != table_.max_size()) {
        pending_count_ = 1;
        pending_final_ = size;
      }
      break;
    case 1:
      // Going up again after a reduction: the reduction must still be
      // signalled, unless it never went below the table's current size.
      if (size > pending_final_ && pending_final_ <= table_.max_size()) {
        pending_count_ = 2;
        pending_min_ = pending_final_;
      }
      pending_final_ = size;
      break;
    default:
      if (size < pending_min_) pending_count_ = 1;
      pending_final_ = size;
      break;
  }
}

char* Encoder::begin_block(char* out) noexcept {
  if (pending_count_ == 2) {
    table_.set_max_size(pending_min_);
    out = write_int(out, 0x20, 5, pending_min_);
  }
  if (pending_count_ >= 1) {
    table_.set_max_size(pending_final_);
    out = write_int(out, 0x20, 5, pending_final_);
  }
  pending_count_ = 0;
  field_no_ = 0;
  return out;
}

char* Encoder::encode_new(size_t at, std::string_view name, std::string_view value, bool sensitive, char* out) {
  // A literal whose name is `name_idx`, or the name string when 0.
  auto literal = [&](uint8_t first, unsigned prefix, uint32_t name_idx) {
    out = write_int(out, first, prefix, name_idx);
    if (name_idx == 0) out = write_string(out, name);
    out = write_string(out, value);
    return out;
  };
  // An index for the next block's shortcut at this position.
  auto remember = [&](uint64_t hint) {
    if (at < kHints) hints_[at] = hint;
  };
  // Every static name is told apart by one probe; the names that are never
  // indexed are all static, so their test is a bit of the same answer.
  const uint32_t sidx = static_find_name(name);
  if (sensitive) {
    uint32_t idx = sidx;
    if (idx == 0) {
      long d = table_.find_name(name);
      if (d >= 0) idx = uint32_t(kStaticCount + 1 + d);
    }
    return literal(0x10, 4, idx);
  }
  if (sidx == kStaticPath) {
    // Paths rarely repeat; indexing them would only churn the table.
    if (uint32_t full = static_find_value(kStaticPath, value)) {  // "/" or "/index.html"
      remember(kStaticHint | full);
      return write_int(out, 0x80, 7, full);
    }
    return literal(0x00, 4, kStaticPath);
  }
  if (kNeverIndexNames >> sidx & 1) return literal(0x00, 4, sidx);
  if (sidx != 0)
    if (uint32_t full = static_find_value(sidx, value)) {
      remember(kStaticHint | full);
      return write_int(out, 0x80, 7, full);
    }
  const uint64_t size = uint64_t(name.size()) + value.size() + kEntryOverhead;
  if (size * 4 > uint64_t(table_.max_size()) * 3) return literal(0x00, 4, sidx);
  // The name hash waits until a name lookup or an insertion needs it.
  FieldKey key{name, value, 0, pair_hash(name, value)};
  long d = table_.find(key);
  if (d >= 0) {
    remember(table_.seq_at(size_t(d)) + 1);
    return write_int(out, 0x80, 7, uint32_t(kStaticCount + 1 + d));
  }
  key.name_hash = name_hash(name);
  uint32_t name_idx = sidx;
  if (name_idx == 0) {
    long dn = table_.find_name(key);
    if (dn >= 0) name_idx = uint32_t(kStaticCount + 1 + dn);
  }
  // The name index refers to the table before this insertion, as the
  // decoder resolves it.
  out = literal(0x40, 6, name_idx);
  if (table_.insert(key)) remember(table_.seq_at(0) + 1);
  return out;
}

void Encoder::encode(std::span<const Field> fields, std::string& out) {
  size_t bound = kMaxBlockPrefix;
  for (const Field& f : fields) bound += max_field_size(f.name, f.value);
  size_t old = out.size();
  out.resize_and_overwrite(old + bound, [&](char* data, size_t) {
    char* p = begin_block(data + old);
    for (const Field& f : fields) p = encode_field(f.name, f.value, f.sensitive, p);
    return size_t(p - data);
  });
}

}  // namespace velmora::h2::hpack
