// HPACK (RFC 7541) for the HTTP/2 codec: the decoder that turns header
// blocks into fields while enforcing the message rules of RFC 9113 section
// 8.2, and the encoder that turns field lists into header blocks.
//
// One Decoder and one Encoder belong to each connection; neither is
// thread-safe, the owner's lock guards them.
//
// Receiving a block (HEADERS + CONTINUATION):
//
//   HeaderBlock block(max_header_list_size);          // one per HEADERS frame
//   auto r = decoder.decode(fragment, block, sink, end_headers);
//   // partial:   keep fragment[r->consumed..], append the next CONTINUATION
//   //            fragment to it and call decode again with the same block
//   // complete / malformed / an error: the block is finished
//
// Sending a block:
//
//   char* p = encoder.begin_block(out);               // pending size updates
//   for (field...) p = encoder.encode_field(name, value, sensitive, p);
//
// or encoder.encode(fields, string) for a whole list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "proto/h2/error.h"
#include "proto/h2/hpack_table.h"

namespace velmora::h2::hpack {

inline constexpr uint32_t kDefaultTableSize = 4096;

// The pseudo-header fields a block may carry.
enum class Pseudo : uint8_t { authority, method, scheme, path, protocol, status };

// The name of a pseudo-header with its colon (":authority", ...).
std::string_view pseudo_name(Pseudo p) noexcept;

// ---- decoding ----------------------------------------------------------------

// Receives the fields of a block that the block rules keep, in wire order.
// Every view is valid only during the call (it may point into the decoder's
// table, its scratch buffer or the caller's input); copy what you keep.
class FieldSink {
 public:
  virtual ~FieldSink() = default;
  // A pseudo-header, at most once per kind and only before the first
  // regular field. The value has passed its check: `:method` a token,
  // `:status` exactly three digits with the first in 1..9, the others
  // UTF-8 text.
  virtual void on_pseudo(Pseudo which, std::string_view value) = 0;
  // A regular field: `name` a lowercase token shorter than 65536 octets,
  // never a connection-specific field and never `te` other than
  // "trailers"; `value` free of control octets other than HTAB and of DEL,
  // and neither starting nor ending with SP or HTAB.
  // `never_indexed` is set when the peer sent the field as a never-indexed
  // literal (an intermediary must forward it the same way). Returning false
  // refuses the field (for example a full header map): the block then
  // counts as over size and later fields are dropped as for the list limit.
  virtual bool on_field(std::string_view name, std::string_view value, bool never_indexed) = 0;
};

// The state of one header block across its fragments: the list-size
// accounting, the message-rule flags, and where the block stands in the
// representation order. Create one per HEADERS frame and pass the same one
// for each CONTINUATION fragment of that block.
class HeaderBlock {
 public:
  // `max_header_list_size`: SETTINGS_MAX_HEADER_LIST_SIZE as we advertise
  // it. Fields are kept while the running list size (name + value + 32 per
  // field, pseudo-headers included) stays within it; past it fields are
  // dropped and over_size() is set; past four times it (the abuse limit)
  // decoding stops with HpackError::header_list_too_large.
  explicit HeaderBlock(uint32_t max_header_list_size) noexcept : max_list_(max_header_list_size) {}

  // True once the list limit dropped a field (or the sink refused one).
  bool over_size() const noexcept { return over_size_; }
  // True once a message rule was broken (see BlockStatus::malformed).
  bool malformed() const noexcept { return malformed_; }
  // The running size of every field decoded so far, dropped ones included.
  uint64_t list_size() const noexcept { return list_size_; }

