// Resets, failure and shutdown: how streams and the connection end.
#include <algorithm>

#include "proto/h2/conn_core.h"

namespace velmora::h2 {

void ConnCore::remember_ours(uint32_t id, uint32_t reason, Initiator who) {
  state.resets().remember_ours(id, reason, who, state.now());
}

Result<ResetVerdict> ConnCore::reset_step(StreamRecord& r, uint32_t reason, Initiator who, HandleSink& sink) {
  const uint32_t sid = r.id;
  const size_t before = pending.size();
  ResetVerdict v;
  v.handle = r.handle;
  if (!r.state.is_closed()) {
    r.state.set_reset(sid, reason, who);
    v.stop = stop_of(r.state);
    auto rel = state.release_closed_capacity(r, *this, sink);  // not reaped: the record is not marked yet
    if (!rel) return std::unexpected(rel.error());
    rst_stream(sid, reason);
    v.flags |= state.closed_transition(r, *this, sink);
    remember_ours(sid, reason, who);
  } else {
    const bool by_peer = r.state.is_remote_reset();
    if (r.state.cause() == StreamState::Cause::end_stream) r.state.set_reset(sid, reason, who);
    v.stop = stop_of(r.state);
    auto rel = state.release_closed_capacity(r, *this, sink);
    if (!rel) return std::unexpected(rel.error());
    if (!*rel) v.flags |= state.closed_transition(r, *this, sink);
    if (!by_peer) remember_ours(sid, reason, who);
  }
  if (pending.size() > before) v.flags |= kFlagWake;
  return v;
}

Result<std::optional<RecvResetVerdict>> ConnCore::recv_reset(uint32_t sid, uint32_t reason, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  if (sid == 0)
    return std::unexpected(Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::rst_stream_zero));
  StreamRecord* r = state.streams().find(sid);
  if (!r) {
    if (state.resets().holds(sid) || state.is_used_id(sid)) return std::optional<RecvResetVerdict>();
    return std::unexpected(
        Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::idle_stream, sid));
  }
  StreamStore& store = state.streams();
  if (state.is_server() && store.is_pending_accept(sid)) {
    // Requests the peer opens and cancels before the application even sees
    // them cost us work and give it none: the rapid-reset pattern.
    if (store.pending_accept_resets() >= state.max_pending_accept_reset_streams())
      return std::unexpected(
          Error::protocol(uint32_t(ErrorCode::enhance_your_calm), ConnFailure::too_many_resets));
    store.add_pending_accept_reset(sid);
  }
  if (r->closed_marker) return std::optional<RecvResetVerdict>();
  const size_t before = pending.size();
  RecvResetVerdict v;
  v.handle = r->handle;
  v.notify_body = !r->state.is_recv_end_stream();
  r->state.recv_reset(sid, reason, false);
  v.stop = stop_of(r->state);
  auto rel = state.release_closed_capacity(*r, *this, sink);
  if (!rel) return std::unexpected(rel.error());
  v.flags |= state.closed_transition(*r, *this, sink);
  // A handler still computing its answer learns why the stream stopped,
  // even once the record is gone.
  state.resets().remember_peer(sid, reason, state.now());
  if (pending.size() > before) v.flags |= kFlagWake;
  return std::optional<RecvResetVerdict>(v);
}

Result<ResetVerdict> ConnCore::reset_stream(uint32_t sid, uint32_t reason, Initiator who, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  StreamRecord* r = state.streams().find(sid);
  if (!r) return ResetVerdict{};
  return reset_step(*r, reason, who, sink);
}

Result<ResetVerdict> ConnCore::reset_on_error(uint32_t sid, uint32_t reason, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  // On the client, a stream error on an id we never opened is a frame on an
  // idle stream (a malformed block the codec refused before the connection
  // saw the id): a connection error, as the same block well formed would be.
  // Answering it with RST_STREAM would reset our own idle id and put our
  // later HEADERS on it after a reset.
  if (!state.is_server() && !state.streams().find(sid) && !state.is_used_id(sid))
    return std::unexpected(
        Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::idle_stream, sid));
  if (auto ok = state.count_local_error_reset(sid, reason); !ok) return std::unexpected(ok.error());
  if (StreamRecord* r = state.streams().find(sid)) return reset_step(*r, reason, Initiator::library, sink);
  // A stream error on an id without a record, such as a request head the
  // codec refused before it could open a stream. The id is used from now on, as if the stream had opened
  // (the peer takes it as closed once it reads our RST_STREAM), so neither
  // it nor a lower id can open a stream later.
  if (state.is_server()) state.note_peer_id(sid);
  const size_t before = pending.size();
  remember_ours(sid, reason, Initiator::library);
  rst_stream(sid, reason);
  ResetVerdict v;
  if (pending.size() > before) v.flags |= kFlagWake;
  return v;
}

