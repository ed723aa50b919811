#include "proto/http/uri.h"

#include <array>
#include <cstring>

#include "proto/http/field_scan.h"
#include "proto/http/fields.h"

namespace velmora::http {

namespace {

enum : uint8_t { kAuth = 1, kScheme = 2 };

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    // unreserved, sub-delims, ':', '@', '[', ']', '%'
    if (alnum || std::string_view("-._~!$&'()*+,;=:@[]%").find(char(c)) != std::string_view::npos)
      t[c] |= kAuth;
    if (alnum || c == '+' || c == '-' || c == '.') t[c] |= kScheme;
  }
  return t;
}
constexpr auto kClass = make_classes();

constexpr size_t kMaxSchemeLength = 64;

// Splits and checks an authority: [userinfo "@"] host [":" port].
Result<void> parse_authority(std::string_view a, Uri& u) noexcept {
  for (unsigned char c : a)
    if (!(kClass[c] & kAuth)) return fail(ErrorKind::invalid_char);
  u.authority = a;
  size_t at = a.find('@');
  std::string_view hp = a;
  if (at != std::string_view::npos) {
    if (a.find('@', at + 1) != std::string_view::npos) return fail(ErrorKind::invalid_authority);
    u.userinfo = a.substr(0, at);
    if (u.userinfo.find_first_of("[]") != std::string_view::npos) return fail(ErrorKind::invalid_authority);
    hp = a.substr(at + 1);
  }
  std::string_view host, rest;
  if (!hp.empty() && hp.front() == '[') {
    size_t close = hp.find(']');
    if (close == std::string_view::npos || close < 3) return fail(ErrorKind::invalid_authority);
    for (char c : hp.substr(1, close - 1)) {
      bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex && c != ':' && c != '.') return fail(ErrorKind::invalid_authority);
    }
    host = hp.substr(0, close + 1);
    rest = hp.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return fail(ErrorKind::invalid_authority);
  } else {
    size_t colon = hp.find(':');
    host = hp.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view{} : hp.substr(colon);
    if (host.find_first_of("[]") != std::string_view::npos) return fail(ErrorKind::invalid_authority);
    if (rest.size() > 1 && rest.substr(1).find(':') != std::string_view::npos) return fail(ErrorKind::invalid_authority);
  }
  if (host.empty()) return fail(ErrorKind::invalid_authority);
  // Percent-encoding belongs to the userinfo; a host or port never carries it.
  if (hp.find('%') != std::string_view::npos) return fail(ErrorKind::invalid_authority);
  u.host = host;
  if (!rest.empty()) {
    // The port is kept as written; whether it is a usable number is the
    // reader's question (parse_port_u16), so "h:+80" and "h:99999" parse.
    u.has_port = true;
    u.port = rest.substr(1);
  }
  return {};
}

// Path, query and fragment from `s`, which starts with '/', '?' or '#', or is empty.
// Every byte must be one a request target may carry (the target scanner's
// set: visible ASCII and high bytes); the path ends at the first '?' or '#',
// the query at the first '#'.
template <bool Scanned>
Result<void> parse_path_query(std::string_view s, Uri& u) noexcept {
  if (!Scanned && scan_target(s.data(), s.size()) != s.size()) return fail(ErrorKind::invalid_char);
  // A fragment is never part of a request target; it is checked and dropped.
  const size_t hash = s.find('#');
  u.has_fragment = hash != std::string_view::npos;
  std::string_view pq = s.substr(0, hash);
  size_t q = pq.find('?');
  u.path = pq.substr(0, q);
  if (q != std::string_view::npos) {
    u.has_query = true;
    u.query = pq.substr(q + 1);
  }
  return {};
}

}  // namespace

std::string_view Uri::scheme_text() const noexcept {
  switch (scheme_kind) {
    case Scheme::http: return "http";
    case Scheme::https: return "https";
    default: return scheme;
  }
}

