// The receive path of a connection: what each received frame does to the
// stream and connection state, and the capacity the application gives back.
#include <algorithm>

#include "proto/h2/conn_core.h"

namespace velmora::h2 {

namespace {

using Cause = StreamState::Cause;

Error stream_err(uint32_t id, ErrorCode code) noexcept {
  return Error::stream(id, uint32_t(code), Initiator::library);
}

Error idle_err(uint32_t id) noexcept {
  return Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::idle_stream, id);
}

// The content-length rules of a received head; the tracker takes the length.
Result<void> check_content_length(StreamRecord& r, const HeadersIn& h) noexcept {
  if (r.content_length.is_head() || r.tunnel) return {};
  if (h.content_length_invalid) return std::unexpected(stream_err(r.id, ErrorCode::protocol_error));
  if (!h.content_length) return {};
  r.content_length.set(*h.content_length);
  // A head that ends the stream cannot be followed by the octets it
  // declares, except where the status says none are sent.
  if (*h.content_length > 0 && h.end_stream && h.status != 204 && h.status != 304)
    return std::unexpected(stream_err(r.id, ErrorCode::protocol_error));
  return {};
}

// The peer can still send on the stream, so a WINDOW_UPDATE for it is useful.
bool peer_may_send(const StreamState& s) noexcept { return !s.is_closed() && !s.is_recv_end_stream(); }

}  // namespace

std::optional<Stop> stop_of(const StreamState& s) noexcept {
  if (!s.is_closed()) return std::nullopt;
  switch (s.cause()) {
    case Cause::end_stream: return std::nullopt;
    case Cause::scheduled_library_reset: return Stop{s.error().reason, false};
    case Cause::error:
    case Cause::error_after_end_stream: break;
  }
  const StreamState::StoredError& e = s.error();
  switch (e.kind) {
    case StreamState::StoredError::Kind::reset:
      // Our own user's cancel ends the readers cleanly.
      if (e.initiator == Initiator::user && e.reason == uint32_t(ErrorCode::cancel)) return std::nullopt;
      return Stop{e.reason, false};
    case StreamState::StoredError::Kind::goaway: return Stop{e.reason, true};
    case StreamState::StoredError::Kind::io: break;
  }
  return Stop{std::nullopt, true};
}

Result<void> ConnCore::give_back_connection(uint32_t n) {
  FlowControl next = state.conn_recv_flow();
  auto inc = next.release(n);
  if (!inc) return std::unexpected(inc.error());
  if (*inc) window_update(0, *inc);
  state.conn_recv_flow() = next;
  return {};
}

