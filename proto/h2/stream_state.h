// The state of one HTTP/2 stream (RFC 9113, section 5.1) as the connection
// runs it: which half may still send or receive, whether each open half has
// seen its HEADERS yet, and why a closed stream closed.
//
// Every method is one check and one action, so that its owner can make it a
// single step under its state lock: the read pump may reset a stream on
// another thread between a separate check and action. An invalid transition
// returns its error and leaves the state unchanged.
//
// Not synchronised: the owner keeps it behind its state lock.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "proto/h2/error.h"

namespace velmora::h2 {

class StreamState {
 public:
  // An open half: no HEADERS yet in that direction, or HEADERS seen and
  // DATA may follow.
  enum class Phase : uint8_t { awaiting_headers, streaming };

  enum class Kind : uint8_t {
    idle,
    reserved_local,
    reserved_remote,
    open,                // local and remote phase
    half_closed_local,   // remote phase
    half_closed_remote,  // local phase
    closed,              // cause
  };

  enum class Cause : uint8_t {
    end_stream,                // both halves ended normally
    error,                     // reset or failed; the error is stored
    error_after_end_stream,    // reset after the peer had ended its half
    scheduled_library_reset,   // we decided to reset; RST_STREAM still to send
  };

  // The error stored with a stream closed by error.
  struct StoredError {
    enum class Kind : uint8_t { reset, goaway, io };
    Kind kind = Kind::reset;
    Initiator initiator = Initiator::user;  // reset, goaway
    uint32_t stream_id = 0;                 // reset
    uint32_t reason = 0;                    // reset, goaway; scheduled reset: its reason
    ConnFailure io = ConnFailure::broken_pipe;

    // What reading the stream raises.
    Error raised() const noexcept;
    bool operator==(const StoredError&) const = default;
  };

  StreamState() = default;  // idle

  // We send HEADERS (local half starts streaming; `eos` ends it at once).
  // From idle, reserved (local), or a half of ours still awaiting headers;
  // else Misuse::unexpected_frame_type.
  Result<void> send_open(bool eos) noexcept;
  // The peer's HEADERS arrived; an informational (1xx) head leaves the
  // remote half awaiting headers. True when it opened the stream from idle
  // or reserved (remote). From any state where the peer may not send HEADERS:
  // PROTOCOL_ERROR (connection error).
  Result<bool> recv_open(bool eos, bool informational) noexcept;
  Result<void> reserve_remote() noexcept;  // idle only; else PROTOCOL_ERROR
  Result<void> reserve_local() noexcept;   // idle only; else unexpected_frame_type
  // The peer ended its half (END_STREAM). From open or half-closed (local);
  // else PROTOCOL_ERROR.
  Result<void> recv_close() noexcept;
  // The peer reset the stream. A closed stream is left alone unless the
  // reset was `queued` (the stream closed locally with its RST_STREAM still
  // in flight). A peer that had ended its half keeps its complete message:
  // the cause is then error_after_end_stream.
  void recv_reset(uint32_t stream_id, uint32_t reason, bool queued) noexcept;
  // The transport closed: any live state ends with a broken-pipe error.
  void recv_eof() noexcept;
  // We end our half. Only while our half is streaming; false (nothing done)
  // otherwise, for the caller to report the reset instead.
  bool send_close() noexcept;
  // Closed by a reset, whatever the state.
  void set_reset(uint32_t stream_id, uint32_t reason, Initiator who) noexcept;
  // Closed by a reset we still have to send. False when already closed.
  bool set_scheduled_reset(uint32_t reason) noexcept;
  // The reason of a scheduled reset.
  std::optional<uint32_t> scheduled_reset() const noexcept;
  // Whether more may be received: true while the peer's half is open, false
  // once nothing more will arrive; a stream closed by error gives that
  // error, a scheduled reset PROTOCOL-level error with its reason.
  Result<bool> ensure_recv_open() const noexcept;

  // Bulk close by the connection (GOAWAY abort, connection failure): any
  // live state becomes closed with `error`. False when already closed.
  bool close_with(const StoredError& error) noexcept;

  Kind kind() const noexcept { return kind_; }
  Cause cause() const noexcept { return cause_; }  // closed only
  const StoredError& error() const noexcept { return error_; }  // closed by error only

  bool is_idle() const noexcept { return kind_ == Kind::idle; }
  bool is_closed() const noexcept { return kind_ == Kind::closed; }
  bool is_reset() const noexcept { return kind_ == Kind::closed && cause_ != Cause::end_stream; }
  bool is_scheduled_reset() const noexcept {
    return kind_ == Kind::closed && cause_ == Cause::scheduled_library_reset;
  }
  bool is_local_error() const noexcept;
  bool is_remote_reset() const noexcept;
  bool is_send_streaming() const noexcept {
    return (kind_ == Kind::open && local_ == Phase::streaming) ||
           (kind_ == Kind::half_closed_remote && local_ == Phase::streaming);
  }
  bool is_recv_headers() const noexcept {
    return kind_ == Kind::idle || kind_ == Kind::reserved_remote ||
           ((kind_ == Kind::open || kind_ == Kind::half_closed_local) && remote_ == Phase::awaiting_headers);
  }
  bool is_recv_streaming() const noexcept {
    return (kind_ == Kind::open || kind_ == Kind::half_closed_local) && remote_ == Phase::streaming;
  }
  bool is_recv_end_stream() const noexcept {
    return kind_ == Kind::half_closed_remote ||
           (kind_ == Kind::closed && (cause_ == Cause::end_stream || cause_ == Cause::error_after_end_stream));
  }
  bool is_send_closed() const noexcept {
    return kind_ == Kind::reserved_remote || kind_ == Kind::half_closed_local || kind_ == Kind::closed;
  }

  // The state with its payload: "Idle", "Open { local: Streaming, remote:
  // AwaitingHeaders }", "HalfClosedLocal(AwaitingHeaders)", "Closed(EndStream)",
  // "Closed(ScheduledLibraryReset(CANCEL))", "Closed(Error(Reset(1, CANCEL, Remote)))".
  std::string describe() const;

  bool operator==(const StreamState&) const = default;

 private:
  void close(Cause c) noexcept {
    kind_ = Kind::closed;
    cause_ = c;
  }

  Kind kind_ = Kind::idle;
  Phase local_ = Phase::awaiting_headers;   // open, half_closed_remote
  Phase remote_ = Phase::awaiting_headers;  // open, half_closed_local
  Cause cause_ = Cause::end_stream;
  StoredError error_;
};

}  // namespace velmora::h2
