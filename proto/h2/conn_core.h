// What a connection's state lock guards: the connection state, the codec's
// send side and the pending-send buffer every frame is encoded into.
//
// The connection object holds one ConnCore behind its state lock and the
// codec's Receiver behind a decoder lock of its own. Decoding takes only the
// decoder lock; the steps here take only the state lock; where a step must
// also change the decoder (our SETTINGS reaching it), it returns what to
// apply and the owner applies it holding both, state lock first. Nothing
// takes the two in the other order.
//
// Not synchronised: every method is one step under the state lock.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proto/h2/codec.h"
#include "proto/h2/conn_state.h"
#include "proto/h2/frame.h"
#include "proto/http/header_map.h"

namespace velmora::h2 {

// Why a stream can no longer send or be read: the reason of a reset or of a
// GOAWAY when there is one, and whether a connection-level error applies.
// `conn` with a reason: a GOAWAY abort; `conn` alone: the connection failed;
// a reason alone: a stream reset; neither (a bare stop): stopped locally.
struct Stop {
  std::optional<uint32_t> reason;
  bool conn = false;
  bool operator==(const Stop&) const = default;
};

// The stop of a stream, derived from its closed state: a reset gives its
// reason; a GOAWAY abort its code with `conn`; a failed connection (an I/O
// error) `conn` alone; a scheduled reset its reason. A stream closed at
// END_STREAM both ways, or cancelled by our own user (a user reset with
// CANCEL), has no stop: its readers see a clean end. A live stream has none.
std::optional<Stop> stop_of(const StreamState& s) noexcept;

// Outcomes of a received HEADERS frame.
enum class HeadersKind : uint8_t { ignored = 0, opened = 1, head = 2, trailers = 3 };

// What the receive steps read off a HEADERS event.
struct HeadersIn {
  uint32_t stream_id = 0;
  bool end_stream = false;
  bool informational = false;  // a 1xx status
  uint16_t status = 0;         // 0: none
  bool pseudo = false;         // the block carries a pseudo-header
  bool protocol = false;       // an extended CONNECT request (:protocol, RFC 8441)
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
};
struct HeadersVerdict {
  HeadersKind kind = HeadersKind::ignored;
  Handle handle = nullptr;  // borrowed from the record (or from the sink when reaped)
  uint32_t stream_id = 0;
  bool eof = false;
  uint32_t flags = 0;
  bool spare_missing = false; // server: a new stream needs a spare; nothing opened
};

// What the receive steps read off a DATA event.
struct DataIn {
  uint32_t stream_id = 0;
  bool end_stream = false;
  uint32_t payload_len = 0;
  uint32_t flow_controlled_len = 0;  // payload + padding + the pad-length octet
  uint32_t padding = 0;              // flow_controlled_len - payload_len
};
struct DataVerdict {
  Handle handle = nullptr;  // nullptr: nothing to deliver
  bool deliver = false;     // the payload goes to the handle
  bool budgeted = false;    // the driver returns it with release_data_frame
  bool eof = false;
  uint32_t flags = 0;
};

struct SettingsVerdict {
  bool initial = false;
  uint32_t flags = 0;
  // An ACK: our settings the decoder must now apply (the caller holds the
  // decoder lock as well, taken after the state lock).
  std::optional<Settings> apply_to_decoder;
};

// A sender's result.
struct SendVerdict {
  uint64_t sent = 0;
  bool done = false;
  std::optional<Stop> stopped;
  uint32_t flags = 0;
  Handle handle = nullptr;  // server: the response completed while the request body was unread
  std::optional<Stop> reader_stop;
  bool refused = false;  // an informational head came after the final one: nothing queued
};

// A reset's result: the handle to notify (nullptr: no live stream), the stop
// the body readers must see (none: a clean end), the flags.
struct ResetVerdict {
  Handle handle = nullptr;
  std::optional<Stop> stop;
  uint32_t flags = 0;
};

struct RecvResetVerdict {
  Handle handle = nullptr;
  std::optional<Stop> stop;
  bool notify_body = false;
  uint32_t flags = 0;
};

// A stream ended by a GOAWAY abort or a connection failure.
struct Aborted {
  Handle handle;
  Stop stop;
};

// What each received frame event's step answers, alternative for
// alternative in the order of Event: a verdict's index() is its event's.
// PRIORITY has no step (RFC 9113 deprecates it); the decoder's stream error
// is answered by reset_on_error, a RST_STREAM by recv_reset.
struct PriorityVerdict {};
struct PingVerdict {
  uint32_t flags = 0;
};
struct GoAwayVerdict {
  uint32_t flags = 0;
};
struct WindowVerdict {
  Handle wake = nullptr;  // the stream whose sender must be woken, or nullptr
};
using EventVerdict = std::variant<HeadersVerdict, DataVerdict, PriorityVerdict, std::optional<RecvResetVerdict>,
                                  SettingsVerdict, PingVerdict, GoAwayVerdict, WindowVerdict, ResetVerdict>;
static_assert(std::variant_size_v<EventVerdict> == std::variant_size_v<Event>);

// The H2_FLAG_* bits a verdict carries (0 for those that carry none).
uint32_t flags_of(const EventVerdict& v) noexcept;

// The facts the receive steps read off a decoded event.
HeadersIn headers_in(const HeadersEvent& e) noexcept;
inline DataIn data_in(const DataEvent& e) noexcept {
  return DataIn{e.stream_id, e.end_stream, uint32_t(e.data.size()), e.flow_controlled_len, e.padding};
}

// Our acknowledged SETTINGS reaching the decoder (the settings an ACK's
// SettingsVerdict::apply_to_decoder names). The caller holds the state lock
// and then the decoder lock.
void apply_to_decoder(Receiver& recv, const Settings& local) noexcept;

// The payload of the PING that ends phase 1 of a graceful shutdown.
inline constexpr std::string_view kShutdownPing{"SHUTDOWN", 8};

class ConnCore final : public FrameQueue {
 public:
  explicit ConnCore(const ConnConfig& c) : state(c), max_batch_data_(c.max_batch_data) {}