Result<HeadersVerdict> ConnCore::recv_headers(const HeadersIn& h, Handle& spare, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  const uint32_t sid = h.stream_id;
  const size_t before = pending.size();
  HeadersVerdict v;
  v.stream_id = sid;
  auto done = [&]() -> Result<HeadersVerdict> {
    if (pending.size() > before) v.flags |= kFlagWake;
    return v;
  };
  StreamRecord* r = state.streams().find(sid);
  if (r && r->state.is_closed()) {
    // Late HEADERS on a stream we ended ourselves: in flight when it closed.
    if (r->state.is_local_error()) return done();
    // Closed at END_STREAM or by the peer's reset: whatever it still holds
    // goes back, and the frame is one on a closed stream.
    auto rel = state.release_closed_capacity(*r, *this, sink);
    if (!rel) return std::unexpected(rel.error());
    state.closed_transition(*r, *this, sink);
    if (!*rel) state.streams().erase(sid, sink);
    r = nullptr;
  }
  if (r) {
    if (r->state.is_recv_headers()) {
      // A head without :status (the codec let it pass as possible trailers),
      // or an interim head that claims to end the stream.
      if (h.status == 0 || (h.informational && h.end_stream))
        return std::unexpected(stream_err(sid, ErrorCode::protocol_error));
      auto opened = r->state.recv_open(h.end_stream, h.informational);
      if (!opened) return std::unexpected(opened.error());
      if (h.informational) return done();
      // Only a 2xx opens a tunnel; any other answer is an ordinary response.
      if (h.status < 200 || h.status > 299) r->tunnel = false;
      v.kind = HeadersKind::head;
      v.handle = r->handle;
      v.eof = h.end_stream;
      // A refused head leaves the closed transition to the reset that answers
      // it, so that the flags it reports (a freed slot, the GOAWAY reply)
      // reach the driver instead of being lost with the error.
      if (auto cl = check_content_length(*r, h); !cl) return std::unexpected(cl.error());
      if (h.end_stream) v.flags |= state.closed_transition(*r, *this, sink);
      return done();
    }
    // The state decides before the block's content: once the peer ended
    // its side, any HEADERS on the stream is a frame on a half-closed
    // stream (RFC 9113, section 5.1), whatever it carries.
    if (r->state.is_recv_end_stream()) return std::unexpected(stream_err(sid, ErrorCode::stream_closed));
    // A second HEADERS: trailers, which must end the stream and carry no
    // pseudo-header; a tunnel carries none (RFC 9113, section 8.5).
    if (!h.end_stream || h.pseudo || r->tunnel) return std::unexpected(stream_err(sid, ErrorCode::protocol_error));
    if (auto ok = r->state.recv_close(); !ok) return std::unexpected(ok.error());
    // A body short of its content-length: the reset that answers the error
    // runs the closed transition and reports its flags.
    if (!r->content_length.is_satisfied()) return std::unexpected(stream_err(sid, ErrorCode::protocol_error));
    v.kind = HeadersKind::trailers;
    v.handle = r->handle;
    v.eof = true;
    v.flags |= state.closed_transition(*r, *this, sink);
    return done();
  }

  if (state.resets().find_live(sid, state.now())) return done();
  if (!state.is_server()) {
    if (!state.is_used_id(sid)) return std::unexpected(idle_err(sid));
    return std::unexpected(stream_err(sid, ErrorCode::stream_closed));
  }
  if (sid > state.max_stream_id()) return done();
  if (auto ok = state.admit_peer_id(sid); !ok) return std::unexpected(ok.error());
  // A request head with no pseudo-header at all: the id is used all the same.
  if (!h.pseudo) return std::unexpected(stream_err(sid, ErrorCode::protocol_error));
  if (state.at_accept_limit()) return std::unexpected(stream_err(sid, ErrorCode::refused_stream));
  if (!spare) {
    v.spare_missing = true;
    return v;
  }
  StreamRecord& nr = state.accept_stream(sid, h.end_stream, spare, h.protocol);
  spare = nullptr;  // the record owns it now
  v.kind = HeadersKind::opened;
  v.handle = nr.handle;
  v.eof = h.end_stream;
  if (auto cl = check_content_length(nr, h); !cl) {
    // Never handed to the application, so never pulled: it must not stay
    // queued for it.
    state.accepted(sid);
    return std::unexpected(cl.error());
  }
  return done();
}

Result<DataVerdict> ConnCore::recv_data(const DataIn& d, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  const uint32_t sid = d.stream_id;
  const uint32_t len = d.flow_controlled_len;
  const size_t before = pending.size();
  DataVerdict v;
  auto done = [&]() -> Result<DataVerdict> {
    if (pending.size() > before) v.flags |= kFlagWake;
    return v;
  };
  // A frame nobody reads still used the connection window: it is taken and
  // given back at once.
  auto swallow = [&]() -> Result<void> {
    if (auto ok = state.conn_recv_flow().send_data(len); !ok) return std::unexpected(ok.error());
    return give_back_connection(len);
  };

  StreamRecord* r = state.streams().find(sid);
  if (r && !r->state.is_closed()) {
    if (r->state.is_recv_end_stream()) {
      // The peer ended its side already: DATA on a half-closed stream
      // (RFC 9113, sections 5.1 and 6.1). Nobody reads it; its octets still
      // used the connection window.
      if (auto ok = swallow(); !ok) return std::unexpected(ok.error());
      return std::unexpected(stream_err(sid, ErrorCode::stream_closed));
    }
    if (!r->state.is_recv_streaming())
      return std::unexpected(
          Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::unexpected_data, sid));
    if (len > 0) {
      if (auto ok = state.conn_recv_flow().send_data(len); !ok) return std::unexpected(ok.error());
      if (auto ok = r->recv_flow.send_data(len); !ok) {
        if (auto g = give_back_connection(len); !g) return std::unexpected(g.error());
        return std::unexpected(stream_err(sid, ErrorCode::flow_control_error));
      }
    }
    if (!r->content_length.dec(d.payload_len) || (d.end_stream && !r->content_length.is_satisfied())) {
      // The stream's window stays consumed: the stream is reset anyway.
      if (auto g = give_back_connection(len); !g) return std::unexpected(g.error());
      return std::unexpected(stream_err(sid, ErrorCode::protocol_error));
    }
    r->recv_unreleased += len;
    if (d.padding > 0) {
      // Padding is never seen by the application: released here.
      auto rel = release_capacity(sid, d.padding, sink);
      if (!rel) return std::unexpected(rel.error());
    }
    v.handle = r->handle;
    if (!d.end_stream) {
      auto charge = state.data_frame_budget().record(d.payload_len);
      if (!charge) return std::unexpected(charge.error());
      r->data_budget_charged += *charge;
      if (d.payload_len == 0) {
        v.handle = nullptr;
        return done();
      }
      v.deliver = true;
      v.budgeted = true;
      return done();
    }
    if (auto ok = r->state.recv_close(); !ok) return std::unexpected(ok.error());
    v.deliver = true;
    v.eof = true;
    v.flags |= state.closed_transition(*r, *this, sink);
    return done();
  }

  bool ignored = r ? r->state.is_local_error()
                   : (state.resets().find_live(sid, state.now()) ||
                      (state.is_server() && sid > state.max_stream_id()));
  if (ignored) {
    if (auto ok = swallow(); !ok) return std::unexpected(ok.error());
    return done();
  }
  if (r) {
    auto rel = state.release_closed_capacity(*r, *this, sink);
    if (!rel) return std::unexpected(rel.error());
    state.closed_transition(*r, *this, sink);
    if (!*rel) state.streams().erase(sid, sink);
  } else if (!state.is_used_id(sid)) {
    return std::unexpected(idle_err(sid));
  }
  if (auto ok = swallow(); !ok) return std::unexpected(ok.error());
  return std::unexpected(stream_err(sid, ErrorCode::stream_closed));
}

