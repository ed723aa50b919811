// The HTTP/2 frame layer (RFC 9113 sections 4 and 6): the receive loop that
// cuts frames off received bytes and turns each good one into an event, and
// the encoders that write every frame this side sends.
//
// The receive side keeps no per-stream state and performs no flow control:
// it reports, the connection decides. The encoders append whole frames to a
// caller-owned output buffer, so a connection can encode straight into its
// pending-send buffer.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "proto/h2/block.h"
#include "proto/h2/error.h"
#include "proto/h2/flow.h"
#include "proto/h2/hpack.h"
#include "proto/http/preface.h"

namespace velmora::h2 {

// ---- wire constants -----------------------------------------------------------

inline constexpr size_t kFrameHeaderLen = 9;
inline constexpr uint32_t kDefaultMaxFrameSize = 16384;
inline constexpr uint32_t kMaxMaxFrameSize = 16777215;
inline constexpr uint32_t kMaxStreamId = 2147483647;
inline constexpr uint32_t kDefaultMaxHeaderListSize = 16777216;
inline constexpr std::string_view kPreface = http::kH2Preface;

enum class FrameType : uint8_t {
  data = 0,
  headers = 1,
  priority = 2,
  rst_stream = 3,
  settings = 4,
  push_promise = 5,
  ping = 6,
  goaway = 7,
  window_update = 8,
  continuation = 9,
};

namespace flags {
inline constexpr uint8_t end_stream = 0x1;  // DATA, HEADERS
inline constexpr uint8_t ack = 0x1;         // SETTINGS, PING
inline constexpr uint8_t end_headers = 0x4;  // HEADERS, CONTINUATION
inline constexpr uint8_t padded = 0x8;       // DATA, HEADERS
inline constexpr uint8_t priority = 0x20;    // HEADERS
}  // namespace flags

struct FrameHeader {
  uint32_t length = 0;  // 24 bits
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t stream_id = 0;  // reserved bit masked off
};

// Reads the 9-octet header at `p`.
FrameHeader read_frame_header(const char* p) noexcept;
// Writes a 9-octet header at `p`; the reserved bit is written as 0.
void write_frame_header(char* p, uint32_t length, FrameType type, uint8_t flags, uint32_t stream_id) noexcept;

// ---- SETTINGS -------------------------------------------------------------------

struct Settings {
  std::optional<uint32_t> header_table_size;
  std::optional<bool> enable_push;
  std::optional<uint32_t> max_concurrent_streams;
  std::optional<uint32_t> initial_window_size;
  std::optional<uint32_t> max_frame_size;
  std::optional<uint32_t> max_header_list_size;
  // SETTINGS_ENABLE_CONNECT_PROTOCOL (RFC 8441): a server that sends 1 accepts
  // CONNECT requests carrying :protocol.
  std::optional<bool> enable_connect_protocol;
  bool operator==(const Settings&) const = default;
};

// ---- events ---------------------------------------------------------------------

struct HeadersEvent {
  uint32_t stream_id = 0;
  bool end_stream = false;
  HeaderList head;
};
// `data` points either into the bytes given to Receiver::receive() or into
// the batch's own storage (RecvBatch::arena); it stays valid as long as both.
struct DataEvent {
  uint32_t stream_id = 0;
  bool end_stream = false;
  std::string_view data;
  uint32_t flow_controlled_len = 0;  // payload + pad octets + the pad-length octet
  uint32_t padding = 0;              // flow_controlled_len - data.size()
};
struct PriorityEvent {
  uint32_t stream_id = 0;
};
struct RstStreamEvent {
  uint32_t stream_id = 0;
  uint32_t error_code = 0;
};
struct SettingsEvent {
  bool ack = false;
  Settings settings;
};
struct PingEvent {
  bool ack = false;
  std::array<char, 8> data{};
};
struct GoAwayEvent {
  uint32_t last_stream_id = 0;
  uint32_t error_code = 0;
  std::string debug_data;
};
struct WindowUpdateEvent {
  uint32_t stream_id = 0;
  uint32_t increment = 0;
};
// A stream-level violation: the stream is reset, the connection lives on.
struct StreamErrorEvent {
  uint32_t stream_id = 0;
  uint32_t error_code = 0;
};

using Event = std::variant<HeadersEvent, DataEvent, PriorityEvent, RstStreamEvent, SettingsEvent, PingEvent,
                           GoAwayEvent, WindowUpdateEvent, StreamErrorEvent>;

// The result of one receive() call.
struct RecvBatch {
  std::vector<Event> events;  // in wire order
  std::string arena;          // DATA payloads of frames that were cut from the read buffer