size_t Uri::target_size() const noexcept {
  switch (form) {
    case UriForm::asterisk: return 1;
    case UriForm::authority: return authority.size();
    case UriForm::origin: return path.size() + (has_query ? 1 + query.size() : 0);
    case UriForm::absolute:
      return scheme_text().size() + 3 + authority.size() + (path.empty() ? 1 : path.size()) +
             (has_query ? 1 + query.size() : 0);
  }
  return 0;
}

std::string_view Uri::host_name() const noexcept {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

namespace {
char* put(char* out, std::string_view s) noexcept {
  if (s.empty()) return out;  // an empty view may carry a null pointer
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}
}  // namespace

char* Uri::write_target(char* out) const noexcept {
  switch (form) {
    case UriForm::asterisk: *out++ = '*'; return out;
    case UriForm::authority: return put(out, authority);
    case UriForm::absolute:
      out = put(out, scheme_text());
      out = put(out, "://");
      out = put(out, authority);
      if (path.empty()) *out++ = '/';
      break;
    case UriForm::origin: break;
  }
  out = put(out, path);
  if (has_query) {
    *out++ = '?';
    out = put(out, query);
  }
  return out;
}

void Uri::write_target(std::string& out) const {
  size_t at = out.size();
  out.resize(at + target_size());
  write_target(out.data() + at);
}

namespace {

template <bool Scanned>
Result<void> parse_any(std::string_view s, Uri& u) noexcept {
  if (s.empty()) return fail(ErrorKind::empty);
  if (s.size() > kMaxUriLength) return fail(ErrorKind::too_long);
  if (s == "*") {
    u.form = UriForm::asterisk;
    return {};
  }
  if (s.front() == '/') {
    u.form = UriForm::origin;
    return parse_path_query<Scanned>(s, u);
  }
  // A scheme is only recognised when its colon is followed by "//".
  size_t i = 0;
  while (i < s.size() && (kClass[(unsigned char)s[i]] & kScheme)) ++i;
  if (i > 0 && s.substr(i, 3) == "://") {
    if (i > kMaxSchemeLength) return fail(ErrorKind::scheme_too_long);
    char c0 = s[0];
    if (!((c0 >= 'a' && c0 <= 'z') || (c0 >= 'A' && c0 <= 'Z'))) return fail(ErrorKind::invalid_scheme);
    u.form = UriForm::absolute;
    u.scheme = s.substr(0, i);
    u.scheme_kind = iequals(u.scheme, "http") ? Scheme::http : iequals(u.scheme, "https") ? Scheme::https : Scheme::other;
    std::string_view rest = s.substr(i + 3);
    size_t end = rest.find_first_of("/?#");
    std::string_view auth = rest.substr(0, end);
    if (auth.empty()) return fail(ErrorKind::invalid_format);
    if (Result<void> r = parse_authority(auth, u); !r) return r;
    return end == std::string_view::npos ? Result<void>() : parse_path_query<Scanned>(rest.substr(end), u);
  }
  // Authority form: nothing but an authority.
  if (s.find_first_of("/?#") != std::string_view::npos) return fail(ErrorKind::invalid_format);
  u.form = UriForm::authority;
  return parse_authority(s, u);
}

}  // namespace

// The Uri is parsed in place in the returned object: no copy of its views.
Result<Uri> parse_uri(std::string_view s) noexcept {
  Result<Uri> out;
  if (Result<void> r = parse_any<false>(s, *out); !r) out = std::unexpected(r.error());
  return out;
}

Result<Uri> parse_uri(std::string_view s, TargetScanned) noexcept {
  Result<Uri> out;
  if (Result<void> r = parse_any<true>(s, *out); !r) out = std::unexpected(r.error());
  return out;
}

Result<uint16_t> parse_port_u16(std::string_view s) noexcept {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return fail(ErrorKind::invalid_port);
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return fail(ErrorKind::invalid_port);
    v = v * 10 + uint32_t(c - '0');
    if (v > 65535) return fail(ErrorKind::invalid_port);
  }
  return uint16_t(v);
}

}  // namespace velmora::http