 private:
  friend class Decoder;
  uint64_t list_size_ = 0;
  uint32_t max_list_;
  uint8_t pseudo_seen_ = 0;      // bit per Pseudo
  bool started_ = false;         // the decoder has seen this block
  bool field_seen_ = false;      // a field representation was decoded
  bool regular_seen_ = false;    // a regular field was kept or counted
  bool over_size_ = false;
  bool malformed_ = false;
};

enum class BlockStatus : uint8_t {
  // end_of_block: every field was decoded and the block is acceptable.
  complete,
  // not end_of_block: the fragment ends inside a representation. The first
  // `consumed` octets are decoded; the caller keeps the rest and decodes it
  // again with the next fragment appended. Nothing of an incomplete
  // representation has been applied (no field delivered, no insertion).
  partial,
  // end_of_block: the whole block was decoded (the table is in step with
  // the peer) but it broke a message rule: a connection-specific field, `te`
  // other than "trailers", a pseudo-header after a regular field, a
  // repeated pseudo-header, or a value (of any field) that starts or ends
  // with SP or HTAB. The offending fields were not delivered. The
  // frame layer answers with a stream error (PROTOCOL_ERROR).
  malformed,
};

struct DecodeResult {
  BlockStatus status;
  size_t consumed;  // octets of the input decoded; all of it unless partial
};

class Decoder {
 public:
  // Table max size and largest accepted size update both start at the
  // protocol's default of 4096.
  Decoder() = default;

  // Records a SETTINGS_HEADER_TABLE_SIZE we advertised (call once it is in
  // force). The queued value is the largest queued since the last block;
  // when the next block starts it becomes the largest size update the peer
  // may send. The table itself only changes through the peer's updates.
  // Sizes above kMaxTableSize (1 GiB) count as kMaxTableSize.
  void queue_size_update(uint32_t size) noexcept;

  // Decodes `in`, a fragment of the block `block` (the whole block when it
  // is the only fragment), delivering kept fields to `sink`.
  //
  // `end_of_block`: `in` ends the block (END_HEADERS). When false, an input
  // ending inside a representation yields BlockStatus::partial (see there);
  // when true it is an error (NeedMore kinds below).
  //
  // Errors (the compression context is lost, so the connection must be
  // closed; the table keeps every insertion made before the error):
  //   header_list_too_large: the running list size passed the abuse limit
  //     (see HeaderBlock); decoding stopped at once, possibly before
  //     end_of_block (ENHANCE_YOUR_CALM);
  //   need_more_integer_underflow, need_more_string_underflow: the block
  //     ends inside an integer or a string (only with end_of_block);
  //   need_more_unexpected_end_of_stream: a literal field with an empty name
  //     (also only with end_of_block: before it the block stays partial);
  //   integer_overflow: an integer longer than 5 octets;
  //   invalid_table_index: index 0 or past the static and dynamic entries;
  //   invalid_huffman_code: EOS in a string, a code cut off at the end,
  //     padding longer than 7 bits or not all ones;
  //   invalid_max_dynamic_size: a size update after a field of the block, or
  //     above the largest accepted size;
  //   invalid_pseudoheader: a name starting with ':' that is no
  //     pseudo-header;
  //   invalid_status_code: a `:status` that is not three digits, 1xx..9xx;
  //   invalid_utf8: a bad `:method` token, a pseudo-header value that is not
  //     UTF-8, a regular name that is not a lowercase token shorter than
  //     65536 octets, or a value with a control octet (not HTAB) or DEL.
  std::expected<DecodeResult, HpackError> decode(std::string_view in, HeaderBlock& block, FieldSink& sink,
                                                 bool end_of_block);

  // The dynamic table, for inspection.
  const DynamicTable& table() const noexcept { return table_; }
  // The largest size update the peer may send in the current block.
  uint32_t max_allowed_size() const noexcept { return allowed_; }

 private:
  DynamicTable table_{kDefaultTableSize};
  uint32_t allowed_ = kDefaultTableSize;
  uint32_t queued_ = 0;
  bool has_queued_ = false;
  std::string name_buf_;   // Huffman-decoded names
  std::string value_buf_;  // Huffman-decoded values
  std::string name_copy_;  // a dynamic entry's name that an insertion may evict
};

// ---- encoding ----------------------------------------------------------------

struct Field {
  std::string_view name;   // lowercase; pseudo-headers with their colon
  std::string_view value;
  bool sensitive = false;  // never indexed, sent as a never-indexed literal
};

class Encoder {
 public:
  // Octets begin_block() may write: two size updates.
  static constexpr size_t kMaxBlockPrefix = 12;

  // The table starts at the protocol default of 4096; `cap` bounds the
  // size the encoder will ever use (a cap under 4096 is announced with a
  // size update at the start of the first block).
  explicit Encoder(uint32_t cap = kDefaultTableSize);

