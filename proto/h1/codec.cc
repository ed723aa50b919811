#include "proto/h1/codec.h"

namespace velmora::h1 {

// Receiving a head allocates (the buffer, the head's fields). If that throws,
// the codec must stay usable: the resume checkpoint may describe bytes that
// never reached the buffer, so it is dropped, and the bytes this call
// appended are taken off again, unless a skipped interim response was
// already consumed (the rest then stays buffered, as after a normal skip).
// A handler rather than a scope guard: the normal path pays nothing.
void Codec::roll_back_receive(size_t size, bool consumed) noexcept {
  cp_ = {};
  if (!consumed && rbuf_.size() > size) rbuf_.resize(size);
}

void Codec::consume(std::string_view src, bool src_is_buffer, size_t consumed) {
  cp_ = {};
  if (src_is_buffer)
    rbuf_.erase(0, consumed);
  else if (consumed == src.size())
    rbuf_.clear();  // the usual case: the data held one head and nothing more
  else
    rbuf_.assign(src.substr(consumed));
}

Result<HeadProgress> Codec::receive_request_head(std::string_view data, RequestHead& out) {
  const size_t size = rbuf_.size();
  try {
    return receive_request_head_step(data, out);
  } catch (...) {
    roll_back_receive(size, false);
    throw;
  }
}

Result<HeadProgress> Codec::receive_request_head_step(std::string_view data, RequestHead& out) {
  // With nothing buffered the head is parsed straight from `data`; only the
  // bytes past it (or an incomplete head) are kept.
  const bool in_buffer = !rbuf_.empty();
  if (in_buffer) rbuf_.append(data);
  std::string_view src = in_buffer ? std::string_view(rbuf_) : data;

  // A client may split its first write anywhere: while the bytes are a
  // proper prefix of the HTTP/2 preface, the rest decides.
  if (!src.empty() && src.size() < kH2Preface.size() && kH2Preface.starts_with(src)) {
    if (!in_buffer) rbuf_.assign(data);
    cp_ = {};
    return HeadProgress::partial;
  }

  RequestOptions ro{opts_.max_headers.value_or(kDefaultMaxHeaders), opts_.ignore_invalid_headers};
  Result<HeadRead> r = parse_request_head(src, ro, out, &cp_);
  if (r && r->progress == HeadProgress::complete && r->consumed <= opts_.max_buf_size) {
    consume(src, in_buffer, r->consumed);
    method_ = out.method;
    trailers_allowed_ = out.allow_trailers;
    return HeadProgress::complete;
  }
  ParseError e;
  if (r) {
    // Incomplete, or complete but longer than the limit: a head over
    // max_buf_size is refused however the reads split it.
    if (!in_buffer) rbuf_.assign(data);
    if (r->progress != HeadProgress::complete && rbuf_.size() < opts_.max_buf_size) return HeadProgress::partial;
    src = rbuf_;
    e = ParseError::too_large;
  } else {
    e = r.error().parse_variant();
  }
  // A failed head that is really an HTTP/2 connection preface.
  if (src.starts_with(kH2Preface)) e = ParseError::version_h2;
  if (r)
    cp_ = {};
  else
    consume(src, in_buffer, r.error().consumed);
  uint16_t st = h1::parse_error_status(e);
  parse_error_status_ = st ? std::optional<uint16_t>(st) : std::nullopt;
  return std::unexpected(Error::parse(e));
}

Result<HeadProgress> Codec::receive_head(std::string_view data, ResponseHead& out) {
  const size_t size = rbuf_.size();
  bool consumed = false;
  try {
    return receive_head_step(data, out, consumed);
  } catch (...) {
    roll_back_receive(size, consumed);
    throw;
  }
}

Result<HeadProgress> Codec::receive_head_step(std::string_view data, ResponseHead& out, bool& consumed) {
  bool in_buffer = !rbuf_.empty();
  if (in_buffer) rbuf_.append(data);
  std::string_view src = in_buffer ? std::string_view(rbuf_) : data;
  const Method* m = method_ ? &*method_ : nullptr;
  for (;;) {
    Result<HeadRead> r = parse_response_head(src, m, out, &cp_);
    if (!r) {
      consume(src, in_buffer, r.error().consumed);
      return std::unexpected(Error::parse(r.error().parse_variant()));
    }
    if (r->progress != HeadProgress::partial && r->consumed > opts_.max_buf_size) {
      // As long as a head that arrives in pieces: refused however the
      // reads split it.
      if (!in_buffer) rbuf_.assign(data);
      cp_ = {};
      return std::unexpected(Error::parse(ParseError::too_large));
    }
    switch (r->progress) {
      case HeadProgress::complete:
        consume(src, in_buffer, r->consumed);
        out.wants_keep_alive = out.keep_alive && out.body != BodyKind::close && !request_connection_close_;
        return HeadProgress::complete;
      case HeadProgress::informational:
        // Discarded whole; parsing starts again on what follows.
        consume(src, in_buffer, r->consumed);
        consumed = true;
        if (rbuf_.empty()) return HeadProgress::partial;
        in_buffer = true;
        src = rbuf_;
        continue;
      case HeadProgress::partial:
        if (!in_buffer) rbuf_.assign(data);
        if (rbuf_.size() < opts_.max_buf_size) return HeadProgress::partial;
        cp_ = {};
        return std::unexpected(Error::parse(ParseError::too_large));
    }
  }
}

void Codec::unread(std::string_view data) {
  if (data.empty()) return;
  rbuf_.insert(0, data);
  cp_ = {};  // the checkpoint counted from the old front
}

void Codec::take_body_into(BodyDecoder& decoder) {
  if (rbuf_.empty()) return;
  decoder.feed(take_body());
}

BodyDecoder Codec::start_request_body(const RequestHead& head) {
  BodyDecoder d = head.body == BodyKind::chunked  ? BodyDecoder(BodyFraming::chunked)
                  : head.body == BodyKind::length ? BodyDecoder(BodyFraming::length, head.content_length)
                  : head.body == BodyKind::close  ? BodyDecoder(BodyFraming::close)
                                                  : BodyDecoder(BodyFraming::length, 0);
  take_body_into(d);
  return d;
}

void Codec::reset() noexcept {
  method_.reset();
  enc_.reset();
  parse_error_status_.reset();
  request_connection_close_ = false;
  response_is_last_ = false;
  response_close_delimited_ = false;
  trailers_allowed_ = true;
  body_ended_ = false;
  cp_ = {};
}

void Codec::commit_request(RequestEncoding& req) {
  request_connection_close_ = req.connection_close;
  method_ = req.method;
  enc_ = std::move(req.encoder);
  body_ended_ = false;
}

Result<ResponsePlan> Codec::commit_response(const ResponseEncoding& res) {
  Result<ResponsePlan> p = plan_response(res, method_ ? &*method_ : nullptr);
  if (!p) return p;
  enc_ = p->encoder;
  body_ended_ = false;
  response_is_last_ = p->is_last;
  response_close_delimited_ = p->close_delimited;
  return p;
}

Result<EncodedResponse> Codec::encode_response(uint16_t status, http::HeaderMap headers, bool keep_alive, bool http10,
                                               BodyLength length) {
  Result<ResponseEncoding> res = prepare_response(status, std::move(headers), keep_alive, http10, length,
                                                  opts_.title_case_headers, opts_.date_header);
  if (!res) return std::unexpected(std::move(res.error()));
  Result<ResponsePlan> plan = commit_response(*res);
  if (!plan) return std::unexpected(std::move(plan.error()));
  return EncodedResponse{std::move(*res), std::move(*plan)};
}

}  // namespace velmora::h1
