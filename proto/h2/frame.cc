#include "proto/h2/frame.h"

#include <algorithm>
#include <cstring>

namespace velmora::h2 {

namespace {

uint32_t be32(const char* p) noexcept {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}
uint16_t be16(const char* p) noexcept {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return uint16_t(b[0] << 8 | b[1]);
}
void put32(char* p, uint32_t v) noexcept {
  p[0] = char(v >> 24);
  p[1] = char(v >> 16);
  p[2] = char(v >> 8);
  p[3] = char(v);
}

std::unexpected<Error> fail(ConnFailure what) { return std::unexpected(Error::recv(what)); }
std::unexpected<Error> load_fail(FrameError k) { return std::unexpected(Error::recv(ConnFailure::load_frame, k)); }
// The same failure with the code the protocol fixes for this one case.
std::unexpected<Error> load_fail(FrameError k, ErrorCode code) {
  Error e = Error::recv(ConnFailure::load_frame, k);
  e.code = uint32_t(code);
  return std::unexpected(e);
}
std::unexpected<Error> send_fail(BadArgument what, uint64_t value = 0) {
  return std::unexpected(Error::bad_argument(what, value));
}

constexpr uint32_t kStreamMask = 0x7fffffff;

// Appends a frame header and returns where its payload starts.
char* append_frame(std::string& out, uint32_t length, FrameType type, uint8_t fl, uint32_t sid) {
  size_t at = out.size();
  out.resize(at + kFrameHeaderLen + length);
  write_frame_header(out.data() + at, length, type, fl, sid);
  return out.data() + at + kFrameHeaderLen;
}

}  // namespace

FrameHeader read_frame_header(const char* p) noexcept {
  auto b = reinterpret_cast<const unsigned char*>(p);
  FrameHeader h;
  h.length = uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
  h.type = b[3];
  h.flags = b[4];
  h.stream_id = be32(p + 5) & kStreamMask;
  return h;
}

void write_frame_header(char* p, uint32_t length, FrameType type, uint8_t fl, uint32_t sid) noexcept {
  p[0] = char(length >> 16);
  p[1] = char(length >> 8);
  p[2] = char(length);
  p[3] = char(type);
  p[4] = char(fl);
  put32(p + 5, sid & kStreamMask);
}

PrefaceMatch match_preface(std::string_view data) noexcept {
  size_t n = std::min(data.size(), kPreface.size());
  if (std::memcmp(data.data(), kPreface.data(), n) != 0) return PrefaceMatch::diverged;
  return n < kPreface.size() ? PrefaceMatch::incomplete : PrefaceMatch::matched;
}

// ---- receive ----------------------------------------------------------------

void Receiver::recompute_limit() noexcept {
  uint32_t q = std::max<uint32_t>(1, max_header_list_size_ / max_frame_size_);
  max_continuations_ = std::max<uint32_t>(5, q + q / 4);
}

void Receiver::set_max_frame_size(uint32_t v) noexcept {
  max_frame_size_ = v;
  recompute_limit();
}

void Receiver::set_max_header_list_size(uint32_t v) noexcept {
  max_header_list_size_ = v;
  recompute_limit();
}

PrefaceMatch Receiver::feed_preface(std::string_view data) {
  preface_buf_.append(data);
  PrefaceMatch m = match_preface(preface_buf_);
  if (m == PrefaceMatch::matched) {
    buf_.append(preface_buf_, kPreface.size());
    std::string().swap(preface_buf_);
    preface_done_ = true;
  }
  return m;
}

Result<void> Receiver::receive(std::string_view data, RecvBatch& out) {
  out.clear();
  if (!preface_done_) {
    switch (feed_preface(data)) {
      case PrefaceMatch::diverged: return fail(ConnFailure::bad_preface);
      case PrefaceMatch::incomplete: return {};
      case PrefaceMatch::matched: data = {}; break;
    }
  }
  Result<void> r;
  // The payloads copied out of the read buffer come from what it holds now
  // plus at most one frame completed from `data`.
  copy_bound_ = buffered() + std::min(data.size(), kFrameHeaderLen + size_t(max_frame_size_));
  // First the frames that start in the read buffer. Each is completed from
  // `data` only as far as it needs, so the read buffer never holds more than
  // one frame's worth of the new bytes.
  while (buffered() > 0) {
    size_t have = buffered();
    if (have < kFrameHeaderLen) {
      size_t take = std::min(kFrameHeaderLen - have, data.size());
      buf_.append(data.data(), take);
      data.remove_prefix(take);
      if (buffered() < kFrameHeaderLen) break;
    }
    FrameHeader h = read_frame_header(buf_.data() + rpos_);
    if (h.length > max_frame_size_) {
      buf_.append(data);
      out.clear();
      return fail(ConnFailure::frame_too_large);
    }
    size_t need = kFrameHeaderLen + h.length;
    if (buffered() < need) {
      size_t take = std::min(need - buffered(), data.size());
      buf_.append(data.data(), take);
      data.remove_prefix(take);
      if (buffered() < need) break;
    }
    std::string_view payload(buf_.data() + rpos_ + kFrameHeaderLen, h.length);
    rpos_ += need;
    r = frame(h, payload, true, out);
    if (!r) {
      buf_.append(data);
      out.clear();
      return r;
    }
  }
  if (rpos_ == buf_.size()) {
    buf_.clear();
    rpos_ = 0;
  } else if (rpos_ > 0) {
    buf_.erase(0, rpos_);
    rpos_ = 0;
  }
  if (!buf_.empty()) return {};  // `data` is used up
  // Then the frames that lie whole in `data`, read in place.
  while (data.size() >= kFrameHeaderLen) {
    FrameHeader h = read_frame_header(data.data());
    if (h.length > max_frame_size_) {
      buf_.assign(data);
      out.clear();
      return fail(ConnFailure::frame_too_large);
    }
    size_t need = kFrameHeaderLen + h.length;
    if (data.size() < need) break;
    std::string_view payload = data.substr(kFrameHeaderLen, h.length);
    data.remove_prefix(need);
    r = frame(h, payload, false, out);
    if (!r) {
      buf_.assign(data);
      out.clear();
      return r;
    }
  }
  buf_.assign(data);
  return {};
}

Result<void> Receiver::frame(const FrameHeader& h, std::string_view p, bool from_buffer,
                             RecvBatch& out) {
  const uint32_t sid = h.stream_id;
  if (partial_ && h.type != uint8_t(FrameType::continuation)) return fail(ConnFailure::expected_continuation);
  switch (FrameType(h.type)) {
    case FrameType::data: {
      if (sid == 0) return load_fail(FrameError::invalid_stream_id);
      std::string_view d = p;
      if (h.flags & flags::padded) {
        if (p.empty() || uint8_t(p[0]) >= p.size()) return load_fail(FrameError::too_much_padding);
        d = p.substr(1, p.size() - 1 - uint8_t(p[0]));
      }
      if (from_buffer && !d.empty()) {
        // The read buffer is reused by the next call: the payload moves into
        // the batch. Room for every payload this call can copy is reserved
        // once, so earlier payloads never move.
        if (out.arena.empty()) out.arena.reserve(copy_bound_);
        size_t at = out.arena.size();
        out.arena.append(d);
        d = std::string_view(out.arena).substr(at, d.size());
      }
      out.events.emplace_back(DataEvent{sid, bool(h.flags & flags::end_stream), d, uint32_t(p.size()),
                                        uint32_t(p.size() - d.size())});
      return {};
    }
    case FrameType::headers: return headers(h, p, out);
    case FrameType::priority: {
      if (sid == 0) return fail(ConnFailure::priority_stream_zero);
      // A PRIORITY of the wrong size harms only its stream (RFC 9113,
      // section 6.3), and nothing is read from it.
      if (p.size() != 5) {
        out.events.emplace_back(StreamErrorEvent{sid, uint32_t(ErrorCode::frame_size_error)});
        return {};
      }
      if ((be32(p.data()) & kStreamMask) == sid)
        out.events.emplace_back(StreamErrorEvent{sid, uint32_t(ErrorCode::protocol_error)});
      else
        out.events.emplace_back(PriorityEvent{sid});
      return {};
    }
    case FrameType::rst_stream:
      if (p.size() != 4) return load_fail(FrameError::invalid_payload_length);
      out.events.emplace_back(RstStreamEvent{sid, be32(p.data())});
      return {};
    case FrameType::settings: {
      if (sid != 0) return load_fail(FrameError::invalid_stream_id);
      SettingsEvent ev;
      if (h.flags & flags::ack) {
        if (!p.empty()) return load_fail(FrameError::invalid_payload_length);
        ev.ack = true;
        out.events.emplace_back(std::move(ev));
        return {};
      }
      if (p.size() % 6 != 0) return load_fail(FrameError::invalid_payload_ack_settings);
      Settings& s = ev.settings;
      for (size_t i = 0; i < p.size(); i += 6) {
        uint16_t id = be16(p.data() + i);
        uint32_t v = be32(p.data() + i + 2);
        switch (id) {
          case 1: s.header_table_size = v; break;
          case 2:
            if (v > 1) return load_fail(FrameError::invalid_setting_value);
            s.enable_push = v == 1;
            break;
          case 3: s.max_concurrent_streams = v; break;
          case 4:
            // A window no flow-control arithmetic can hold (RFC 9113, section 6.5.2).
            if (v > uint32_t(kMaxWindow))
              return load_fail(FrameError::invalid_setting_value, ErrorCode::flow_control_error);
            s.initial_window_size = v;
            break;
          case 5:
            if (v < kDefaultMaxFrameSize || v > kMaxMaxFrameSize) return load_fail(FrameError::invalid_setting_value);
            s.max_frame_size = v;
            break;
          case 6: s.max_header_list_size = v; break;
          case 8:
            if (v > 1) return load_fail(FrameError::invalid_setting_value);
            s.enable_connect_protocol = v == 1;
            break;
          default: break;
        }
      }
      out.events.emplace_back(std::move(ev));
      return {};
    }
    case FrameType::push_promise: return fail(ConnFailure::push_promise);
    case FrameType::ping: {
      if (sid != 0) return load_fail(FrameError::invalid_stream_id);
      if (p.size() != 8) return load_fail(FrameError::bad_frame_size);
      PingEvent ev{bool(h.flags & flags::ack), {}};
      std::memcpy(ev.data.data(), p.data(), 8);
      out.events.emplace_back(ev);
      return {};
    }
    case FrameType::goaway:
      if (p.size() < 8) return load_fail(FrameError::bad_frame_size);
      out.events.emplace_back(
          GoAwayEvent{be32(p.data()) & kStreamMask, be32(p.data() + 4), std::string(p.substr(8))});
      return {};
    case FrameType::window_update: {
      if (p.size() != 4) return load_fail(FrameError::bad_frame_size);
      uint32_t inc = be32(p.data()) & kStreamMask;
      if (inc == 0) return load_fail(FrameError::invalid_window_update_value);
      out.events.emplace_back(WindowUpdateEvent{sid, inc});
      return {};
    }
    case FrameType::continuation: return continuation(h, p, out);
  }
  return {};  // unknown types are skipped
}

Result<void> Receiver::headers(const FrameHeader& h, std::string_view p, RecvBatch& out) {
  const uint32_t sid = h.stream_id;
  if (sid == 0) return load_fail(FrameError::invalid_stream_id);
  size_t pad = 0;
  if (h.flags & flags::padded) {
    if (p.empty()) return load_fail(FrameError::malformed_message);
    pad = uint8_t(p[0]);
    p.remove_prefix(1);
  }
  bool self_dependent = false;
  if (h.flags & flags::priority) {
    if (p.size() < 5) return load_fail(FrameError::malformed_message);
    self_dependent = (be32(p.data()) & kStreamMask) == sid;
    p.remove_prefix(5);
  }
  if (pad > p.size()) return load_fail(FrameError::too_much_padding);
  p.remove_suffix(pad);
  partial_.emplace(max_header_list_size_);
  if (pooled_)
    partial_->fields = http::HeaderMap::Builder(std::move(pool_[--pooled_]), hint_fields_, hint_bytes_);
  else if (hint_fields_)
    partial_->fields = http::HeaderMap::Builder(hint_fields_, hint_bytes_);
  partial_->stream_id = sid;
  partial_->end_stream = h.flags & flags::end_stream;
  // A stream depending on itself is a stream error, but its block is still
  // decoded: skipping it would leave our HPACK table out of step with the
  // peer's, and its CONTINUATION frames would look unexpected.
  partial_->self_dependent = self_dependent;
  partial_->rest.swap(spare_rest_);
  return decode_block(p, h.flags & flags::end_headers, out);
}

Result<void> Receiver::continuation(const FrameHeader& h, std::string_view p, RecvBatch& out) {
  if (!partial_) return fail(ConnFailure::unexpected_continuation);
  if (h.stream_id != partial_->stream_id) return fail(ConnFailure::continuation_stream_mismatch);
  const bool end_headers = h.flags & flags::end_headers;
  if (end_headers) {
    partial_->continuations = 0;
  } else if (++partial_->continuations > max_continuations_) {
    return fail(ConnFailure::too_many_continuations);
  }
  Partial& pb = *partial_;
  std::string_view fragment = p;
  if (!pb.rest.empty()) {
    if (pb.block.over_size() && pb.rest.size() + kFrameHeaderLen + p.size() > max_header_list_size_)
      return fail(ConnFailure::continuation_over_limit);
    pb.rest.append(p);
    fragment = pb.rest;
  }
  return decode_block(fragment, end_headers, out);
}

Result<void> Receiver::decode_block(std::string_view fragment, bool end_headers, RecvBatch& out) {
  Partial& pb = *partial_;
  HeaderListSink sink(pb.pseudo, pb.fields);
  auto r = hpack_.decode(fragment, pb.block, sink, end_headers);
  auto finish = [&] {
    // The block's tail storage is kept for the next block, and so is its
    // map's when the map was not delivered.
    recycle(std::move(pb.fields).finish());
    pb.rest.clear();
    if (spare_rest_.capacity() < pb.rest.capacity()) spare_rest_.swap(pb.rest);
    partial_.reset();
  };
  if (!r) {
    finish();
    return std::unexpected(r.error() == HpackError::header_list_too_large
                               ? Error::recv(ConnFailure::header_list_abuse)
                               : Error::recv(ConnFailure::hpack_failed, FrameError::hpack, r.error()));
  }
  HeaderList head;  // a complete block's, delivered
  switch (r->status) {
    case hpack::BlockStatus::partial:
    case hpack::BlockStatus::complete:
      if (!end_headers) {
        // Wait for CONTINUATION with whatever could not be decoded yet.
        if (fragment.data() == pb.rest.data())
          pb.rest.erase(0, r->consumed);
        else
          pb.rest.assign(fragment.substr(r->consumed));
        return {};
      }
      pb.pseudo.resolve(head, pb.fields.map());
      head.over_size = pb.block.over_size();
      if (pb.self_dependent || !acceptable_head(head, role_, pb.end_stream, extended_connect_))
        out.events.emplace_back(StreamErrorEvent{pb.stream_id, uint32_t(ErrorCode::protocol_error)});
      else {
        hint_fields_ = std::min(pb.fields.map().size(), kMaxSizeHintFields);
        hint_bytes_ = std::min(pb.fields.map().stored_bytes(), kMaxSizeHintBytes);
        // The views in `head` move with the map's storage.
        head.fields = std::move(pb.fields).finish();
        out.events.emplace_back(HeadersEvent{pb.stream_id, pb.end_stream, std::move(head)});
      }
      finish();
      return {};
    case hpack::BlockStatus::malformed:
      out.events.emplace_back(StreamErrorEvent{pb.stream_id, uint32_t(ErrorCode::protocol_error)});
      finish();
      return {};
  }
  finish();
  return {};
}

void Receiver::recycle(http::HeaderMap&& fields) noexcept {
  http::HeaderMap m(std::move(fields));
  const size_t size = m.storage_size();
  if (size == 0 || size > kMaxPooledMapSize || pooled_ == kMaxPooledMaps) return;
  pool_[pooled_++] = std::move(m);
}

// ---- encoders -----------------------------------------------------------------

Result<void> check_data(uint32_t sid, size_t len, uint32_t max_frame_size) noexcept {
  if (sid > kStreamMask) return send_fail(BadArgument::stream_id_msb);
  if (len > max_frame_size) return std::unexpected(Error::data_over_frame_size(len, max_frame_size));
  return {};
}

Result<void> write_data(std::string& out, uint32_t sid, std::string_view data, bool end_stream,
                        uint32_t max_frame_size) {
  auto ok = check_data(sid, data.size(), max_frame_size);
  if (!ok) return ok;
  // Header and payload written into the new room at once: resize() would
  // first zero the payload's room, as much work again as the copy.
  const size_t at = out.size();
  out.resize_and_overwrite(at + kFrameHeaderLen + data.size(), [&](char* buf, size_t n) noexcept {
    write_frame_header(buf + at, uint32_t(data.size()), FrameType::data, end_stream ? flags::end_stream : 0, sid);
    if (!data.empty()) std::memcpy(buf + at + kFrameHeaderLen, data.data(), data.size());
    return n;
  });
  return {};
}

Result<void> check_settings(const Settings& s) noexcept {
  if (s.max_frame_size && (*s.max_frame_size < kDefaultMaxFrameSize || *s.max_frame_size > kMaxMaxFrameSize))
    return send_fail(BadArgument::max_frame_size, *s.max_frame_size);
  if (s.initial_window_size && *s.initial_window_size > uint32_t(kMaxWindow))
    return send_fail(BadArgument::initial_window_size, *s.initial_window_size);
  return {};
}

size_t settings_frame_size(const Settings& s) noexcept {
  size_t n = bool(s.header_table_size) + bool(s.enable_push) + bool(s.max_concurrent_streams) +
             bool(s.initial_window_size) + bool(s.max_frame_size) + bool(s.max_header_list_size) +
             bool(s.enable_connect_protocol);
  return kFrameHeaderLen + 6 * n;
}

void write_settings(std::string& out, const Settings& s) {
  char* p = append_frame(out, uint32_t(settings_frame_size(s) - kFrameHeaderLen), FrameType::settings, 0, 0);
  auto flag = [](const std::optional<bool>& b) { return b ? std::optional<uint32_t>(*b ? 1 : 0) : std::nullopt; };
  auto param = [&](uint16_t id, const std::optional<uint32_t>& v) {
    if (!v) return;
    p[0] = char(id >> 8);
    p[1] = char(id);
    put32(p + 2, *v);
    p += 6;
  };
  param(1, s.header_table_size);
  param(2, flag(s.enable_push));
  param(3, s.max_concurrent_streams);
  param(4, s.initial_window_size);
  param(5, s.max_frame_size);
  param(6, s.max_header_list_size);
  param(8, flag(s.enable_connect_protocol));
}

void write_settings_ack(std::string& out) { append_frame(out, 0, FrameType::settings, flags::ack, 0); }

Result<void> write_ping(std::string& out, std::string_view payload, bool ack) {
  if (payload.size() != 8) return send_fail(BadArgument::ping_payload);
  std::memcpy(append_frame(out, 8, FrameType::ping, ack ? flags::ack : 0, 0), payload.data(), 8);
  return {};
}

Result<void> write_goaway(std::string& out, uint32_t last_stream_id, uint32_t error_code,
                           std::string_view debug) {
  if (debug.size() > kMaxMaxFrameSize - 8) return send_fail(BadArgument::frame_too_large, 8 + debug.size());
  char* p = append_frame(out, uint32_t(8 + debug.size()), FrameType::goaway, 0, 0);
  put32(p, last_stream_id & kStreamMask);
  put32(p + 4, error_code);
  if (!debug.empty()) std::memcpy(p + 8, debug.data(), debug.size());
  return {};
}

Result<void> write_rst_stream(std::string& out, uint32_t sid, uint32_t error_code) {
  if (sid > kStreamMask) return send_fail(BadArgument::stream_id_msb);
  put32(append_frame(out, 4, FrameType::rst_stream, 0, sid), error_code);
  return {};
}

Result<void> write_window_update(std::string& out, uint32_t sid, uint32_t increment) {
  if (sid > kStreamMask) return send_fail(BadArgument::stream_id_msb);
  put32(append_frame(out, 4, FrameType::window_update, 0, sid), increment);
  return {};
}

void frame_header_block(std::string& out, size_t block_start, uint32_t sid, bool end_stream,
                        uint32_t max_frame_size) {
  const size_t len = out.size() - block_start - kFrameHeaderLen;
  const size_t frames = len <= max_frame_size ? 1 : (len + max_frame_size - 1) / max_frame_size;
  const uint8_t last = flags::end_headers;
  const uint8_t first = end_stream ? flags::end_stream : 0;
  if (frames == 1) {
    write_frame_header(out.data() + block_start, uint32_t(len), FrameType::headers, first | last, sid);
    return;
  }
  // Grow once, then move the pieces after the first to their final places
  // from the back, so each octet moves once.
  out.resize(out.size() + (frames - 1) * kFrameHeaderLen);
  char* base = out.data() + block_start;
  for (size_t i = frames; i-- > 1;) {
    size_t off = i * max_frame_size;
    size_t n = std::min<size_t>(max_frame_size, len - off);
    char* dst = base + i * (kFrameHeaderLen + max_frame_size);
    std::memmove(dst + kFrameHeaderLen, base + kFrameHeaderLen + off, n);
    write_frame_header(dst, uint32_t(n), FrameType::continuation, i + 1 == frames ? last : 0, sid);
  }
  write_frame_header(base, max_frame_size, FrameType::headers, first, sid);
}

}  // namespace velmora::h2