  ConnState state;
  Sender send;
  std::string pending;  // frames committed for sending, in order

  // What the decoder must apply, holding both locks, after begin().
  struct DecoderChange {
    std::optional<uint32_t> max_frame_size;
  };

  // The handshake, in one step: the client preface (client only), our
  // SETTINGS, and the WINDOW_UPDATE(0) that raises the connection window to
  // its target when the raise reaches the update threshold. A SETTINGS
  // value the encoder refuses is returned with nothing queued.
  // Errors: ErrorKind::argument (max_frame_size, initial_window_size);
  // Misuse::begin_twice once it ran, with nothing changed.
  //
  // A conforming peer may send frames up to the SETTINGS_MAX_FRAME_SIZE we
  // advertise as soon as it has our SETTINGS, and its ACK can arrive in the
  // same read as the first such frame, before the ACK is applied. So a
  // larger limit reaches the decoder now (the returned change); a smaller
  // one can only take effect at the ACK, the peer may still use the old one
  // until then.
  Result<DecoderChange> begin();
  // Every step below that can queue a frame first checks that begin() ran:
  // a frame queued earlier would reach the peer ahead of the preface and
  // our SETTINGS, which fails the connection. Before begin() such a step
  // returns Misuse::send_before_preface and changes nothing (open_stream
  // gives its claimed slot back, as on every path that opens no stream).
  // Steps that never queue (recv_window_update, release_data_frame, fail,
  // maybe_goaway_reply, which cannot act before a GOAWAY was received) and
  // decoding are not checked.
  bool started() const noexcept { return state.settings_sent(); }
  static Error not_started() noexcept { return Error::user(Misuse::send_before_preface); }

