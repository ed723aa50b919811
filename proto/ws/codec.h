// The WebSocket codec (RFC 6455, with permessage-deflate of RFC 7692): one
// connection's framing in either role, sans I/O. Bytes in, events out;
// messages in, bytes out. It knows nothing of what carries the bytes: an
// HTTP/1.1 connection after its 101 hand-off, or the DATA of an HTTP/2
// stream opened by an extended CONNECT, are fed the same way.
//
// Receiving keeps no copy of the input: a frame's header (at most 14
// octets) is gathered in place, and its payload is unmasked straight from
// the caller's bytes into the message being built, validated as UTF-8 (for
// text) as it arrives, so a message may be split anywhere across frames and
// reads. Control frames may come between the frames of a message.
//
// The close handshake is a state. Sending a close stops sending data; from
// then on received data frames are parsed and dropped, control frames are
// delivered, until the peer's close. A received close stops the peer: any
// octet after it is a violation. Once both closes have passed (or after a
// violation, once our close is sent) the transport may be closed:
// may_close_transport().
//
// A violation fails the connection: receive() returns the Error with its
// close code, the codec keeps it (every later receive() answers `failed`
// with the same code), and the driver sends send_close(code, message) and
// closes the transport. Events decoded before the violation in the same
// call are dropped with it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/http/utf8.h"
#include "proto/ws/deflate.h"
#include "proto/ws/error.h"

namespace velmora::ws {

enum class Role : uint8_t { client, server };

enum class Opcode : uint8_t { continuation = 0, text = 1, binary = 2, close = 8, ping = 9, pong = 10 };

inline constexpr uint64_t kDefaultMaxFrameSize = 16 * 1024 * 1024;
inline constexpr uint64_t kDefaultMaxMessageSize = 16 * 1024 * 1024;
inline constexpr size_t kMaxControlPayload = 125;
inline constexpr size_t kMaxHeaderSize = 14;

struct Config {
  Role role = Role::server;
  // A frame whose payload is longer fails the connection with 1009.
  uint64_t max_frame_size = kDefaultMaxFrameSize;
  // A message longer (after decompression) fails it with 1009; checked
  // before the octets over it are buffered.
  uint64_t max_message_size = kDefaultMaxMessageSize;
  // Deliver text and binary messages as fragments as their octets arrive
  // (each event's `fin` marks the last), instead of whole.
  bool streaming = false;
  // The agreed permessage-deflate parameters, when the handshake agreed on
  // the extension.
  std::optional<DeflateParams> deflate;
};

enum class EventKind : uint8_t { text, binary, ping, pong, close };

struct Event {
  EventKind kind = EventKind::text;
  bool fin = true;       // text and binary: the message's last octets
  uint16_t code = 0;     // close: the code, close_code::no_status when none
  std::string data;      // the payload; close: the reason (valid UTF-8)
};

enum class State : uint8_t {
  open,           // both directions open
  close_sent,     // our close is sent, the peer's is awaited
  close_received, // the peer's close arrived, ours is due
  closed,         // both closes passed: close the transport
  failed,         // a violation; send our close (if not yet sent) and close
};

class Codec {
 public:
  // Throws std::bad_alloc when zlib cannot set up (the only failure).
  explicit Codec(const Config& cfg);
  ~Codec();
  Codec(Codec&&) noexcept;
  Codec& operator=(Codec&&) noexcept;

  const Config& config() const noexcept { return cfg_; }
  State state() const noexcept;
  bool may_close_transport() const noexcept;
  // The peer's close code and reason once its close arrived (code
  // close_code::no_status for a close without one).
  uint16_t peer_close_code() const noexcept { return peer_code_; }
  // The code of the violation that failed the connection, else 0.
  uint16_t failure_code() const noexcept { return failure_.code; }
  ErrorKind failure_kind() const noexcept { return failure_.kind; }

  // Feeds received octets; appends the events now complete to `out`. On a
  // violation returns its Error (the events this call appended are left for
  // the caller to drop) and the codec is failed.
  Result<void> receive(std::string_view data, std::vector<Event>& out);

  // ---- sending: each appends one frame, built at its final size, to `out`.
  // A state refusal (the step may not run now: our close was sent, the
  // connection failed, data after the peer's close outside an unfinished
  // message) returns false and appends nothing. Misuse is an Error
  // (mixed_fragments, control_too_long_send, bad_close_code,
  // close_reason_too_long).

  // A text (valid UTF-8: the caller's to ensure, as a str's encoding is)
  // or binary message, or one fragment of it: `fin`
  // false leaves the message open for more fragments of the same kind.
  Result<bool> send_message(bool text, std::string_view data, bool fin, std::string& out);
  Result<bool> send_ping(std::string_view data, std::string& out);
  Result<bool> send_pong(std::string_view data, std::string& out);
  // `code` 0 sends a close without a code (then `reason` must be empty).
  Result<bool> send_close(uint16_t code, std::string_view reason, std::string& out);

  // The octets of one frame's header for a payload of n octets in this role.
  size_t header_size(uint64_t n) const noexcept;

 private:
  struct Frame;
  Result<void> header_done();
  Result<void> payload(const char* p, size_t n, std::vector<Event>& out);
  Result<void> frame_done(std::vector<Event>& out);
  Result<void> fail_with(ErrorKind k);
  void emit_fragment(bool fin, std::vector<Event>& out);
  void write_frame(Opcode op, bool fin, bool rsv1, std::string_view payload, std::string& out);
  void next_mask_key(uint8_t key[4]);

  Config cfg_;
  // The frame being read.
  uint8_t hdr_[kMaxHeaderSize];
  uint8_t hdr_len_ = 0;
  uint8_t hdr_need_ = 2;
  bool in_payload_ = false;
  Opcode op_ = Opcode::continuation;
  bool fin_ = false;
  bool compressed_frame_ = false;
  bool masked_ = false;
  uint8_t key_[4] = {};
  uint64_t remaining_ = 0;  // payload octets of the frame still to come
  uint64_t offset_ = 0;     // payload octets of the frame read so far (mask phase)
  // The message being read.
  bool in_message_ = false;
  bool msg_text_ = false;
  bool msg_compressed_ = false;
  uint64_t msg_size_ = 0;  // octets of the message so far (after inflating)
  std::string msg_;
  http::Utf8Stream utf8_;
  std::string ctl_;        // a control frame's payload
  std::string scratch_;    // compressed payload unmasked before inflating,
                           // or a message compressed before framing
  // Sending.
  bool send_in_message_ = false;
  bool send_text_ = false;
  // The close handshake.
  bool close_sent_ = false;
  bool close_received_ = false;
  uint16_t peer_code_ = 0;
  Error failure_{ErrorKind::failed, 0};
  // permessage-deflate: ours compresses, theirs inflates.
  std::unique_ptr<Deflater> deflater_;
  std::unique_ptr<Inflater> inflater_;
  // Masking keys from the OS, taken a pool at a time (client role).
  uint8_t keys_[256];
  uint16_t keys_used_ = sizeof(keys_);
};

}  // namespace velmora::ws