  void clear() noexcept {
    events.clear();
    arena.clear();
  }
};

// ---- preface --------------------------------------------------------------------

enum class PrefaceMatch : uint8_t { diverged, incomplete, matched };

// Compares the first min(len, 24) octets of `data` with the client preface.
PrefaceMatch match_preface(std::string_view data) noexcept;

// ---- the receive loop -----------------------------------------------------------

class Receiver {
 public:
  Receiver() = default;

  // Appends `data` and decodes every complete frame now buffered into
  // `out.events` (cleared first), in wire order: at most one event per
  // frame; none for skipped frames (unknown types) or frames that only
  // advance a partial header block. A stream-level violation is an event
  // (StreamErrorEvent); decoding goes on after it. A header block that is
  // malformed (the HPACK block rules, or pseudo-headers wrong for a request
  // or a response, see set_role()) is decoded to its end, so the HPACK
  // table stays in step, and reported as such an event at END_HEADERS.
  //
  // Frames that lie whole inside `data` are read in place: their DATA
  // events point into `data`, which the caller keeps alive while it uses
  // them. Only the bytes of a frame not yet complete are copied into the
  // read buffer.
  //
  // A connection-level violation returns the Error (ErrorKind::protocol
  // with a ConnFailure of the receive path, from bad_preface on, and the
  // code it carries; hpack_failed names the HPACK kind): `out` is cleared,
  // the offending frame stays consumed (a frame over the size limit stays
  // buffered), later bytes stay buffered, and the caller must treat the
  // connection as failed. HPACK table changes made before the error stay.
  Result<void> receive(std::string_view data, RecvBatch& out);

  // Octets waiting in the read buffer for a complete frame.
  size_t buffered() const noexcept { return buf_.size() - rpos_; }

  // The side that receives: a server reads requests, a client responses.
  // Decides which pseudo-headers a block must and must not carry (see
  // acceptable_head()); a block that breaks them is a stream error. Set
  // before the first bytes; a new receiver is a client's.
  void set_role(Role r) noexcept { role_ = r; }
  Role role() const noexcept { return role_; }
  // Server side: CONNECT requests carrying :protocol (RFC 8441) are valid
  // requests, as our SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 announces; off,
  // they are malformed like any other :protocol. Set before the first bytes.
  void set_extended_connect(bool on) noexcept { extended_connect_ = on; }
  bool extended_connect() const noexcept { return extended_connect_; }

  // Server side: when on, the first bytes given to receive() must be the
  // client preface (a divergence is ConnFailure::bad_preface, an incomplete
  // one yields no events). Set before the first bytes.
  void expect_preface(bool on) noexcept { preface_done_ = !on; }
  bool preface_done() const noexcept { return preface_done_; }

  // Accumulates `data` and classifies everything accumulated so far against
  // the preface. On `matched` the octets after the preface move into the
  // read buffer and the preface is done; `diverged` leaves the accumulated
  // bytes in place (the caller fails the connection).
  PrefaceMatch feed_preface(std::string_view data);

  // Appends bytes to the read buffer without decoding them.
  void feed(std::string_view data) { buf_.append(data); }

  // Largest accepted frame payload: 16384 <= v <= 16777215 (the caller
  // checks). Recomputes the CONTINUATION limit.
  void set_max_frame_size(uint32_t v) noexcept;
  uint32_t max_frame_size() const noexcept { return max_frame_size_; }
  // Limit on the decoded header list. Recomputes the CONTINUATION limit.
  void set_max_header_list_size(uint32_t v) noexcept;
  uint32_t max_header_list_size() const noexcept { return max_header_list_size_; }
  uint32_t max_continuation_frames() const noexcept { return max_continuations_; }

  // Our SETTINGS_HEADER_TABLE_SIZE: queued for the start of the next block.
  void set_header_table_size(uint32_t v) noexcept { hpack_.queue_size_update(v); }

  // Hands back the map of a head this receiver delivered (HeadersEvent's
  // `head.fields`; any map will do) once the application is done with it,
  // under the same lock as receive(). Its storage is kept, up to
  // kMaxPooledMaps maps of at most kMaxPooledMapSize bytes each (others are
  // freed), and the next header blocks are built in it: a connection whose
  // application hands its heads back decodes them without allocating. The
  // map is left empty without storage, and the views of the head it came
  // with dangle from then on. Never allocates, never fails.
  void recycle(http::HeaderMap&& fields) noexcept;
  static constexpr size_t kMaxPooledMaps = 8, kMaxPooledMapSize = 8192;
  // Maps held for reuse, for inspection.
  size_t pooled_maps() const noexcept { return pooled_; }

