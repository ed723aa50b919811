// URI parsing shared by every consumer of request targets and destination
// URLs: the HTTP/1 and HTTP/2 codecs, uri_parts() and the proxy matcher all
// call parse_uri(), so destination handling and the wire agree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "proto/http/error.h"

namespace velmora::http {

enum class UriForm : uint8_t {
  origin,     // "/path?query"
  absolute,   // "scheme://authority/path?query"
  authority,  // "host:port" (CONNECT)
  asterisk,   // "*"
};

enum class Scheme : uint8_t { none, http, https, other };

// A parsed URI. Every view points into the input given to parse_uri(); the
// caller keeps that input alive while it uses the views.
struct Uri {
  UriForm form = UriForm::origin;
  Scheme scheme_kind = Scheme::none;
  std::string_view scheme;     // as written; empty when absent
  std::string_view authority;  // userinfo@host:port as written; empty when absent
  std::string_view userinfo;   // text before the first '@' of the authority
  std::string_view host;       // host as written (IPv6 literals keep brackets)
  std::string_view port;       // text after the host's ':' as written (may be empty or not a number)
  bool has_port = false;       // a ':' followed the host
  std::string_view path;       // empty for authority/asterisk form and "scheme://host"
  std::string_view query;      // without the '?'
  bool has_query = false;
  bool has_fragment = false;  // a '#' followed the path or query (the fragment is dropped)

  bool has_authority() const noexcept { return form == UriForm::absolute || form == UriForm::authority; }
  // "http" / "https" in lowercase, any other scheme as written.
  std::string_view scheme_text() const noexcept;
  // The host without the brackets of an IPv6 literal ("[::1]" gives "::1").
  std::string_view host_name() const noexcept;
  // Writes the canonical request-target form, exactly target_size() bytes:
  // scheme "://" authority for an absolute URI, the path ("/" when an
  // absolute URI has none), "?" query; the authority alone for the authority
  // form; "*" for the asterisk form. Returns the end of what was written.
  char* write_target(char* out) const noexcept;
  // Appends the same to `out`.
  void write_target(std::string& out) const;
  size_t target_size() const noexcept;
};

// Longest URI accepted (bytes).
inline constexpr size_t kMaxUriLength = 65534;

// Parses `s` in any of the four request-target forms.
// Errors: empty, too_long, scheme_too_long, invalid_scheme, invalid_format,
// invalid_authority, invalid_char.
Result<Uri> parse_uri(std::string_view s) noexcept;

// The same for a request target whose every byte the caller has already
// checked with scan_target() (field_scan.h), as the HTTP/1 tokenizer does:
// the path and query are not scanned a second time. Passing text that would
// fail that scan gives a result as unspecified as the text. Errors: as above.
struct TargetScanned {};
Result<Uri> parse_uri(std::string_view s, TargetScanned) noexcept;

// Parses a decimal port as an unsigned 16-bit number: a single leading '+' is
// accepted. Errors: invalid_port (empty text, other characters, overflow
// past 65535).
Result<uint16_t> parse_port_u16(std::string_view s) noexcept;

}  // namespace velmora::http
