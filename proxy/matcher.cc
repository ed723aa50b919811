#include "proxy/matcher.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "proto/http/fields.h"
#include "proto/http/uri.h"
#include "proto/http/utf8.h"
#include "proxy/credentials.h"

namespace velmora::proxy {

namespace {

enum class Style : uint8_t { none, http, socks };

Style proxy_style(const http::Uri& u, std::string_view& scheme) noexcept {
  switch (u.scheme_kind) {
    case http::Scheme::none: scheme = "http"; return Style::http;
    case http::Scheme::http: scheme = "http"; return Style::http;
    case http::Scheme::https: scheme = "https"; return Style::http;
    case http::Scheme::other: break;
  }
  for (std::string_view s : {"socks4", "socks4a", "socks5", "socks5h"})
    if (http::iequals(u.scheme, s)) {
      scheme = s;
      return Style::socks;
    }
  return Style::none;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// ASCII case-insensitive: does `host` end with `tail`?
bool iends_with(std::string_view host, std::string_view tail) noexcept {
  return host.size() >= tail.size() && http::iequals(host.substr(host.size() - tail.size()), tail);
}

bool domain_bypasses(std::string_view host, std::string_view d) noexcept {
  bool dot = d.front() == '.';
  if (http::iequals(host, d) || (dot && http::iequals(host, d.substr(1)))) return true;
  if (!iends_with(host, d)) return false;
  return dot || (host.size() > d.size() && host[host.size() - d.size() - 1] == '.');
}

// The first variable of the pair that is set and holds valid UTF-8.
std::string env_setting(const char* upper, const char* lower) {
  for (const char* name : {upper, lower}) {
    const char* v = std::getenv(name);
    if (!v) continue;
    std::string_view s(v);
    if (http::is_valid_utf8(s)) return std::string(s);
  }
  return {};
}

}  // namespace

Result<Intercept> parse_proxy(std::string_view url) {
  if (url.empty()) return fail(ErrorKind::invalid_url);
  http::Result<http::Uri> parsed = http::parse_uri(url);
  if (!parsed) return fail(ErrorKind::invalid_url);
  const http::Uri& u = *parsed;
  std::string_view scheme;
  Style style = proxy_style(u, scheme);
  if (style == Style::none) return fail(ErrorKind::unsupported_scheme);
  if (!u.has_authority()) return fail(ErrorKind::no_authority);

  Intercept p;
  std::string_view port = u.port;
  p.uri.reserve(scheme.size() + 3 + u.host.size() + (port.empty() ? 0 : 1 + port.size()) + 1);
  p.uri += scheme;
  p.uri += "://";
  p.uri += u.host;
  if (!port.empty()) {
    p.uri += ':';
    p.uri += port;
  }
  p.uri += '/';

  if (u.authority.find('@') == std::string_view::npos) return p;
  std::string_view info = u.userinfo;
  size_t colon = info.find(':');
  std::string user = percent_decode_utf8(info.substr(0, colon));
  std::string password = colon == std::string_view::npos ? std::string() : percent_decode_utf8(info.substr(colon + 1));
  if (style == Style::socks) {
    p.auth = AuthKind::raw;
    p.user = std::move(user);
    p.password = std::move(password);
    return p;
  }
  // Base64 of user ":" password, encoded straight from the two parts.
  std::string plain;
  plain.reserve(user.size() + 1 + password.size());
  plain += user;
  plain += ':';
  plain += password;
  p.auth = AuthKind::basic;
  p.basic.reserve(6 + base64_size(plain.size()));
  p.basic += "Basic ";
  base64_append(plain, p.basic);
  return p;
}

Result<IpAddr> parse_ip(std::string_view host) noexcept {
  // INET6_ADDRSTRLEN covers the longest textual form, including an embedded
  // IPv4 tail; anything longer is not an address.
  char buf[INET6_ADDRSTRLEN];
  if (host.empty() || host.size() >= sizeof buf) return fail(ErrorKind::invalid_address);
  bool colon = false;
  for (char c : host) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
    if (!ok) return fail(ErrorKind::invalid_address);
    colon |= c == ':';
  }
  std::memcpy(buf, host.data(), host.size());
  buf[host.size()] = '\0';
  IpAddr a;
  a.v6 = colon;
  if (inet_pton(colon ? AF_INET6 : AF_INET, buf, a.addr) != 1) return fail(ErrorKind::invalid_address);
  return a;
}

Result<IpNet> IpNet::parse(std::string_view s) {
  size_t slash = s.find('/');
  Result<IpAddr> a = parse_ip(s.substr(0, slash));
  if (!a) return std::unexpected(a.error());
  IpNet n;
  n.v6 = a->v6;
  std::memcpy(n.addr, a->addr, 16);
  unsigned bits = n.v6 ? 128 : 32;
  n.prefix = uint8_t(bits);
  if (slash == std::string_view::npos) return n;
  std::string_view digits = s.substr(slash + 1);
  if (digits.empty() || digits.size() > 3) return fail(ErrorKind::invalid_prefix);
  unsigned v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return fail(ErrorKind::invalid_prefix);
    v = v * 10 + unsigned(c - '0');
  }
  if (v > bits) return fail(ErrorKind::invalid_prefix);
  n.network = true;
  n.prefix = uint8_t(v);
  return n;
}

