// The per-connection HTTP/1 codec state: the read buffer that persists
// across messages, the body encoder of the message being written, and the
// per-message verdicts the connection states read back.
//
// The class is not synchronised; its owner keeps it behind one state lock and
// calls each method as one transition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "proto/h1/body_decoder.h"
#include "proto/h1/body_encoder.h"
#include "proto/h1/error.h"
#include "proto/h1/head_encoder.h"
#include "proto/h1/head_parser.h"

namespace velmora::h1 {

inline constexpr size_t kMinBufSize = 8192;
inline constexpr size_t kDefaultMaxBufSize = 8192 + 100 * 4096;  // 417792

struct CodecOptions {
  std::optional<size_t> max_headers;  // request heads; nullopt: 100
  bool ignore_invalid_headers = false;
  bool title_case_headers = false;
  bool date_header = true;
  size_t max_buf_size = kDefaultMaxBufSize;
};

// A response head validated and planned, ready to be written.
struct EncodedResponse {
  ResponseEncoding res;
  ResponsePlan plan;
};

class Codec {
 public:
  explicit Codec(const CodecOptions& o = {}) : opts_(o) {}

  const CodecOptions& options() const noexcept { return opts_; }

  // ---- receive ----
  // Appends `data` and parses a request head (server role); a complete head
  // fills `out`. Errors (parse): parse_request_head's, too_large (the head
  // is longer than max_buf_size: the buffer reached it without a whole
  // head, or a whole head that arrived at once is longer), version_h2 (the
  // failed head is an HTTP/2 connection preface); each records the
  // automatic status. Bytes that are a proper prefix of that preface are
  // `partial`, wherever the client split it.
  // Both receives may throw std::bad_alloc; the codec is then left as it was
  // before the call (see roll_back_receive for the one exception).
  Result<HeadProgress> receive_request_head(std::string_view data, RequestHead& out);
  // Appends `data` and parses a response head (client role), skipping
  // informational heads (never answers `informational`). Errors (parse):
  // parse_response_head's, too_large (as above, for each head).
  Result<HeadProgress> receive_head(std::string_view data, ResponseHead& out);

  void feed(std::string_view data) { rbuf_.append(data); }
  // Puts bytes another reader took past its message (a body decoder's
  // leftover) back in front of the buffer, so the next parse sees them in
  // their order on the wire.
  void unread(std::string_view data);
  // Moves the whole read buffer out.
  std::string take_body() noexcept {
    cp_ = {};
    return std::exchange(rbuf_, std::string());
  }
  // Moves the whole read buffer into `decoder`'s input (the body bytes that
  // arrived with a head). The decoder is the caller's: lock it if it is shared.
  void take_body_into(BodyDecoder& decoder);
  // The decoder for the body of the request head just parsed: a chunked or
  // length decoder (an empty body gives a length decoder of 0, complete at
  // once), already holding the buffered bytes that came with the head.
  BodyDecoder start_request_body(const RequestHead& head);
  size_t buffered() const noexcept { return rbuf_.size(); }

  // Starts the next message: per-message state dropped, buffer kept.
  void reset() noexcept;

  // ---- send ----
  // Records a request head encoded by prepare_request().
  void commit_request(RequestEncoding& req);
  // Plans a response head against the recorded request method and, when it
  // succeeds, records its encoder and verdicts. Errors: plan_response's.
  Result<ResponsePlan> commit_response(const ResponseEncoding& res);
  // serialize_response in one step: validates the arguments (title-casing
  // and the Date header from the options), then plans and records as
  // commit_response does. Write the head with write_response(res, plan).
  // Errors: prepare_response's (argument: nothing recorded), plan_response's
  // (local).
  Result<EncodedResponse> encode_response(uint16_t status, http::HeaderMap headers, bool keep_alive, bool http10,
                                          BodyLength length);

  // ---- body framing of the message in flight (body_encoder.h) ----
  // serialize_data: how a chunk of `n` bytes goes out.
  DataPlan plan_data(size_t n) noexcept { return h1::plan_data(enc_, n); }
  // serialize_end: the encoder is gone afterwards, whatever the plan.
  // Errors: h1::end_body's.
  Result<EndPlan> end_body() {
    const bool had = enc_.has_value();
    Result<EndPlan> p = h1::end_body(enc_);
    note_end(had, p.has_value());
    return p;
  }
  // serialize_trailers: as end_body, with the trailer rules.
  Result<EndPlan> end_body_with_trailers(const http::HeaderMap& trailers) {
    const bool had = enc_.has_value();
    Result<EndPlan> p = h1::end_body_with_trailers(enc_, trailers, trailers_allowed_);
    note_end(had, p.has_value());
    return p;
  }
  // serialize_head_and_body; `trailers` may be null. Errors: h1::plan_message's.
  Result<MessagePlan> plan_message(size_t head_len, std::string_view body, const http::HeaderMap* trailers) {
    const bool had = enc_.has_value();
    Result<MessagePlan> m = h1::plan_message(enc_, head_len, body, trailers, trailers_allowed_);
    note_end(had, m.has_value());
    return m;
  }
  bool body_is_eof() const noexcept { return h1::body_is_eof(enc_); }
  // The message recorded since the last reset() was framed to its end: its
  // body was ended without falling short (serialize_end, serialize_trailers,
  // serialize_head_and_body), or it is a length body with nothing left to
  // send. False with no message recorded, while a body is open (chunked
  // without its last chunk, a length body still owed bytes, close-delimited
  // before its end), and after an end refused as short: the encoder is gone
  // then too, but the peer still waits for the missing bytes. A connection
  // whose message is not complete must not carry another one.
  bool message_complete() const noexcept { return enc_ ? enc_->is_eof() : body_ended_; }
  const std::optional<BodyEncoder>& encoder() const noexcept { return enc_; }
  bool trailers_allowed() const noexcept { return trailers_allowed_; }

  // ---- verdicts ----
  std::optional<uint16_t> parse_error_status() const noexcept { return parse_error_status_; }
  bool request_connection_close() const noexcept { return request_connection_close_; }
  bool response_is_last() const noexcept { return response_is_last_; }
  bool response_close_delimited() const noexcept { return response_close_delimited_; }
  const std::optional<Method>& recorded_method() const noexcept { return method_; }

 private:
  // Keeps the bytes of `src` past `consumed` as the buffer. `src` is either
  // the buffer itself or new data parsed in place while the buffer was empty.
  void consume(std::string_view src, bool src_is_buffer, size_t consumed);
  // The receives' work; the public functions undo what a throwing one
  // (out of memory) changed, with roll_back_receive. `consumed`: an interim
  // response was skipped and consumed.
  Result<HeadProgress> receive_request_head_step(std::string_view data, RequestHead& out);
  Result<HeadProgress> receive_head_step(std::string_view data, ResponseHead& out, bool& consumed);
  void roll_back_receive(size_t size, bool consumed) noexcept;

  // An end planned on the encoder in flight (`had`) decides whether the
  // message was framed to its end; a call without one changes nothing.
  void note_end(bool had, bool ended) noexcept {
    if (had) body_ended_ = ended;
  }

  CodecOptions opts_;
  std::optional<BodyEncoder> enc_;
  std::optional<Method> method_;
  std::string rbuf_;
  Checkpoint cp_;
  std::optional<uint16_t> parse_error_status_;
  bool request_connection_close_ = false;
  bool trailers_allowed_ = true;
  bool body_ended_ = false;  // the last message's body was ended in full (see message_complete)
  bool response_is_last_ = false;
  bool response_close_delimited_ = false;
};

}  // namespace velmora::h1
