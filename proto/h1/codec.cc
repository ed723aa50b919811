#include "proto/h1/codec.h"

#include <exception>

namespace velmora::h1 {

// Receiving a head allocates (the buffer, the head's fields). If that throws,
// the codec must stay usable: the resume checkpoint may describe bytes that
// never reached the buffer, so it is dropped, and the bytes this call
// appended are taken off again, unless a skipped interim response was
// already consumed (the rest then stays buffered, as after a normal skip).
struct Codec::ReceiveRollback {
  Codec& c;
  size_t size;
  bool consumed = false;
  int uncaught = std::uncaught_exceptions();
  ~ReceiveRollback() {
    if (std::uncaught_exceptions() <= uncaught) return;
    c.cp_ = {};
    if (!consumed && c.rbuf_.size() > size) c.rbuf_.resize(size);
  }
};

void Codec::consume(std::string_view src, bool src_is_buffer, size_t consumed) {
  cp_ = {};
  if (src_is_buffer)
    rbuf_.erase(0, consumed);
  else
    rbuf_.assign(src.substr(consumed));
}

HeadStatus Codec::receive_request_head(std::string_view data, RequestHead& out, ParseError& err) {
  ReceiveRollback rollback{*this, rbuf_.size()};
  // With nothing buffered the head is parsed straight from `data`; only the
  // bytes past it (or an incomplete head) are kept.
  const bool in_buffer = !rbuf_.empty();
  if (in_buffer) rbuf_.append(data);
  std::string_view src = in_buffer ? std::string_view(rbuf_) : data;

  RequestOptions ro{opts_.max_headers.value_or(kDefaultMaxHeaders), opts_.ignore_invalid_headers};
  HeadOutcome o = parse_request_head(src, ro, out, &cp_);
  switch (o.status) {
    case HeadStatus::complete:
      consume(src, in_buffer, o.consumed);
      method_ = out.method;
      trailers_allowed_ = out.allow_trailers;
      return HeadStatus::complete;
    case HeadStatus::partial:
    case HeadStatus::informational:
      if (!in_buffer) rbuf_.assign(data);
      if (rbuf_.size() < opts_.max_buf_size) return HeadStatus::partial;
      o.error = ParseError::too_large;
      o.consumed = 0;
      break;
    case HeadStatus::error:
      break;
  }
  // A failed head that is really an HTTP/2 connection preface.
  if (src.starts_with(kH2Preface)) o.error = ParseError::version_h2;
  if (o.status == HeadStatus::error)
    consume(src, in_buffer, o.consumed);
  else
    cp_ = {};
  err = o.error;
  uint16_t st = h1::parse_error_status(o.error);
  parse_error_status_ = st ? std::optional<uint16_t>(st) : std::nullopt;
  return HeadStatus::error;
}

HeadStatus Codec::receive_head(std::string_view data, ResponseHead& out, ParseError& err) {
  ReceiveRollback rollback{*this, rbuf_.size()};
  bool in_buffer = !rbuf_.empty();
  if (in_buffer) rbuf_.append(data);
  std::string_view src = in_buffer ? std::string_view(rbuf_) : data;
  const Method* m = method_ ? &*method_ : nullptr;
  for (;;) {
    HeadOutcome o = parse_response_head(src, m, out, &cp_);
    switch (o.status) {
      case HeadStatus::complete:
        consume(src, in_buffer, o.consumed);
        out.wants_keep_alive = out.keep_alive && out.body != BodyKind::close && !request_connection_close_;
        return HeadStatus::complete;
      case HeadStatus::informational:
        // Discarded whole; parsing starts again on what follows.
        consume(src, in_buffer, o.consumed);
        rollback.consumed = true;
        if (rbuf_.empty()) return HeadStatus::partial;
        in_buffer = true;
        src = rbuf_;
        continue;
      case HeadStatus::partial:
        if (!in_buffer) rbuf_.assign(data);
        if (rbuf_.size() < opts_.max_buf_size) return HeadStatus::partial;
        cp_ = {};
        err = ParseError::too_large;
        return HeadStatus::error;
      case HeadStatus::error:
        consume(src, in_buffer, o.consumed);
        err = o.error;
        return HeadStatus::error;
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

ResponsePlan Codec::commit_response(const ResponseEncoding& res) {
  ResponsePlan p = plan_response(res, method_ ? &*method_ : nullptr);
  if (!p.ok) return p;
  enc_ = p.encoder;
  body_ended_ = false;
  response_is_last_ = p.is_last;
  response_close_delimited_ = p.close_delimited;
  return p;
}

ResponseFail Codec::encode_response(uint16_t status, http::HeaderMap headers, bool keep_alive, bool http10,
                                   BodyLength length, ResponseEncoding& res, ResponsePlan& plan) {
  ResponseFail f = prepare_response(status, std::move(headers), keep_alive, http10, length, opts_.title_case_headers,
                                    opts_.date_header, res);
  if (f == ResponseFail::none) plan = commit_response(res);
  return f;
}

}  // namespace velmora::h1