  // The peer's SETTINGS_HEADER_TABLE_SIZE: clamped to the cap, it becomes a
  // pending size update (the smallest size since the last block and the
  // final one, as RFC 7541 section 4.2 asks), written by the next
  // begin_block(). Never fails.
  void set_table_size(uint32_t size) noexcept;

  // Starts a block: writes the pending size updates (at most
  // kMaxBlockPrefix octets) at `out`, applies them to the table, and
  // returns the end. Call exactly once at the start of every block.
  char* begin_block(char* out) noexcept;

  // Upper bound of the octets encode_field() writes for this field.
  static size_t max_field_size(std::string_view name, std::string_view value) noexcept {
    // The representation's integer, then each string's length and its
    // longest code (30 bits an octet).
    return 6 + max_string_size(name.size()) + max_string_size(value.size());
  }
  static constexpr size_t max_string_size(size_t n) noexcept { return 6 + (n * 30 + 7) / 8; }

  // Writes one field at `out`, which must have room for
  // max_field_size(name, value) octets, and returns the end. Names must be
  // lowercase (pseudo-headers with their colon); nothing is validated here.
  // Decides indexing (static match, the never-indexed names, `:path`, large
  // fields, sensitive values) and may insert into the dynamic table.
  char* encode_field(std::string_view name, std::string_view value, bool sensitive, char* out) {
    const size_t at = field_no_++;
    if (at < kHints && hints_[at] != 0 && !sensitive)
      if (char* end = repeat(hints_[at], name, value, out)) return end;
    return encode_new(at, name, value, sensitive, out);
  }

  // Appends one whole block holding `fields` in order to `out`: one resize
  // to the bound, then trimmed to what was written.
  void encode(std::span<const Field> fields, std::string& out);

  const EncoderTable& table() const noexcept { return table_; }
  uint32_t cap() const noexcept { return cap_; }

 private:
  // A connection sends much the same head again and again, field for
  // field in the same order. For each of the first kHints positions of a
  // block, the number (+ 1, 0 = none) of the dynamic entry the field at that
  // position matched or created last time: checked first, it spares the
  // hashing and the static lookups. The encoder never inserts a field it
  // already holds, so an entry that still equals the field is the one a
  // full lookup would find.
  //
  // A field that was an indexed static entry is remembered as that index
  // with kStaticHint set: whether a field is sent as a static index depends
  // on its name and value alone.
  static constexpr size_t kHints = 32;
  static constexpr uint64_t kStaticHint = 1ull << 63;
  std::array<uint64_t, kHints> hints_{};
  size_t field_no_ = 0;  // position in the current block

  // The field as an index when it equals what `hint` names (and that
  // index fits the one-octet form), else nullptr.
  char* repeat(uint64_t hint, std::string_view name, std::string_view value, char* out) const noexcept {
    uint32_t idx;
    if (hint & kStaticHint) {
      idx = uint32_t(hint);
      const StaticEntry& e = static_entry(idx);
      if (!same_octets(e.value, value) || !same_octets(e.name, name)) return nullptr;
    } else {
      // Only fields that pass every test of encode_new() before the dynamic
      // lookup enter the table, so an equal entry means an indexed field,
      // unless the table has since shrunk below the field's limit.
      if ((uint64_t(name.size()) + value.size() + kEntryOverhead) * 4 > uint64_t(table_.max_size()) * 3)
        return nullptr;
      long d = table_.find_at(hint - 1, name, value);
      if (d < 0) return nullptr;
      idx = uint32_t(kStaticCount + 1 + d);
    }
    if (idx >= 127) return nullptr;
    *out = char(0x80 | idx);
    return out + 1;
  }
  // encode_field() without the shortcut; `at` is the field's position.
  char* encode_new(size_t at, std::string_view name, std::string_view value, bool sensitive, char* out);

  EncoderTable table_{kDefaultTableSize};
  uint32_t cap_;
  // Pending size updates: none (count 0), one value (final), or two
  // (minimum, then final).
  uint8_t pending_count_ = 0;
  uint32_t pending_min_ = 0;
  uint32_t pending_final_ = 0;
};

}  // namespace velmora::h2::hpack