Result<Handle> ConnCore::recv_window_update(uint32_t sid, uint32_t increment) {
  if (sid == 0) {
    FlowControl next = state.conn_send_flow();
    if (!next.inc_window(increment) || !next.assign_capacity(increment))
      return std::unexpected(Error::flow_control());
    state.conn_send_flow() = next;
    StreamRecord* front = state.admit_and_front();
    return front ? front->handle : nullptr;
  }
  StreamRecord* r = state.streams().find(sid);
  if (!r) {
    if (state.resets().holds(sid) || state.is_used_id(sid)) return nullptr;
    return std::unexpected(idle_err(sid));
  }
  FlowControl next = r->send_flow;
  if (!next.inc_window(increment) || !next.assign_capacity(increment))
    return std::unexpected(stream_err(sid, ErrorCode::flow_control_error));
  r->send_flow = next;
  return r->handle;
}

namespace {

// Adds `diff` to a window and its available amount; false on overflow.
bool shift(FlowControl& f, int64_t diff) noexcept {
  FlowControl next = f;
  uint32_t n = uint32_t(diff < 0 ? -diff : diff);
  bool ok = diff < 0 ? next.dec_recv_window(n).has_value()
                     : next.inc_window(n).has_value() && next.assign_capacity(n).has_value();
  if (ok) f = next;
  return ok;
}

}  // namespace

Result<SettingsVerdict> ConnCore::recv_settings(bool ack, const Settings& s, std::vector<Handle>& wake) {
  if (!started()) return std::unexpected(not_started());
  SettingsVerdict v;
  if (ack) {
    if (!state.settings_outstanding())
      return std::unexpected(
          Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::unexpected_settings_ack));
    const Settings& local = state.local_settings();
    if (local.initial_window_size && *local.initial_window_size != state.stream_recv_window()) {
      int64_t diff = int64_t(*local.initial_window_size) - int64_t(state.stream_recv_window());
      bool ok = true;
      state.streams().for_each([&](StreamRecord& r) { ok = shift(r.recv_flow, diff) && ok; });
      if (!ok) return std::unexpected(Error::flow_control());
      state.set_stream_recv_window(*local.initial_window_size);
    }
    state.mark_settings_acked();
    v.apply_to_decoder = local;
    return v;
  }
  // RFC 8441, section 3: once allowed, extended CONNECT stays allowed.
  if (s.enable_connect_protocol && !*s.enable_connect_protocol && state.peer_connect_protocol())
    return std::unexpected(
        Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::connect_protocol_withdrawn));
  write_settings_ack(pending);
  v.flags |= kFlagWake;
  v.initial = state.mark_peer_settings();
  if (s.enable_connect_protocol) state.set_peer_connect_protocol(*s.enable_connect_protocol);
  if (s.header_table_size) send.set_header_table_size(*s.header_table_size);
  if (s.max_frame_size) {
    // The frame layer refuses a value outside the protocol's range.
    state.set_peer_max_frame_size(*s.max_frame_size);
    send.set_max_frame_size(*s.max_frame_size);
  }
  if (s.max_concurrent_streams) {
    state.set_peer_max_concurrent_streams(*s.max_concurrent_streams);
    if (!state.is_server()) {
      state.apply_stream_limit(*s.max_concurrent_streams);
      v.flags |= kFlagSlotFreed;
    }
  }
  if (s.initial_window_size && *s.initial_window_size != state.peer_initial_window_size()) {
    int64_t diff = int64_t(*s.initial_window_size) - int64_t(state.peer_initial_window_size());
    bool ok = true;
    state.streams().for_each([&](StreamRecord& r) {
      if (r.closed_marker || r.state.is_send_closed()) return;
      FlowControl next = r.send_flow;
      uint32_t n = uint32_t(diff < 0 ? -diff : diff);
      bool fine = diff < 0 ? next.dec_send_window(n).has_value() && next.claim_capacity(n).has_value()
                           : next.inc_window(n).has_value() && next.assign_capacity(n).has_value();
      if (!fine) {
        ok = false;
        return;
      }
      r.send_flow = next;
      if (diff > 0) wake.push_back(r.handle);
    });
    if (!ok) return std::unexpected(Error::flow_control());
    state.set_peer_initial_window_size(*s.initial_window_size);
  }
  return v;
}

