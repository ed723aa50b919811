// The exception tree and pending errors. The core reports failures as plain
// values; they are converted to a Pending (class plus argument values) and
// become Python exceptions only at the binding boundary, after every state
// lock has been released.
#pragma once

#include "src/common.h"

#include <cstdint>
#include <string>

namespace velmora::h1 { struct Error; }
namespace velmora::http { struct Error; }

namespace velmora::py {

enum class Exc : uint8_t {
  VelmoraError,
  ConnectionClosedError,
  H2Error,
  H2ProtocolError,
  H2StreamError,
  H2UserError,
  H2FlowControlError,
  H1Error,
  H1ParseError,
  H1BodyError,
  H1IncompleteMessageError,
  H1UnexpectedMessageError,
  H1UserError,
  ValueError,  // the builtin: an argument the core refused
  count,
};

// The class objects, created at module execution.
PyObject* exc(Exc e) noexcept;

struct Pending {
  struct Arg {
    enum Kind : uint8_t { none, str, integer } kind = none;
    std::string text;
    long long value = 0;
  };
  Exc cls = Exc::VelmoraError;
  Arg args[3];
  uint8_t nargs = 0;

  Pending& str(std::string s) {
    args[nargs].kind = Arg::str;
    args[nargs++].text = std::move(s);
    return *this;
  }
  Pending& integer(long long v) {
    args[nargs].kind = Arg::integer;
    args[nargs++].value = v;
    return *this;
  }
  Pending& none() {
    args[nargs++].kind = Arg::none;
    return *this;
  }
};

// Sets the Python exception for `p` and returns nullptr.
PyObject* raise(const Pending& p);
inline int raise_int(const Pending& p) { raise(p); return -1; }

// ---- HTTP/1, URIs and header maps ----
// An h1::Error as its exception: H1ParseError(kind, message),
// H1UserError(kind, message), H1BodyError(io_kind, message),
// H1IncompleteMessageError / H1UnexpectedMessageError / H1Error(message),
// ConnectionClosedError(message) for the transport's kinds, ValueError(message)
// for a refused argument.
Pending pending(const h1::Error& e);
inline PyObject* raise(const h1::Error& e) { return raise(pending(e)); }
// ValueError(message).
PyObject* raise(const http::Error& e);
// uri_parts(): ValueError("invalid url " + the URL's debug form + ": " + message).
PyObject* raise_url_error(PyObject* url, const http::Error& e);

// HTTP/2 conversion.
std::string_view h2_reason_description(uint32_t code) noexcept;  // "unknown reason" when unassigned
enum class Initiator : uint8_t { user, library, remote };
Pending h2_stream_error(uint32_t stream_id, uint32_t reason, Initiator who);
Pending h2_connection_error(uint32_t reason);
Pending h2_io_error(std::string message);
enum class H2User : uint8_t {
  inactive_stream_id, unexpected_frame_type, payload_too_big, rejected, release_capacity_too_big,
  overflowed_stream_id, malformed_headers, missing_uri_scheme_and_authority,
  poll_reset_after_send_response, send_ping_while_pending, send_settings_while_pending,
  peer_disabled_server_push, invalid_informational_status_code, send_before_preface,
};
Pending h2_user_error(H2User kind);
Pending h2_flow_control_error();
Pending h2_data_frame_flood();

// Registration, in the module's attribute order.
int add_base_errors(PyObject* module);  // VelmoraError, ConnectionClosedError
int add_h2_errors(PyObject* module);    // H2Error ... H2FlowControlError
int add_h1_errors(PyObject* module);    // H1Error ... H1UserError

}  // namespace velmora::py