  // ---- the receive path ----
  // Every step below is one transition under the state lock. A stream error
  // (ErrorKind::stream) is reported after every other effect of the
  // step is committed: the driver resets the stream and goes on. Any other
  // error is a connection error: the state is as it was at the failing
  // check and the driver fails the connection. Handles in results are
  // borrowed: from the record, or from `sink` when the step let the record
  // go; they stay valid until the sink releases them.
  //
  // Errors, besides Misuse::send_before_preface where started() applies:
  //   recv_headers   stream (PROTOCOL_ERROR, STREAM_CLOSED, REFUSED_STREAM);
  //                  protocol (idle_stream, invalid_new_stream_id, described
  //                  PROTOCOL_ERROR); flow_control
  //   recv_data      stream (PROTOCOL_ERROR, FLOW_CONTROL_ERROR,
  //                  STREAM_CLOSED); protocol (idle_stream, unexpected_data,
  //                  too_many_data_frames, described PROTOCOL_ERROR);
  //                  flow_control
  //   recv_window_update  stream (FLOW_CONTROL_ERROR); protocol
  //                  (idle_stream); flow_control
  //   recv_settings  protocol (unexpected_settings_ack,
  //                  connect_protocol_withdrawn); flow_control
  //   recv_ping      none but the preface check
  //   recv_goaway    protocol (goaway_raised_last_id); flow_control from
  //                  the capacity the aborted streams give back
  //   release_capacity  flow_control

  // A HEADERS frame. `spare` is the server's handle for a new request
  // stream: the record takes it over and `spare` becomes nullptr (also when
  // a stream error follows the opening).
  Result<HeadersVerdict> recv_headers(const HeadersIn& h, Handle& spare, HandleSink& sink);
  Result<DataVerdict> recv_data(const DataIn& d, HandleSink& sink);
  // The handle of the stream whose sender must be woken, or nullptr.
  Result<Handle> recv_window_update(uint32_t stream_id, uint32_t increment);
  // Handles of the streams whose window grew go to `wake`.
  Result<SettingsVerdict> recv_settings(bool ack, const Settings& s, std::vector<Handle>& wake);
  Result<uint32_t> recv_ping(bool ack, std::string_view payload);
  // `aborted` gets the client's streams above `last_stream_id`.
  Result<uint32_t> recv_goaway(uint32_t last_stream_id, uint32_t code, std::vector<Aborted>& aborted,
                              HandleSink& sink);
  // One decoded event applied as its step, the one mapping from event to
  // step that every driver shares: HEADERS recv_headers (with `spare`, as
  // there), DATA recv_data, PRIORITY nothing, RST_STREAM recv_reset,
  // SETTINGS recv_settings (woken handles to `wake`), PING recv_ping, GOAWAY
  // recv_goaway (aborted streams to `aborted`), WINDOW_UPDATE
  // recv_window_update, and the decoder's stream error reset_on_error. The
  // verdict, the errors and what is committed before an error are the
  // step's; `wake` and `aborted` are appended to, never cleared. A SETTINGS
  // ACK leaves apply_to_decoder() to the caller, which holds the decoder
  // lock for it. The GOAWAY's debug data is the caller's to keep.
  Result<EventVerdict> apply(const Event& e, Handle& spare, std::vector<Handle>& wake, std::vector<Aborted>& aborted,
                           HandleSink& sink);
  Result<uint32_t> release_capacity(uint32_t stream_id, uint32_t n, HandleSink& sink);
  void release_data_frame(uint32_t stream_id, uint64_t payload_len, HandleSink& sink) noexcept;

