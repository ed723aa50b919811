// The send path of a connection: request and response heads, bodies under
// flow control with the capacity rotation, trailers, and the pending buffer
// handed to the write pump.
#include <algorithm>

#include "proto/h2/conn_core.h"

namespace velmora::h2 {

Stop ConnCore::send_stop(const StreamRecord* r, uint32_t sid) const noexcept {
  if (r) {
    if (auto s = stop_of(r->state)) return *s;
    return Stop{};
  }
  // The record may be gone already when the peer reset the stream: its
  // reason is still known for a while.
  if (const ResetStore::Entry* e = state.resets().peer_reset(sid)) return Stop{e->reason, false};
  return Stop{};
}

Result<std::optional<uint32_t>> ConnCore::open_stream(const OutHead& head, const Error* head_error,
                                                    const http::HeaderMap* fields, bool end_stream, bool is_head,
                                                    Handle handle) {
  if (!started()) {
    state.abandon_open();
    return std::unexpected(not_started());
  }
  auto check = state.check_open();
  if (!check) return std::unexpected(check.error());
  if (*check == ConnState::OpenCheck::refused) return std::optional<uint32_t>();
  if (head_error) {
    state.abandon_open();
    return std::unexpected(*head_error);
  }
  const bool tunnel = !head.protocol.empty();
  if (tunnel && !state.peer_connect_protocol()) {
    // RFC 8441: only once the server's SETTINGS allowed it.
    state.abandon_open();
    return std::unexpected(Error::user(Misuse::connect_protocol_disabled));
  }
  const uint32_t id = state.next_stream_id();
  const size_t before = pending.size();
  // Encode first: a refusal leaves no record behind.
  if (auto ok = send.write_headers(pending, id, head, fields, end_stream); !ok) {
    state.abandon_open();
    return std::unexpected(ok.error());
  }
  try {
    state.commit_open(end_stream, is_head, handle, tunnel);
  } catch (...) {
    pending.resize(before);
    throw;
  }
  return std::optional<uint32_t>(id);
}

Result<SendVerdict> ConnCore::complete_response(uint32_t sid, SendVerdict v, HandleSink& sink) {
  StreamRecord* r = state.streams().find(sid);
  if (!r) return v;
  v.flags |= state.closed_transition(*r, *this, sink);
  if (!state.is_server()) return v;
  r = state.streams().find(sid);
  if (!r) return v;
  if (!r->state.is_recv_end_stream() && !r->state.is_closed()) {
    // A tunnel's halves end independently: the peer ends its own.
    if (r->tunnel) return v;
    // The handler answered without reading the whole request body: the
    // peer must stop sending it (RFC 9113, section 8.1).
    auto reset = reset_step(*r, uint32_t(ErrorCode::no_error), Initiator::user, sink);
    if (!reset) return std::unexpected(reset.error());
    v.handle = reset->handle;
    v.reader_stop = reset->stop;
    v.flags |= reset->flags;
    return v;
  }
  auto rel = state.release_closed_capacity(*r, *this, sink);
  if (!rel) return std::unexpected(rel.error());
  return v;
}

Result<SendVerdict> ConnCore::send_data(uint32_t sid, std::string_view data, uint64_t offset, bool end_stream,
                                      HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  SendVerdict v;
  StreamRecord* r = state.streams().find(sid);
  if (!r || !ConnState::send_ready(*r)) {
    v.stopped = send_stop(r, sid);
    return v;
  }
  const size_t before = pending.size();
  auto wake = [&] {
    if (pending.size() > before) v.flags |= kFlagWake;
  };
  const uint64_t remaining = data.size() - offset;
  if (remaining == 0) {
    // An empty chunk carries nothing; only an END_STREAM needs a frame (an
    // empty non-final frame counts against the peer's empty-frame cap). It
    // is done all the same: there is nothing left to wait for.
    if (!end_stream) {
      v.done = true;
      return v;
    }
    if (auto ok = send.write_data(pending, sid, {}, true); !ok) return std::unexpected(ok.error());
    r->state.send_close();
    v.done = true;
    wake();
    return complete_response(sid, v, sink);
  }

  const uint64_t room_total = state.max_send_buf_size();
  auto room_of = [&](const StreamRecord& s) {
    return s.send_buffered >= room_total ? 0 : room_total - s.send_buffered;
  };
  const uint64_t stream_win = r->send_flow.window_size();
  const uint64_t conn_win = state.conn_send_flow().window_size();
  const uint64_t room = room_of(*r);
  const uint64_t reserve = std::min({stream_win, room, conn_win});
  if (reserve == 0) {
    if (conn_win == 0 && stream_win > 0 && room > 0) state.join_waiters(*r);
    v.flags |= state.leave_rotation(*r);
    return v;
  }
  v.flags |= state.leave_waiters(*r);
  StreamRecord* front = state.rotation_front();
  if (front && front != r) {
    state.join_rotation(*r);
    return v;  // its turn comes
  }
  if (!front) state.join_rotation(*r);
  if (r->frames_this_turn >= kFramesPerTurn) {
    if (state.rotation().size() > 1) {
      state.rotation().pop_front();
      state.rotation().push_back(sid);  // the slot just freed: cannot fail
      r->frames_this_turn = 0;
      v.flags |= kFlagCapacity;
      return v;
    }
    if (state.num_streams() >= 2) return v;  // resumes after credit_written
  }
  if (max_batch_data_ && batch_data_ >= max_batch_data_) {
    batch_full_ = true;
    return v;  // the front: credit_written wakes it
  }

  const uint32_t n = uint32_t(std::min<uint64_t>({remaining, reserve, state.peer_max_frame_size()}));
  const bool last = n == remaining;
  FlowControl conn_next = state.conn_send_flow(), stream_next = r->send_flow;
  if (!conn_next.send_data(n) || !stream_next.send_data(n)) return std::unexpected(Error::flow_control());
  if (credit_batch_.size() == credit_batch_.capacity()) credit_batch_.reserve(std::max<size_t>(16, 2 * credit_batch_.size()));
  if (auto ok = send.write_data(pending, sid, data.substr(offset, n), last && end_stream); !ok)
    return std::unexpected(ok.error());
  state.conn_send_flow() = conn_next;
  r->send_flow = stream_next;
  r->send_buffered += n;
  batch_data_ += n;
  ++r->frames_this_turn;
  if (!credit_batch_.empty() && credit_batch_.back().first == sid)
    credit_batch_.back().second += n;
  else
    credit_batch_.emplace_back(sid, n);  // reserved above

  if (last) {
    v.flags |= state.leave_rotation(*r);
  } else {
    uint64_t own = std::min<uint64_t>(r->send_flow.window_size(), room_of(*r));
    if (state.conn_send_flow().window() <= 0 && own > 0) {
      v.flags |= state.leave_rotation(*r);
      state.join_waiters(*r);
    } else if (own == 0) {
      v.flags |= state.leave_rotation(*r);
    }
  }
  v.sent = n;
  v.done = last;
  wake();
  if (last && end_stream) {
    r->state.send_close();
    return complete_response(sid, v, sink);
  }
  return v;
}

Result<SendVerdict> ConnCore::send_trailers(uint32_t sid, const http::HeaderMap& trailers, HandleSink& sink) {
  if (!started()) return std::unexpected(not_started());
  SendVerdict v;
  StreamRecord* r = state.streams().find(sid);
  if (!r || !ConnState::send_ready(*r)) {
    v.stopped = send_stop(r, sid);
    return v;
  }
  const size_t before = pending.size();
  if (auto ok = send.write_headers(pending, sid, OutHead{}, &trailers, true); !ok) return std::unexpected(ok.error());
  r->state.send_close();
  v.flags |= state.leave_rotation(*r);
  v.done = true;
  if (pending.size() > before) v.flags |= kFlagWake;
  return complete_response(sid, v, sink);
}

Result<SendVerdict> ConnCore::send_response_head(uint32_t sid, const OutHead& head, const Error* head_error,
                                               const http::HeaderMap* fields, std::string_view date,
                                               bool end_stream, HandleSink& sink) {
  const bool interim = head.status >= 100 && head.status < 200;
  if (interim && (end_stream || head.status == 101))
    return std::unexpected(Error::user(Misuse::invalid_informational_status_code));
  if (!started()) return std::unexpected(not_started());
  SendVerdict v;
  StreamRecord* r = state.streams().find(sid);
  if (!r || r->state.is_closed()) {
    // The peer reset the stream, or the connection dropped, while the
    // handler was computing its answer.
    v.stopped = send_stop(r, sid);
    return v;
  }
  if (head_error) return std::unexpected(*head_error);
  StreamState next = r->state;
  if (auto ok = next.send_open(end_stream); !ok) {
    // A late interim head on a server stream: our final head won the race.
    if (interim && state.is_server()) {
      v.refused = true;
      return v;
    }
    return std::unexpected(ok.error());
  }
  const size_t before = pending.size();
  if (auto ok = send.write_headers(pending, sid, head, fields, end_stream, date); !ok)
    return std::unexpected(ok.error());
  if (interim) {
    // The send side stays where it was: the final head is still to come.
    v.flags |= kFlagWake;
    return v;
  }
  r->state = next;
  // Only a 2xx opens a tunnel; any other answer is an ordinary response.
  if (head.status < 200 || head.status > 299) r->tunnel = false;
  v.done = end_stream;
  if (pending.size() > before) v.flags |= kFlagWake;
  if (end_stream) return complete_response(sid, v, sink);
  return v;
}

Handle ConnCore::next_capacity_wake() {
  StreamRecord* r = state.admit_and_front();
  return r ? r->handle : nullptr;
}

bool ConnCore::take_pending(std::string& out) {
  if (!held_.empty()) {
    // A batch that could not be built comes first, alone: its credits are
    // in flight already, those of `pending` stay in the credit batch.
    out.clear();
    out.swap(held_);
    return stopping_;
  }
  // The steps that can fail come first: once the buffer has moved out, its
  // credits must follow it.
  in_flight_.reserve(in_flight_.size() + credit_batch_.size());
  // The next pending buffer is the caller's old one, a spare, or else is
  // allocated here, by the writer, as large as this batch grew. Left empty,
  // it would be regrown by doubling on whichever threads queue the next
  // frames and freed by the writer: under many threads the allocator then
  // keeps partly used pages of every size on every one of them, and memory
  // is not returned.
  out.clear();
  std::string next;
  if (out.capacity() > std::string().capacity()) {
    next.swap(out);
  } else if (spare_count_ > 0) {
    next.swap(spares_[--spare_count_]);
    spare_capacity_ -= next.capacity();
  } else if (!pending.empty()) {
    next.reserve(std::min(pending.capacity(), kMaxSpareCapacity));
  }
  out.swap(pending);
  pending.swap(next);
  batch_data_ = 0;
  // Both vectors keep their capacity: in steady state this allocates nothing.
  in_flight_.insert(in_flight_.end(), credit_batch_.begin(), credit_batch_.end());
  credit_batch_.clear();
  return stopping_;
}

void ConnCore::untake(std::string& buf) {
  if (held_.empty())
    held_.swap(buf);
  else
    held_.append(buf);
  buf.clear();
}

void ConnCore::give_back(std::string& buf) noexcept {
  buf.clear();
  // A buffer without storage of its own is no spare; one grown by a burst
  // is not kept for the connection's life.
  if (buf.capacity() <= std::string().capacity() || spare_count_ == kMaxSpares ||
      spare_capacity_ + buf.capacity() > kMaxSpareCapacity)
    return;
  spare_capacity_ += buf.capacity();
  spares_[spare_count_++].swap(buf);
}

void ConnCore::credit_written(std::vector<Handle>& wake) {
  const uint64_t round = ++credit_round_;
  for (auto [sid, n] : in_flight_) {
    StreamRecord* r = state.streams().find(sid);
    if (!r) continue;
    r->send_buffered -= std::min(n, r->send_buffered);
    r->frames_this_turn = 0;
    if (r->credit_round == round) continue;
    r->credit_round = round;
    wake.push_back(r->handle);
  }
  in_flight_.clear();
  if (batch_full_) {
    batch_full_ = false;
    StreamRecord* f = state.rotation_front();
    if (f && f->credit_round != round) {
      f->credit_round = round;
      wake.push_back(f->handle);
    }
  }
}

bool ConnCore::writer_start() noexcept {
  if (state.failed() || closing_) return false;
  ++writers_;
  return true;
}

bool ConnCore::writer_end() noexcept {
  if (writers_) --writers_;
  return writers_ == 0 && closing_;
}

bool ConnCore::release_writers() noexcept {
  closing_ = true;
  return writers_ == 0;
}

}  // namespace velmora::h2
