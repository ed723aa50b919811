#include "proto/h2/conn_state.h"

#include <algorithm>
#include <limits>

namespace velmora::h2 {

std::optional<Role> parse_role(std::string_view s) noexcept {
  if (s == "client") return Role::client;
  if (s == "server") return Role::server;
  return std::nullopt;
}

Result<void> ConnConfig::check() const noexcept {
  if (max_frame_size < kDefaultMaxFrameSize || max_frame_size > kMaxMaxFrameSize)
    return std::unexpected(Error::bad_argument(BadArgument::max_frame_size, max_frame_size));
  if (initial_window_size > uint32_t(kMaxWindow) || connection_window > uint32_t(kMaxWindow))
    return std::unexpected(Error::bad_argument(BadArgument::window_sizes));
  return {};
}

ConnState::ConnState(const ConnConfig& c)
    : role_(c.role),
      stream_recv_window_(std::max(c.initial_window_size, kDefaultWindow)),
      connection_window_(c.connection_window),
      max_accepted_streams_(c.max_concurrent_streams ? uint64_t(*c.max_concurrent_streams)
                                                     : std::numeric_limits<uint64_t>::max()),
      max_send_buf_size_(c.max_send_buf_size),
      budget_(c.data_frame_budget, c.connection_window),
      max_local_error_reset_streams_(c.max_local_error_reset_streams),
      max_pending_accept_reset_streams_(c.max_pending_accept_reset_streams),
      auto_date_header_(c.auto_date_header) {
  local_.enable_push = c.enable_push;
  if (role_ == Role::server) {
    local_.max_concurrent_streams = c.max_concurrent_streams;
    if (c.enable_connect_protocol) local_.enable_connect_protocol = true;
  }
  local_.initial_window_size = c.initial_window_size;
  local_.max_frame_size = c.max_frame_size;
  local_.max_header_list_size = c.max_header_list_size;
}

uint32_t ConnState::raise_connection_window() noexcept {
  if (connection_window_ <= kDefaultWindow) return 0;
  // Both fields start at the default window and the target is at most
  // 2^31 - 1, so neither step can fail.
  (void)conn_recv_.assign_capacity(connection_window_ - kDefaultWindow);
  std::optional<uint32_t> inc = conn_recv_.unclaimed_capacity();
  if (!inc) return 0;
  (void)conn_recv_.inc_window(*inc);
  return *inc;
}

bool ConnState::try_claim_slot() noexcept {
  if (!can_open()) return false;
  ++num_open_streams_;
  return true;
}

Result<ConnState::OpenCheck> ConnState::check_open() noexcept {
  if (failed_ || peer_goaway_) {
    release_slot_count();
    return OpenCheck::refused;
  }
  if (next_stream_id_ > kMaxStreamId) {
    release_slot_count();
    return std::unexpected(
        Error::protocol(uint32_t(ErrorCode::refused_stream), ConnFailure::stream_ids_exhausted));
  }
  return OpenCheck::proceed;
}

void ConnState::init_stream(StreamRecord& r, Handle handle) noexcept {
  r.handle = handle;
  r.send_flow = FlowControl(int32_t(peer_initial_window_size_), int32_t(peer_initial_window_size_));
  r.recv_flow = FlowControl(int32_t(stream_recv_window_), int32_t(stream_recv_window_));
}

StreamRecord& ConnState::commit_open(bool end_stream, bool is_head, Handle handle, bool tunnel) {
  uint32_t id = next_stream_id_;
  StreamRecord& r = streams_.emplace(id);  // the only step that can fail
  init_stream(r, handle);
  r.content_length = ContentLength(is_head);
  r.tunnel = tunnel;
  (void)r.state.send_open(end_stream);  // from idle: always valid
  r.holds_slot = true;
  // Past 2^31 - 1 the next check_open refuses; the id never wraps into reuse.
  next_stream_id_ = id + 2;
  ++num_streams_;
  return r;
}

Result<void> ConnState::admit_peer_id(uint32_t id) noexcept {
  if ((id & 1) == 0 || id <= last_peer_opened_id_)
    return std::unexpected(
        Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::invalid_new_stream_id, id));
  last_peer_opened_id_ = id;
  return {};
}

void ConnState::note_peer_id(uint32_t id) noexcept {
  if ((id & 1) && id > last_peer_opened_id_) last_peer_opened_id_ = id;
}

StreamRecord& ConnState::accept_stream(uint32_t id, bool end_stream, Handle handle, bool tunnel) {
  // Reserve the pending-accept entry first: after the record exists nothing
  // may fail.
  streams_.add_pending_accept(id);
  StreamRecord* r;
  try {
    r = &streams_.emplace(id);
  } catch (...) {
    streams_.accepted(id);
    throw;
  }
  init_stream(*r, handle);
  r->tunnel = tunnel;
  (void)r->state.recv_open(end_stream, false);  // from idle: always valid
  ++num_streams_;
  last_processed_id_ = id;
  return *r;
}

bool ConnState::is_used_id(uint32_t id) const noexcept {
  if ((id & 1) == 0) return false;
  return role_ == Role::client ? id < next_stream_id_ : id <= last_peer_opened_id_;
}