  // ---- the send path ----
  // Errors, besides Misuse::send_before_preface: the head's own argument
  // error (`head_error`); argument (stream_id_msb) from the encoder;
  // flow_control; protocol (stream_ids_exhausted with REFUSED_STREAM) from
  // open_stream; user (unexpected_frame_type where our half cannot open,
  // invalid_informational_status_code) from send_response_head.
  // Opens our stream with its request head (`head_error`: the head could
  // not be built; the claimed slot is released and the error returned after
  // the refusal checks). nullopt: refused (failed or GOAWAY), slot released.
  // A head with :protocol (extended CONNECT) needs the peer's
  // SETTINGS_ENABLE_CONNECT_PROTOCOL = 1, else user
  // (connect_protocol_disabled) with the slot released; its stream is a
  // tunnel (StreamRecord::tunnel).
  Result<std::optional<uint32_t>> open_stream(const OutHead& head, const Error* head_error,
                                            const http::HeaderMap* fields, bool end_stream, bool is_head,
                                            Handle handle);
  // At most one DATA frame of data[offset:] (offset <= data.size()). An
  // empty data[offset:] is done at once: with `end_stream` an empty DATA
  // frame ends the stream, without it nothing is queued. With
  // ConnConfig::max_batch_data set and reached by the pending buffer, the
  // stream waits (`sent` 0) until credit_written() wakes it.
  Result<SendVerdict> send_data(uint32_t stream_id, std::string_view data, uint64_t offset, bool end_stream,
                              HandleSink& sink);
  Result<SendVerdict> send_trailers(uint32_t stream_id, const http::HeaderMap& trailers, HandleSink& sink);
  // `date` is added as a `date` field when non-empty (the caller decides).
  // `head_error`: the head could not be built (raised unless the stream
  // is already stopped).
  //
  // An informational head (1xx) is queued as its own HEADERS frame and
  // leaves the send side where it was: any number may precede the final
  // head (RFC 9113, section 8.1). One with `end_stream`, and 101 (which
  // HTTP/2 forbids, section 8.6), are refused with
  // invalid_informational_status_code before anything else. Once our final
  // head is queued a 1xx is refused by value (`refused`, nothing queued): a
  // body reader answering Expect: 100-continue may lose that race to the
  // responder on another thread.
  Result<SendVerdict> send_response_head(uint32_t stream_id, const OutHead& head, const Error* head_error,
                                       const http::HeaderMap* fields, std::string_view date, bool end_stream,
                                       HandleSink& sink);
  Handle next_capacity_wake();
  // Moves the pending buffer into `out` (whose old contents are lost) and
  // puts in its place the caller's old buffer, a spare or a new buffer as
  // large as the one taken; the credit batch joins the credits in flight.
  // Returns the stopping flag. Frames handed back by untake() go out first,
  // on their own. Throws std::bad_alloc with nothing changed.
  bool take_pending(std::string& out);
  // The batch built around a taken buffer could not be made: its frames
  // come back, to go out ahead of everything queued since. Their credits
  // never left the credits in flight, so the credit_written() after the
  // batch that carries them credits them. Allocates nothing unless frames
  // are held already (two takes failing at once, which one write pump
  // never does); then it may throw std::bad_alloc.
  void untake(std::string& buf);
  // An emptied batch buffer comes back: kept as a spare while the spares
  // stay within their count and size, else freed with `buf` by the caller.
  void give_back(std::string& buf) noexcept;
  // The credits in flight are on the wire: handles of their streams, once
  // each, in first-seen order, go to `wake`; then the rotation's front, when
  // ConnConfig::max_batch_data stopped it since the last call.
  void credit_written(std::vector<Handle>& wake);
  bool has_pending() const noexcept { return !pending.empty() || !held_.empty(); }

  // ---- writers and the pump ----
  bool writer_start() noexcept;
  bool writer_end() noexcept;
  bool release_writers() noexcept;
  void stop_pump() noexcept { stopping_ = true; }
  bool stopping() const noexcept { return stopping_; }