Result<uint32_t> ConnCore::recv_ping(bool ack, std::string_view payload) {
  if (!started()) return std::unexpected(not_started());
  const size_t before = pending.size();
  if (!ack) {
    if (auto ok = write_ping(pending, payload, true); !ok) return std::unexpected(ok.error());
    return pending.size() > before ? uint32_t(kFlagWake) : 0u;
  }
  if (!state.is_server() || !state.graceful() || state.shutdown_final() || payload != kShutdownPing) return 0u;
  // Our shutdown PING came back: the peer has seen our first GOAWAY and
  // everything it sent before it has arrived, so the last stream we
  // accepted is final.
  state.set_shutdown_final();
  goaway(state.last_processed_id(), uint32_t(ErrorCode::no_error));
  uint32_t flags = pending.size() > before ? uint32_t(kFlagWake) : 0u;
  if (state.num_streams() == 0) flags |= kFlagStopAccepting;
  return flags;
}

Result<uint32_t> ConnCore::recv_goaway(uint32_t last, uint32_t code, std::vector<Aborted>& aborted,
                                      HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  const auto& prev = state.peer_goaway();
  if (prev && last > prev->last_stream_id)
    return std::unexpected(
        Error::protocol(uint32_t(ErrorCode::protocol_error), ConnFailure::goaway_raised_last_id));
  state.set_peer_goaway({last, code});
  if (state.is_server()) return 0u;
  const size_t before = pending.size();
  uint32_t flags = kFlagSlotFreed;
  scratch_ids_.clear();
  state.streams().for_each([&](StreamRecord& r) {
    if (r.id > last) scratch_ids_.push_back(r.id);
  });
  std::sort(scratch_ids_.begin(), scratch_ids_.end());
  StreamState::StoredError err;
  err.kind = StreamState::StoredError::Kind::goaway;
  err.initiator = Initiator::remote;
  err.reason = code;
  for (uint32_t id : scratch_ids_) {
    StreamRecord* r = state.streams().find(id);
    if (!r) continue;
    auto f = abort_stream(*r, err, aborted, sink, true);
    if (!f) return std::unexpected(f.error());
    flags |= *f;
  }
  if (pending.size() > before) flags |= kFlagWake;
  return flags;
}

Result<uint32_t> ConnCore::release_capacity(uint32_t sid, uint32_t n, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  StreamRecord* r = state.streams().find(sid);
  if (!r || r->recv_reclaimed) return 0u;
  const size_t before = pending.size();
  // Only what was delivered can come back: a larger release would open the
  // windows beyond what we meant to buffer.
  n = std::min(n, r->recv_unreleased);
  FlowControl next = r->recv_flow;
  auto inc = next.release(n);
  if (!inc) return std::unexpected(inc.error());
  if (*inc && peer_may_send(r->state)) window_update(sid, *inc);
  r->recv_flow = next;
  r->recv_unreleased -= n;
  if (n > 0)
    if (auto ok = give_back_connection(n); !ok) return std::unexpected(ok.error());
  state.reap_if_done(*r, sink);
  return pending.size() > before ? uint32_t(kFlagWake) : 0u;
}

void ConnCore::release_data_frame(uint32_t sid, uint64_t payload_len, HandleSink& sink) noexcept {
  StreamRecord* r = state.streams().find(sid);
  if (!r) return;
  uint64_t charge = std::min(DataFrameBudget::charge_of(payload_len), r->data_budget_charged);
  r->data_budget_charged -= charge;
  state.data_frame_budget().release(charge);
  state.reap_if_done(*r, sink);
}

}  // namespace velmora::h2