Result<ResetVerdict> ConnCore::aclose_body(uint32_t sid, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  StreamRecord* r = state.streams().find(sid);
  if (!r) return ResetVerdict{};
  if (!r->state.is_recv_end_stream())
    return reset_step(*r, uint32_t(ErrorCode::cancel), Initiator::user, sink);
  // The whole body arrived: no reset, but what the reader never took goes
  // back to the connection.
  const size_t before = pending.size();
  ResetVerdict v;
  auto rel = state.release_closed_capacity(*r, *this, sink);
  if (!rel) return std::unexpected(rel.error());
  if (!*rel) v.flags |= state.closed_transition(*r, *this, sink);
  if (pending.size() > before) v.flags |= kFlagWake;
  return v;
}

Result<uint32_t> ConnCore::abort_stream(StreamRecord& r, const StreamState::StoredError& error,
                                       std::vector<Aborted>& out, HandleSink& sink, bool give_back) {
  const uint32_t sid = r.id;
  if (r.state.close_with(error)) out.push_back({r.handle, stop_of(r.state).value_or(Stop{std::nullopt, true})});
  if (give_back) {
    // The connection goes on: what the stream received and nobody read
    // returns to its window and budget now, or never (the record goes).
    auto rel = state.release_closed_capacity(r, *this, sink);  // not reaped: the record is not marked yet
    if (!rel) return std::unexpected(rel.error());
  } else {
    // The connection is gone: no window is left to give anything back to.
    r.recv_unreleased = 0;
    r.data_budget_charged = 0;
    r.recv_reclaimed = true;
  }
  uint32_t flags = state.closed_transition(r, *this, sink);
  state.streams().erase(sid, sink);
  return flags;
}

bool ConnCore::fail(std::string message, std::vector<Aborted>& aborted, HandleSink& sink) {
  bool recorded = state.record_failure(std::move(message));
  scratch_ids_.clear();
  state.streams().for_each([&](StreamRecord& r) { scratch_ids_.push_back(r.id); });
  StreamState::StoredError err;
  err.kind = StreamState::StoredError::Kind::io;
  err.io = ConnFailure::broken_pipe;
  for (uint32_t id : scratch_ids_)
    if (StreamRecord* r = state.streams().find(id)) (void)abort_stream(*r, err, aborted, sink, false);
  state.rotation().clear();
  state.waiters().clear();
  return recorded;
}

Result<uint32_t> ConnCore::send_goaway(uint32_t reason) {
  if (!started()) return std::unexpected(not_started());
  const size_t before = pending.size();
  goaway(state.is_server() ? state.last_processed_id() : 0, reason);
  return pending.size() > before ? uint32_t(kFlagWake) : 0u;
}

Result<uint32_t> ConnCore::begin_graceful_shutdown() {
  if (!started()) return std::unexpected(not_started());
  if (state.graceful()) return 0u;
  if (state.goaway_sent()) {
    // A GOAWAY already named its last stream id and nothing above it is
    // accepted since: a GOAWAY(2^31-1) now would raise that id, and there is
    // nothing left for a PING to settle. The shutdown is at its final phase.
    state.set_graceful();
    state.set_shutdown_final();
    return state.num_streams() == 0 ? uint32_t(kFlagStopAccepting) : 0u;
  }
  const size_t before = pending.size();
  // Every stream the peer may already have sent can still arrive; the PING
  // tells us when it has seen this GOAWAY.
  goaway(kMaxStreamId, uint32_t(ErrorCode::no_error));
  if (auto ok = write_ping(pending, kShutdownPing, false); !ok) {
    pending.resize(before);
    return std::unexpected(ok.error());
  }
  state.set_graceful();
  return pending.size() > before ? uint32_t(kFlagWake) : 0u;
}

uint32_t ConnCore::maybe_goaway_reply() { return state.maybe_goaway_reply(*this); }

}  // namespace velmora::h2
