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

class Codec {
 public:
  explicit Codec(const CodecOptions& o = {}) : opts_(o) {}

  const CodecOptions& options() const noexcept { return opts_; }

  // ---- receive ----
  // Appends `data` and parses a request head (server role). `complete`
  // fills `out`; `error` sets `err` and records the automatic status.
  // Both receives may throw std::bad_alloc; the codec is then left as it was
  // before the call (see ReceiveRollback for the one exception).
  HeadStatus receive_request_head(std::string_view data, RequestHead& out, ParseError& err);
  // Appends `data` and parses a response head (client role), skipping
  // informational heads.
  HeadStatus receive_head(std::string_view data, ResponseHead& out, ParseError& err);

  void feed(std::string_view data) { rbuf_.append(data); }
  // Moves the whole read buffer out.
  std::string take_body() noexcept {
    cp_ = {};
    return std::exchange(rbuf_, std::string());
  }
  size_t buffered() const noexcept { return rbuf_.size(); }
  // Direct access for the connection states, which move bytes between the
  // buffer and body decoders. Any change other than appending must be
  // followed by buffer_changed().
  std::string& read_buffer() noexcept { return rbuf_; }
  void buffer_changed() noexcept { cp_ = {}; }

  // Starts the next message: per-message state dropped, buffer kept.
  void reset() noexcept;

  // ---- send ----
  // Records a request head encoded by prepare_request().
  void commit_request(RequestEncoding& req);
  // Plans a response head against the recorded request method and, when it
  // succeeds, records its encoder and verdicts.
  ResponsePlan commit_response(const ResponseEncoding& res);

  std::optional<BodyEncoder>& encoder() noexcept { return enc_; }
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
  struct ReceiveRollback;  // keeps a receive that throws (out of memory) from changing the codec

  CodecOptions opts_;
  std::optional<BodyEncoder> enc_;
  std::optional<Method> method_;
  std::string rbuf_;
  Checkpoint cp_;
  std::optional<uint16_t> parse_error_status_;
  bool request_connection_close_ = false;
  bool trailers_allowed_ = true;
  bool response_is_last_ = false;
  bool response_close_delimited_ = false;
};

}  // namespace velmora::h1
