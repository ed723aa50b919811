#include "proto/h2/stream_state.h"

namespace velmora::h2 {

namespace {

using Kind = StreamState::Kind;
using Phase = StreamState::Phase;
using Cause = StreamState::Cause;

Error peer_protocol_error() noexcept { return Error::protocol(uint32_t(ErrorCode::protocol_error)); }

const char* phase_name(Phase p) noexcept { return p == Phase::streaming ? "Streaming" : "AwaitingHeaders"; }

void append_reason(std::string& out, uint32_t code) {
  std::string_view name = reason_name(code);
  if (name.empty())
    out += "Reason(" + std::to_string(code) + ")";
  else
    out += name;
}

}  // namespace

Error StreamState::StoredError::raised() const noexcept {
  switch (kind) {
    case Kind::reset: return Error::stream(stream_id, reason, initiator);
    case Kind::goaway: return Error::protocol(reason);
    case Kind::io: break;
  }
  return Error::io(io);
}

Result<void> StreamState::send_open(bool eos) noexcept {
  switch (kind_) {
    case Kind::idle:
      if (eos) {
        kind_ = Kind::half_closed_local;
        remote_ = Phase::awaiting_headers;
      } else {
        kind_ = Kind::open;
        local_ = Phase::streaming;
        remote_ = Phase::awaiting_headers;
      }
      return {};
    case Kind::open:
      if (local_ != Phase::awaiting_headers) break;
      if (eos)
        kind_ = Kind::half_closed_local;  // remote phase kept
      else
        local_ = Phase::streaming;
      return {};
    case Kind::half_closed_remote:
      if (local_ != Phase::awaiting_headers) break;
      [[fallthrough]];
    case Kind::reserved_local:
      if (eos) {
        close(Cause::end_stream);
      } else {
        kind_ = Kind::half_closed_remote;
        local_ = Phase::streaming;
      }
      return {};
    default:
      break;
  }
  return std::unexpected(Error::user(Misuse::unexpected_frame_type));
}

Result<bool> StreamState::recv_open(bool eos, bool informational) noexcept {
  switch (kind_) {
    case Kind::idle:
      if (eos) {
        kind_ = Kind::half_closed_remote;
        local_ = Phase::awaiting_headers;
      } else {
        kind_ = Kind::open;
        local_ = Phase::awaiting_headers;
        remote_ = informational ? Phase::awaiting_headers : Phase::streaming;
      }
      return true;
    case Kind::reserved_remote:
      if (eos) {
        close(Cause::end_stream);
      } else if (!informational) {
        kind_ = Kind::half_closed_local;
        remote_ = Phase::streaming;
      }
      return true;
    case Kind::open:
      if (remote_ != Phase::awaiting_headers) break;
      if (eos)
        kind_ = Kind::half_closed_remote;  // local phase kept
      else if (!informational)
        remote_ = Phase::streaming;
      return false;
    case Kind::half_closed_local:
      if (remote_ != Phase::awaiting_headers) break;
      if (eos)
        close(Cause::end_stream);
      else if (!informational)
        remote_ = Phase::streaming;
      return false;
    default:
      break;
  }
  return std::unexpected(peer_protocol_error());
}

Result<void> StreamState::reserve_remote() noexcept {
  if (kind_ != Kind::idle) return std::unexpected(peer_protocol_error());
  kind_ = Kind::reserved_remote;
  return {};
}

Result<void> StreamState::reserve_local() noexcept {
  if (kind_ != Kind::idle) return std::unexpected(Error::user(Misuse::unexpected_frame_type));
  kind_ = Kind::reserved_local;
  return {};
}

Result<void> StreamState::recv_close() noexcept {
  if (kind_ == Kind::open) {
    kind_ = Kind::half_closed_remote;  // local phase kept
    return {};
  }
  if (kind_ == Kind::half_closed_local) {
    close(Cause::end_stream);
    return {};
  }
  return std::unexpected(peer_protocol_error());
}

void StreamState::recv_reset(uint32_t stream_id, uint32_t reason, bool queued) noexcept {
  if (kind_ == Kind::closed && !queued) return;
  bool peer_ended = is_recv_end_stream();
  error_ = {StoredError::Kind::reset, Initiator::remote, stream_id, reason, ConnFailure::broken_pipe};
  close(peer_ended ? Cause::error_after_end_stream : Cause::error);
}

void StreamState::recv_eof() noexcept {
  close_with({StoredError::Kind::io, Initiator::library, 0, 0, ConnFailure::broken_pipe});
}

bool StreamState::close_with(const StoredError& error) noexcept {
  if (kind_ == Kind::closed) return false;
  error_ = error;
  close(Cause::error);
  return true;
}

bool StreamState::send_close() noexcept {
  if (kind_ == Kind::open && local_ == Phase::streaming) {
    kind_ = Kind::half_closed_local;  // remote phase kept
    return true;
  }
  if (kind_ == Kind::half_closed_remote && local_ == Phase::streaming) {
    close(Cause::end_stream);
    return true;
  }
  return false;
}

void StreamState::set_reset(uint32_t stream_id, uint32_t reason, Initiator who) noexcept {
  error_ = {StoredError::Kind::reset, who, stream_id, reason, ConnFailure::broken_pipe};
  close(Cause::error);
}

bool StreamState::set_scheduled_reset(uint32_t reason) noexcept {
  if (kind_ == Kind::closed) return false;
  error_ = {StoredError::Kind::reset, Initiator::library, 0, reason, ConnFailure::broken_pipe};
  close(Cause::scheduled_library_reset);
  return true;
}

std::optional<uint32_t> StreamState::scheduled_reset() const noexcept {
  if (!is_scheduled_reset()) return std::nullopt;
  return error_.reason;
}

Result<bool> StreamState::ensure_recv_open() const noexcept {
  switch (kind_) {
    case Kind::idle:
    case Kind::reserved_remote:
    case Kind::open:
    case Kind::half_closed_local:
      return true;
    case Kind::reserved_local:
    case Kind::half_closed_remote:
      return false;
    case Kind::closed:
      break;
  }
  switch (cause_) {
    case Cause::end_stream:
    case Cause::error_after_end_stream:
      return false;
    case Cause::error:
      return std::unexpected(error_.raised());
    case Cause::scheduled_library_reset:
      break;
  }
  return std::unexpected(Error::protocol(error_.reason));
}

bool StreamState::is_local_error() const noexcept {
  if (kind_ != Kind::closed) return false;
  if (cause_ == Cause::scheduled_library_reset) return true;
  if (cause_ == Cause::end_stream) return false;
  return error_.kind == StoredError::Kind::io || error_.initiator != Initiator::remote;
}

bool StreamState::is_remote_reset() const noexcept {
  return kind_ == Kind::closed && (cause_ == Cause::error || cause_ == Cause::error_after_end_stream) &&
         error_.kind == StoredError::Kind::reset && error_.initiator == Initiator::remote;
}

std::string StreamState::describe() const {
  std::string out;
  switch (kind_) {
    case Kind::idle: return "Idle";
    case Kind::reserved_local: return "ReservedLocal";
    case Kind::reserved_remote: return "ReservedRemote";
    case Kind::open:
      out = "Open { local: ";
      out += phase_name(local_);
      out += ", remote: ";
      out += phase_name(remote_);
      out += " }";
      return out;
    case Kind::half_closed_local:
      return std::string("HalfClosedLocal(") + phase_name(remote_) + ")";
    case Kind::half_closed_remote:
      return std::string("HalfClosedRemote(") + phase_name(local_) + ")";
    case Kind::closed:
      break;
  }
  out = "Closed(";
  switch (cause_) {
    case Cause::end_stream: out += "EndStream"; break;
    case Cause::scheduled_library_reset:
      out += "ScheduledLibraryReset(";
      append_reason(out, error_.reason);
      out += ")";
      break;
    case Cause::error:
    case Cause::error_after_end_stream: {
      out += cause_ == Cause::error ? "Error(" : "ErrorAfterEndStream(";
      static constexpr const char* kWho[] = {"User", "Library", "Remote"};
      switch (error_.kind) {
        case StoredError::Kind::reset:
          out += "Reset(" + std::to_string(error_.stream_id) + ", ";
          append_reason(out, error_.reason);
          out += ", ";
          out += kWho[size_t(error_.initiator)];
          out += ")";
          break;
        case StoredError::Kind::goaway:
          out += "GoAway(";
          append_reason(out, error_.reason);
          out += ", ";
          out += kWho[size_t(error_.initiator)];
          out += ")";
          break;
        case StoredError::Kind::io:
          out += "Io(BrokenPipe)";
          break;
      }
      out += ")";
      break;
    }
  }
  out += ")";
  return out;
}

}  // namespace velmora::h2