bool IpNet::contains(bool other_v6, const uint8_t* other) const noexcept {
  if (other_v6 != v6) return false;
  unsigned full = prefix / 8, rest = prefix % 8;
  if (std::memcmp(addr, other, full) != 0) return false;
  if (!rest) return true;
  auto mask = uint8_t(0xff << (8 - rest));
  return (addr[full] & mask) == (other[full] & mask);
}

Matcher Matcher::from_parts(const Settings& s) {
  Matcher m;
  std::shared_ptr<const Intercept> all;
  if (auto p = parse_proxy(s.all)) all = std::make_shared<const Intercept>(std::move(*p));
  if (auto p = parse_proxy(s.http))
    m.http_ = std::make_shared<const Intercept>(std::move(*p));
  else
    m.http_ = all;
  if (auto p = parse_proxy(s.https))
    m.https_ = std::make_shared<const Intercept>(std::move(*p));
  else
    m.https_ = all;

  for (size_t pos = 0;;) {
    size_t comma = s.no.find(',', pos);
    std::string_view piece = trim(s.no.substr(pos, comma == std::string_view::npos ? comma : comma - pos));
    if (auto net = IpNet::parse(piece))
      m.ips_.push_back(*net);
    else if (!piece.empty()) {
      m.domains_.emplace_back(piece);
      m.all_bypassed_ |= piece == "*";
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return m;
}

Matcher Matcher::from_env() {
  if (std::getenv("REQUEST_METHOD")) return Matcher{};
  std::string all = env_setting("ALL_PROXY", "all_proxy");
  std::string http = env_setting("HTTP_PROXY", "http_proxy");
  std::string https = env_setting("HTTPS_PROXY", "https_proxy");
  std::string no = env_setting("NO_PROXY", "no_proxy");
  return from_parts({all, http, https, no});
}

bool Matcher::bypassed(std::string_view host) const {
  // "*" means every destination, addresses included.
  if (all_bypassed_) return true;
  // A host that is not an address is matched against the domains.
  if (Result<IpAddr> a = parse_ip(host)) {
    for (const IpNet& n : ips_)
      if (n.contains(a->v6, a->addr)) return true;
    return false;
  }
  for (const std::string& d : domains_)
    if (domain_bypasses(host, d)) return true;
  return false;
}

std::shared_ptr<const Intercept> Matcher::intercept(std::string_view url) const {
  if (url.empty()) return nullptr;
  http::Result<http::Uri> parsed = http::parse_uri(url);
  if (!parsed || !parsed->has_authority()) return nullptr;
  const http::Uri& u = *parsed;
  const std::shared_ptr<const Intercept>* proxy;
  switch (u.scheme_kind) {
    case http::Scheme::http: proxy = &http_; break;
    case http::Scheme::https: proxy = &https_; break;
    default: return nullptr;
  }
  if (!*proxy) return nullptr;
  std::string_view host = u.host_name();
  if (host.empty() || bypassed(host)) return nullptr;
  return *proxy;
}

}  // namespace velmora::proxy
