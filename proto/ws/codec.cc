#include "proto/ws/codec.h"

#include <algorithm>
#include <cstring>

#include "proto/http/field_scan.h"
#include "proto/ws/random.h"

namespace velmora::ws {

namespace {

bool is_control(Opcode op) noexcept { return uint8_t(op) & 0x8; }

bool known(uint8_t op) noexcept { return op <= 2 || (op >= 8 && op <= 10); }

}  // namespace

Codec::Codec(const Config& cfg) : cfg_(cfg) {
  if (cfg_.deflate) {
    const DeflateParams& d = *cfg_.deflate;
    bool server = cfg_.role == Role::server;
    uint8_t bits = server ? d.server_max_window_bits : d.client_max_window_bits;
    deflater_ = std::make_unique<Deflater>(bits ? bits : 15,
                                           server ? d.server_no_context_takeover : d.client_no_context_takeover);
    inflater_ = std::make_unique<Inflater>(server ? d.client_no_context_takeover : d.server_no_context_takeover);
  }
}

Codec::~Codec() = default;
Codec::Codec(Codec&&) noexcept = default;
Codec& Codec::operator=(Codec&&) noexcept = default;

State Codec::state() const noexcept {
  if (failure_.code) return State::failed;
  if (close_sent_ && close_received_) return State::closed;
  if (close_sent_) return State::close_sent;
  if (close_received_) return State::close_received;
  return State::open;
}

bool Codec::may_close_transport() const noexcept { return close_sent_ && (close_received_ || failure_.code); }

Result<void> Codec::fail_with(ErrorKind k) {
  failure_ = Error{k, violation_code(k)};
  return std::unexpected(failure_);
}

// ---- receiving -------------------------------------------------------------------

Result<void> Codec::receive(std::string_view data, std::vector<Event>& out) {
  if (failure_.code) return std::unexpected(Error{ErrorKind::failed, failure_.code});
  const char* p = data.data();
  size_t n = data.size();
  while (n) {
    if (close_received_) return fail_with(ErrorKind::data_after_close);
    if (!in_payload_) {
      size_t take = std::min<size_t>(n, hdr_need_ - hdr_len_);
      std::memcpy(hdr_ + hdr_len_, p, take);
      hdr_len_ = uint8_t(hdr_len_ + take);
      p += take;
      n -= take;
      if (hdr_len_ < hdr_need_) break;
      if (hdr_len_ == 2) {
        // The first two octets settle everything but the length's value.
        uint8_t b0 = hdr_[0], b1 = hdr_[1];
        uint8_t op = b0 & 0x0f;
        if (b0 & 0x30) return fail_with(ErrorKind::reserved_bits);
        if (!known(op)) return fail_with(ErrorKind::unknown_opcode);
        op_ = Opcode(op);
        fin_ = b0 & 0x80;
        compressed_frame_ = b0 & 0x40;
        if (compressed_frame_ && (!inflater_ || (op_ != Opcode::text && op_ != Opcode::binary)))
          return fail_with(ErrorKind::reserved_bits);
        uint8_t len7 = b1 & 0x7f;
        if (is_control(op_)) {
          if (!fin_) return fail_with(ErrorKind::fragmented_control);
          if (len7 > kMaxControlPayload) return fail_with(ErrorKind::control_too_long);
        } else if (op_ == Opcode::continuation) {
          if (!in_message_) return fail_with(ErrorKind::orphan_continuation);
        } else if (in_message_) {
          return fail_with(ErrorKind::interleaved_message);
        }
        masked_ = b1 & 0x80;
        if (cfg_.role == Role::server && !masked_) return fail_with(ErrorKind::unmasked_frame);
        if (cfg_.role == Role::client && masked_) return fail_with(ErrorKind::masked_frame);
        hdr_need_ = uint8_t(2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (masked_ ? 4 : 0));
        if (hdr_need_ > 2) continue;
      }
      if (auto r = header_done(); !r) return r;
      if (remaining_) continue;
    } else {
      size_t take = size_t(std::min<uint64_t>(n, remaining_));
      if (auto r = payload(p, take, out); !r) return r;
      p += take;
      n -= take;
      remaining_ -= take;
      offset_ += take;
      if (remaining_) break;
    }
    if (auto r = frame_done(out); !r) return r;
  }
  // Streaming: what arrived of the message so far goes out now.
  if (cfg_.streaming && in_message_ && !close_sent_ && msg_.size() > utf8_.held()) emit_fragment(false, out);
  return {};
}

Result<void> Codec::header_done() {
  uint8_t len7 = hdr_[1] & 0x7f;
  uint64_t len = len7;
  const uint8_t* q = hdr_ + 2;
  if (len7 == 126) {
    len = uint64_t(q[0]) << 8 | q[1];
    q += 2;
    if (len < 126) return fail_with(ErrorKind::non_minimal_length);
  } else if (len7 == 127) {
    len = 0;
    for (int i = 0; i < 8; ++i) len = len << 8 | q[i];
    q += 8;
    if (len >> 63) return fail_with(ErrorKind::length_overflow);
    if (len <= 0xffff) return fail_with(ErrorKind::non_minimal_length);
  }
  if (masked_) std::memcpy(key_, q, 4);
  if (!is_control(op_)) {
    if (len > cfg_.max_frame_size) return fail_with(ErrorKind::frame_too_big);
    if (op_ != Opcode::continuation) {
      in_message_ = true;
      msg_text_ = op_ == Opcode::text;
      msg_compressed_ = compressed_frame_;
      msg_size_ = 0;
      msg_.clear();
      utf8_.reset();
    }
    // Uncompressed, the message's size is known from the header; compressed,
    // the inflater checks it as it goes.
    if (!msg_compressed_ && !close_sent_ && len > cfg_.max_message_size - msg_size_)
      return fail_with(ErrorKind::message_too_big);
  }
  in_payload_ = true;
  remaining_ = len;
  offset_ = 0;
  return {};
}

Result<void> Codec::payload(const char* p, size_t n, std::vector<Event>&) {
  if (!n) return {};
  auto unmask_onto = [&](std::string& dst) {
    size_t old = dst.size();
    dst.resize_and_overwrite(old + n, [&](char* d, size_t) {
      if (masked_)
        http::mask_bytes(d + old, p, n, key_, size_t(offset_ & 3));
      else
        std::memcpy(d + old, p, n);
      return old + n;
    });
    return old;
  };
  if (is_control(op_)) {
    unmask_onto(ctl_);
    return {};
  }
  if (close_sent_) return {};  // data after our close: parsed and dropped
  size_t old;
  if (msg_compressed_) {
    std::string_view src(p, n);
    if (masked_) {
      scratch_.clear();
      unmask_onto(scratch_);
      src = scratch_;
    }
    old = msg_.size();
    auto r = inflater_->inflate(src, false, msg_size_, cfg_.max_message_size, msg_);
    // What inflated before a failure is checked first: the first fault in
    // the message's order wins, however the input was split.
    if (msg_text_ && !utf8_.feed(std::string_view(msg_).substr(old))) return fail_with(ErrorKind::invalid_utf8);
    if (!r) return fail_with(r.error().kind);
    return {};
  }
  // Unmasked and validated a cache-sized piece at a time, so the check
  // reads what the unmasking just wrote while it is still in cache.
  constexpr size_t kPiece = 16 * 1024;
  bool valid = true;
  old = msg_.size();
  msg_.resize_and_overwrite(old + n, [&](char* d, size_t) {
    size_t at = 0;
    for (; at < n && valid; at += kPiece) {
      size_t k = std::min(kPiece, n - at);
      char* dst = d + old + at;
      if (masked_)
        http::mask_bytes(dst, p + at, k, key_, size_t((offset_ + at) & 3));
      else
        std::memcpy(dst, p + at, k);
      if (msg_text_) valid = utf8_.feed({dst, k});
    }
    return old + std::min(at, n);
  });
  msg_size_ += n;
  if (!valid) return fail_with(ErrorKind::invalid_utf8);
  return {};
}

void Codec::emit_fragment(bool fin, std::vector<Event>& out) {
  Event& e = out.emplace_back();
  e.kind = msg_text_ ? EventKind::text : EventKind::binary;
  e.fin = fin;
  // An unfinished code point stays for the next fragment.
  size_t keep = fin ? 0 : utf8_.held();
  if (!keep) {
    e.data = std::move(msg_);
    msg_.clear();
    return;
  }
  e.data.assign(msg_, 0, msg_.size() - keep);
  msg_.erase(0, msg_.size() - keep);
}

Result<void> Codec::frame_done(std::vector<Event>& out) {
  in_payload_ = false;
  hdr_len_ = 0;
  hdr_need_ = 2;
  if (is_control(op_)) {
    // Streaming: what arrived of a message before this control frame goes
    // out before it, so events keep the wire's order.
    if (cfg_.streaming && in_message_ && !close_sent_ && msg_.size() > utf8_.held()) emit_fragment(false, out);
    Event e;
    if (op_ == Opcode::close) {
      uint16_t code = close_code::no_status;
      if (ctl_.size() == 1) return fail_with(ErrorKind::close_one_octet);
      if (ctl_.size() >= 2) {
        code = uint16_t(uint8_t(ctl_[0]) << 8 | uint8_t(ctl_[1]));
        if (!valid_close_code(code)) return fail_with(ErrorKind::invalid_close_code);
        if (!http::is_valid_utf8(std::string_view(ctl_).substr(2))) return fail_with(ErrorKind::invalid_close_reason);
        ctl_.erase(0, 2);
      }
      close_received_ = true;
      peer_code_ = code;
      e.kind = EventKind::close;
      e.code = code;
    } else {
      e.kind = op_ == Opcode::ping ? EventKind::ping : EventKind::pong;
    }
    e.data = std::move(ctl_);
    ctl_.clear();
    out.push_back(std::move(e));
    return {};
  }
  if (!fin_) return {};
  in_message_ = false;
  if (close_sent_) return {};
  if (msg_compressed_) {
    size_t old = msg_.size();
    auto r = inflater_->inflate({}, true, msg_size_, cfg_.max_message_size, msg_);
    if (msg_text_ && !utf8_.feed(std::string_view(msg_).substr(old))) return fail_with(ErrorKind::invalid_utf8);
    if (!r) return fail_with(r.error().kind);
  }
  if (msg_text_ && !utf8_.finish()) return fail_with(ErrorKind::invalid_utf8);
  if (cfg_.streaming) {
    emit_fragment(true, out);
    return {};
  }
  Event& e = out.emplace_back();
  e.kind = msg_text_ ? EventKind::text : EventKind::binary;
  e.data = std::move(msg_);
  msg_.clear();
  return {};
}

// ---- sending -----------------------------------------------------------------------

size_t Codec::header_size(uint64_t n) const noexcept {
  return 2 + (n < 126 ? 0 : n <= 0xffff ? 2 : 8) + (cfg_.role == Role::client ? 4 : 0);
}

void Codec::next_mask_key(uint8_t key[4]) {
  if (size_t(keys_used_) + 4 > sizeof(keys_)) {
    os_random(keys_, sizeof(keys_));
    keys_used_ = 0;
  }
  std::memcpy(key, keys_ + keys_used_, 4);
  keys_used_ = uint16_t(keys_used_ + 4);
}

void Codec::write_frame(Opcode op, bool fin, bool rsv1, std::string_view payload, std::string& out) {
  const uint64_t n = payload.size();
  const bool mask = cfg_.role == Role::client;
  uint8_t key[4];
  if (mask) next_mask_key(key);
  const size_t h = header_size(n), old = out.size();
  out.resize_and_overwrite(old + h + n, [&](char* d, size_t) {
    uint8_t* q = reinterpret_cast<uint8_t*>(d + old);
    *q++ = uint8_t((fin ? 0x80 : 0) | (rsv1 ? 0x40 : 0) | uint8_t(op));
    const uint8_t m = mask ? 0x80 : 0;
    if (n < 126) {
      *q++ = uint8_t(m | n);
    } else if (n <= 0xffff) {
      *q++ = uint8_t(m | 126);
      *q++ = uint8_t(n >> 8);
      *q++ = uint8_t(n);
    } else {
      *q++ = uint8_t(m | 127);
      for (int i = 7; i >= 0; --i) *q++ = uint8_t(n >> (8 * i));
    }
    if (mask) {
      std::memcpy(q, key, 4);
      q += 4;
      http::mask_bytes(reinterpret_cast<char*>(q), payload.data(), n, key);
    } else if (n) {
      std::memcpy(q, payload.data(), n);
    }
    return old + h + n;
  });
}

Result<bool> Codec::send_message(bool text, std::string_view data, bool fin, std::string& out) {
  if (failure_.code || close_sent_ || (close_received_ && !send_in_message_)) return false;
  if (send_in_message_ && send_text_ != text) return std::unexpected(Error{ErrorKind::mixed_fragments, 0});
  Opcode op = send_in_message_ ? Opcode::continuation : text ? Opcode::text : Opcode::binary;
  if (deflater_) {
    scratch_.clear();
    deflater_->compress(data, fin, scratch_);
    write_frame(op, fin, !send_in_message_, scratch_, out);
  } else {
    write_frame(op, fin, false, data, out);
  }
  send_in_message_ = !fin;
  send_text_ = text;
  return true;
}

Result<bool> Codec::send_ping(std::string_view data, std::string& out) {
  if (data.size() > kMaxControlPayload) return std::unexpected(Error{ErrorKind::control_too_long_send, 0});
  if (failure_.code || close_sent_ || close_received_) return false;
  write_frame(Opcode::ping, true, false, data, out);
  return true;
}

Result<bool> Codec::send_pong(std::string_view data, std::string& out) {
  if (data.size() > kMaxControlPayload) return std::unexpected(Error{ErrorKind::control_too_long_send, 0});
  if (failure_.code || close_sent_ || close_received_) return false;
  write_frame(Opcode::pong, true, false, data, out);
  return true;
}

Result<bool> Codec::send_close(uint16_t code, std::string_view reason, std::string& out) {
  if (code ? !valid_close_code(code) : !reason.empty()) return std::unexpected(Error{ErrorKind::bad_close_code, 0});
  if (reason.size() > kMaxControlPayload - 2) return std::unexpected(Error{ErrorKind::close_reason_too_long, 0});
  if (close_sent_) return false;
  char buf[kMaxControlPayload];
  size_t n = 0;
  if (code) {
    buf[0] = char(code >> 8);
    buf[1] = char(code);
    std::memcpy(buf + 2, reason.data(), reason.size());
    n = 2 + reason.size();
  }
  write_frame(Opcode::close, true, false, {buf, n}, out);
  close_sent_ = true;
  return true;
}

}  // namespace velmora::ws
