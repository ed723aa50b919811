// permessage-deflate (RFC 7692): the four parameters, the negotiation on
// both sides, and the per-message compressor and decompressor over zlib's
// raw deflate.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "proto/ws/error.h"

namespace velmora::ws {

inline constexpr std::string_view kDeflateName = "permessage-deflate";

// The parameters of one permessage-deflate element: an offer, a response,
// or our preferences. A window size of 0 means the parameter is absent.
struct DeflateParams {
  bool server_no_context_takeover = false;
  bool client_no_context_takeover = false;
  uint8_t server_max_window_bits = 0;  // 8..15, or 0
  uint8_t client_max_window_bits = 0;  // 8..15, or 0
  // In an offer: client_max_window_bits without a value (the client lets
  // the server choose its window).
  bool client_max_window_bits_bare = false;
  friend bool operator==(const DeflateParams&, const DeflateParams&) = default;
};

// The element's text: "permessage-deflate" and its parameters in the order
// above ("; client_max_window_bits" for the bare form).
std::string format_deflate(const DeflateParams& p);

// Our side, as a server: the first permessage-deflate offer in `offers` (the
// Sec-WebSocket-Extensions values, joined by ", ") that is well formed and
// that we can honour, answered under our preferences `prefs` (a no-context-
// takeover flag set there is requested of the peer or applied to
// ourselves; a window size there caps the offered one). nullopt when no
// offer is acceptable: the handshake then goes on without the extension.
// An offer we cannot honour: server_max_window_bits=8 (zlib's raw deflate
// has no 256-octet window), a malformed or repeated parameter, an unknown
// one.
std::optional<DeflateParams> accept_deflate(std::string_view offers, const DeflateParams& prefs);

// Our side, as a client: the server's Sec-WebSocket-Extensions answer to our
// offer `offered`. nullopt for an empty answer (no extension); an error
// (handshake_extension) for anything else than one well-formed
// permessage-deflate element, client_max_window_bits when we did not offer
// it, or client_max_window_bits=8, which we cannot honour.
Result<std::optional<DeflateParams>> check_deflate_answer(std::string_view answer, const DeflateParams& offered);

// The element parsed from text such as "permessage-deflate; a=b": an
// agreed response given to a codec, or (`offer`: client_max_window_bits may
// come without a value) our preferences or offer. bad_extension_params when
// it is not one well-formed permessage-deflate element.
Result<DeflateParams> parse_deflate(std::string_view element, bool offer);

// Compresses messages for one direction. `window_bits` 9..15;
// `no_context_takeover`: each message starts from an empty window.
class Deflater {
 public:
  Deflater(int window_bits, bool no_context_takeover);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Appends the compressed form of `in`, a message or a fragment of one, to
  // `out`; `fin` ends the message (its sync-flush tail is removed).
  void compress(std::string_view in, bool fin, std::string& out);
  // An upper bound of what compress() appends for `n` octets.
  size_t bound(size_t n) const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> z_;
  bool reset_each_;
};

// Decompresses messages of one direction, with a bound on each message's
// size that is checked as it inflates.
class Inflater {
 public:
  explicit Inflater(bool no_context_takeover);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates `in` onto `out`. `total` is what the message inflated to so
  // far (the caller's count across fragments, updated); past `limit` it
  // fails with message_too_big having appended at most limit - total
  // octets, so a small frame that would inflate to gigabytes costs only the
  // limit. `fin`: the message ends with this input (the removed tail is
  // fed back). Corrupt data: bad_compressed_data.
  Result<void> inflate(std::string_view in, bool fin, uint64_t& total, uint64_t limit, std::string& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> z_;
  bool reset_each_;
};

}  // namespace velmora::ws