  // ---- resets, failure, shutdown ----
  // Errors, besides Misuse::send_before_preface: recv_reset protocol
  // (rst_stream_zero, idle_stream, too_many_resets); reset_on_error protocol
  // (idle_stream, too_many_stream_resets); flow_control from the capacity
  // a closed stream gives back; begin_graceful_shutdown argument from the
  // encoder.
  Result<std::optional<RecvResetVerdict>> recv_reset(uint32_t stream_id, uint32_t reason, HandleSink& sink);
  Result<ResetVerdict> reset_stream(uint32_t stream_id, uint32_t reason, Initiator who, HandleSink& sink);
  Result<ResetVerdict> reset_on_error(uint32_t stream_id, uint32_t reason, HandleSink& sink);
  Result<ResetVerdict> aclose_body(uint32_t stream_id, HandleSink& sink);
  // Records the failure (first one wins: true when this call recorded it)
  // and aborts every stream; the live ones go to `aborted`.
  bool fail(std::string message, std::vector<Aborted>& aborted, HandleSink& sink);
  // Queues GOAWAY(`reason`) naming the last processed id (0 for a client);
  // kFlagWake when queued. No GOAWAY ever names a higher id than an earlier
  // one, and no stream above the id named is accepted afterwards.
  Result<uint32_t> send_goaway(uint32_t reason);
  // Phase 1 of a graceful shutdown: GOAWAY(2^31-1) and the shutdown PING;
  // kFlagWake, or the encoder's error with nothing queued. Once a GOAWAY
  // went out already it queues nothing and goes straight to the final phase
  // (kFlagStopAccepting when no stream is left). A second call: 0.
  Result<uint32_t> begin_graceful_shutdown();
  uint32_t maybe_goaway_reply();

  // FrameQueue: control frames the state's shared steps queue.
  void window_update(uint32_t stream_id, uint32_t increment) override;
  void rst_stream(uint32_t stream_id, uint32_t code) override;
  void goaway(uint32_t last_stream_id, uint32_t code) override;

  static constexpr uint64_t kFramesPerTurn = 4;
  // Emptied buffers kept for reuse: a writer may hold a few batches at
  // once (one being written while the next is taken).
  static constexpr size_t kMaxSpares = 4;
  // The most capacity the spares hold together; also the largest buffer
  // take_pending allocates ahead.
  static constexpr size_t kMaxSpareCapacity = size_t(4) << 20;

 private:
  // The reset step on a stream that has a record.
  Result<ResetVerdict> reset_step(StreamRecord& r, uint32_t reason, Initiator who, HandleSink& sink);
  // After our side ended: the closed transition, then (server) the reset
  // of a request body still arriving, or the capacity release.
  Result<SendVerdict> complete_response(uint32_t stream_id, SendVerdict v, HandleSink& sink);
  // Connection capacity n back, WINDOW_UPDATE(0) at the threshold.
  Result<void> give_back_connection(uint32_t n);
  // A stream's stop when it cannot send: its derived stop, or a bare stop;
  // for an id without a record, the peer's remembered reset reason.
  Stop send_stop(const StreamRecord* r, uint32_t stream_id) const noexcept;
  // Ends one stream with `error` (fail, GOAWAY abort) and erases its record.
  // Returns the closed transition's flags; `out` gets the live stream's
  // handle and stop. With `give_back` (the connection lives on: a GOAWAY
  // abort) the capacity release of a closed stream runs first, so the
  // octets nobody read return to the connection window and budget exactly
  // once; without it (fail) they are dropped with the connection. Errors:
  // flow_control from the release, with the stream already closed.
  Result<uint32_t> abort_stream(StreamRecord& r, const StreamState::StoredError& error, std::vector<Aborted>& out,
                                HandleSink& sink, bool give_back);
  void remember_ours(uint32_t id, uint32_t reason, Initiator who);

  // Frames of a batch that could not be built (untake): the next take.
  std::string held_;
  std::vector<std::pair<uint32_t, uint64_t>> credit_batch_;  // DATA octets framed into `pending`
  std::vector<std::pair<uint32_t, uint64_t>> in_flight_;     // of buffers taken, not yet credited
  uint64_t credit_round_ = 0;
  const uint64_t max_batch_data_;  // ConnConfig::max_batch_data
  uint64_t batch_data_ = 0;        // DATA octets framed into `pending`
  bool batch_full_ = false;        // send_data() stopped at max_batch_data_
  std::array<std::string, kMaxSpares> spares_;
  size_t spare_count_ = 0;
  size_t spare_capacity_ = 0;
  std::vector<uint32_t> scratch_ids_;
  uint64_t writers_ = 0;
  bool closing_ = false;
  bool stopping_ = false;
};

}  // namespace velmora::h2