 private:
  // A header block whose END_HEADERS has not been seen yet.
  struct Partial {
    explicit Partial(uint32_t max_list) noexcept : block(max_list) {}
    uint32_t stream_id = 0;
    bool end_stream = false;
    bool self_dependent = false;  // reported as a stream error once decoded
    uint32_t continuations = 0;
    std::string rest;  // octets of the block not yet decodable
    hpack::HeaderBlock block;
    PseudoValues pseudo;  // the pseudo-headers so far
    http::HeaderMap::Builder fields;
  };

  Result<void> frame(const FrameHeader& h, std::string_view payload, bool from_buffer,
                     RecvBatch& out);
  Result<void> headers(const FrameHeader& h, std::string_view payload, RecvBatch& out);
  Result<void> continuation(const FrameHeader& h, std::string_view payload, RecvBatch& out);
  // Decodes `fragment` of the partial block and maps the outcome: an event
  // when the block is complete, else the undecodable tail kept for the next
  // CONTINUATION.
  Result<void> decode_block(std::string_view fragment, bool end_headers, RecvBatch& out);
  void recompute_limit() noexcept;

  std::string buf_;   // received octets not yet cut into frames, from rpos_
  size_t rpos_ = 0;
  size_t copy_bound_ = 0;  // this call: most octets DATA payloads can copy out of buf_
  std::string preface_buf_;
  bool preface_done_ = true;
  Role role_ = Role::client;
  bool extended_connect_ = false;
  uint32_t max_frame_size_ = kDefaultMaxFrameSize;
  uint32_t max_header_list_size_ = kDefaultMaxHeaderListSize;
  uint32_t max_continuations_ = 1280;
  std::optional<Partial> partial_;
  std::string spare_rest_;  // the storage of the last finished partial block, reused
  // The size of the last block decoded, within kMaxSizeHint*: the next
  // block's map is allocated that large at once (the blocks of one
  // connection are alike) instead of growing field by field.
  static constexpr size_t kMaxSizeHintFields = 64, kMaxSizeHintBytes = 4096;
  size_t hint_fields_ = 0, hint_bytes_ = 0;
  std::array<http::HeaderMap, kMaxPooledMaps> pool_;  // recycle()d storage, the first pooled_
  size_t pooled_ = 0;
  hpack::Decoder hpack_;
};

// ---- encoders -------------------------------------------------------------------
// Each appends one complete frame to `out`, or returns the Error and
// leaves `out` as it was. Stream ids with the top bit set are refused
// (ErrorKind::argument, stream_id_msb).

// One DATA frame (never padded); a payload longer than `max_frame_size` is
// refused (the caller splits data itself).
// Errors: stream_id_msb; ErrorKind::user with data_over_frame_size.
Result<void> check_data(uint32_t stream_id, size_t len, uint32_t max_frame_size) noexcept;
Result<void> write_data(std::string& out, uint32_t stream_id, std::string_view data, bool end_stream,
                        uint32_t max_frame_size);

// Refuses a MAX_FRAME_SIZE outside 16384..16777215 (checked first) and an
// INITIAL_WINDOW_SIZE above 2147483647.
// Errors: ErrorKind::argument with max_frame_size or initial_window_size.
Result<void> check_settings(const Settings& s) noexcept;
size_t settings_frame_size(const Settings& s) noexcept;
// Writes the parameters present, in identifier order (ENABLE_PUSH and
// ENABLE_CONNECT_PROTOCOL as 0 or 1); check_settings() first.
void write_settings(std::string& out, const Settings& s);
void write_settings_ack(std::string& out);
// `payload` must be 8 octets. Errors: ErrorKind::argument with ping_payload.
Result<void> write_ping(std::string& out, std::string_view payload, bool ack);
// GOAWAY on stream 0; the last stream id is written in 31 bits. Debug data
// that would take the payload past 16777215 octets, more than the 24-bit
// length can say, is refused. Errors: ErrorKind::argument with frame_too_large.
Result<void> write_goaway(std::string& out, uint32_t last_stream_id, uint32_t error_code, std::string_view debug);
// Errors: stream_id_msb.
Result<void> write_rst_stream(std::string& out, uint32_t stream_id, uint32_t error_code);
// The increment is written as given. Errors: stream_id_msb.
Result<void> write_window_update(std::string& out, uint32_t stream_id, uint32_t increment);

// Turns the header block in out[block_start + 9 ..] into HEADERS +
// CONTINUATION frames in place; out[block_start, block_start + 9) is the room
// left for the HEADERS frame header. HEADERS carries at most
// `max_frame_size` octets of the block (END_HEADERS when that is all of it,
// END_STREAM when asked), then CONTINUATION frames of at most
// `max_frame_size` octets follow, END_HEADERS on the last. The caller checked
// the stream id.
void frame_header_block(std::string& out, size_t block_start, uint32_t stream_id, bool end_stream,
                        uint32_t max_frame_size);

}  // namespace velmora::h2