bool ConnState::reap_if_done(StreamRecord& r, HandleSink& sink) noexcept {
  if (!r.reapable()) return false;
  streams_.erase(r.id, sink);
  return true;
}

uint32_t ConnState::closed_transition(StreamRecord& r, FrameQueue& out, HandleSink& sink) {
  if (!r.state.is_closed() || r.closed_marker) return 0;
  uint32_t flags = 0;
  r.closed_marker = true;
  if (num_streams_) --num_streams_;
  if (r.holds_slot) {
    r.holds_slot = false;
    release_slot_count();
    flags |= kFlagSlotFreed;
  }
  flags |= leave_rotation(r);
  flags |= leave_waiters(r);
  reap_if_done(r, sink);  // `r` may be gone from here on
  flags |= maybe_goaway_reply(out);
  if (shutdown_final_ && num_streams_ == 0) flags |= kFlagStopAccepting;
  return flags;
}

uint32_t ConnState::leave_rotation(StreamRecord& r) noexcept {
  if (!r.in_rotation) return 0;
  r.in_rotation = false;
  if (rotation_.empty()) return 0;
  if (rotation_.front() != r.id) {
    rotation_.remove(r.id);
    return 0;
  }
  rotation_.pop_front();
  if (!rotation_.empty()) return uint32_t(kFlagCapacity);
  return !waiters_.empty() && conn_send_.window() > 0 ? uint32_t(kFlagCapacity) : 0u;
}

uint32_t ConnState::leave_waiters(StreamRecord& r) noexcept {
  if (!r.waiting) return 0;
  r.waiting = false;
  if (waiters_.empty()) return 0;
  if (waiters_.front() != r.id) {
    waiters_.remove(r.id);
    return 0;
  }
  waiters_.pop_front();
  if (!rotation_.empty()) return uint32_t(kFlagCapacity);
  return !waiters_.empty() && conn_send_.window() > 0 ? uint32_t(kFlagCapacity) : 0u;
}

StreamRecord* ConnState::rotation_front() noexcept {
  while (!rotation_.empty()) {
    StreamRecord* r = streams_.find(rotation_.front());
    if (r && r->in_rotation && send_ready(*r)) return r;
    if (r) r->in_rotation = false;
    rotation_.pop_front();
  }
  return nullptr;
}

StreamRecord* ConnState::admit_and_front() {
  if (conn_send_.window() > 0 && !rotation_front()) {
    while (!waiters_.empty()) {
      StreamRecord* r = streams_.find(waiters_.front());
      waiters_.pop_front();
      if (!r || !r->waiting) continue;
      r->waiting = false;
      if (!send_ready(*r)) continue;
      join_rotation(*r);  // the rotation is empty: its storage exists or grows once
      break;
    }
  }
  return rotation_front();
}

Result<bool> ConnState::release_closed_capacity(StreamRecord& r, FrameQueue& out,
                                                HandleSink& sink) {
  uint32_t inc = 0;
  if (r.recv_unreleased) {
    FlowControl next = conn_recv_;
    auto released = next.release(r.recv_unreleased);
    if (!released) return std::unexpected(released.error());
    inc = *released;
    if (inc) out.window_update(0, inc);  // may throw: nothing changed yet
    conn_recv_ = next;
  }
  budget_.release(std::exchange(r.data_budget_charged, 0));
  r.recv_unreleased = 0;
  r.recv_reclaimed = true;
  return reap_if_done(r, sink);
}

Result<void> ConnState::count_local_error_reset(uint32_t id, uint32_t reason) noexcept {
  if (reason == uint32_t(ErrorCode::stream_closed) && !streams_.find(id) && resets_.reset_by_us(id)) return {};
  ++local_error_resets_;
  if (max_local_error_reset_streams_ && local_error_resets_ > *max_local_error_reset_streams_)
    return std::unexpected(
        Error::protocol(uint32_t(ErrorCode::enhance_your_calm), ConnFailure::too_many_stream_resets));
  return {};
}

bool ConnState::record_failure(std::string message) {
  if (failed_) return false;
  failed_ = true;
  failure_message_ = std::move(message);
  return true;
}

uint32_t ConnState::maybe_goaway_reply(FrameQueue& out) {
  if (goaway_replied_ || failed_ || num_streams_ != 0 || !peer_goaway_ ||
      peer_goaway_->last_stream_id > kMaxStreamId - 1)
    return 0;
  out.goaway(is_server() ? last_processed_id_ : 0, uint32_t(ErrorCode::no_error));
  goaway_replied_ = true;
  record_failure("connection closed: GOAWAY exchanged");
  return kFlagWake | kFlagConnDone;
}

std::string ConnState::describe() const {
  std::string out = is_server() ? "H2Streams(role=server, streams=" : "H2Streams(role=client, streams=";
  out += std::to_string(streams_.size());
  out += ", active=";
  out += std::to_string(num_streams_);
  out += failed_ ? ", failed=true" : ", failed=false";
  out += peer_goaway_ ? ", goaway=true)" : ", goaway=false)";
  return out;
}

}  // namespace velmora::h2
