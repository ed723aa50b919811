// Proxy selection: which proxy, if any, a request to a destination URL goes
// through, from settings given explicitly or taken from the environment
// (ALL_PROXY, HTTP_PROXY, HTTPS_PROXY, NO_PROXY). No I/O, no name lookups.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/error.h"

namespace velmora::proxy {

enum class AuthKind : uint8_t { none, basic, raw };

// A usable proxy: its URI without credentials, and the credentials that came
// with it in the proxy URL's userinfo.
struct Intercept {
  std::string uri;       // scheme "://" host [":" port] "/"
  AuthKind auth = AuthKind::none;
  std::string basic;     // auth == basic: the Proxy-Authorization value, "Basic " + Base64
  std::string user;      // auth == raw: SOCKS user name
  std::string password;  // auth == raw: SOCKS password ("" when absent)
};

// Parses one proxy URL. Schemes http and https (or none) give an HTTP-style
// proxy with Basic credentials, socks4, socks4a, socks5 and socks5h a SOCKS
// proxy with raw credentials.
// Errors: invalid_url (empty, or refused by the URI parser),
// unsupported_scheme, no_authority.
Result<Intercept> parse_proxy(std::string_view url);

// One NO_PROXY address or network. A plain address is a network whose prefix
// covers every bit.
struct IpNet {
  bool v6 = false;
  bool network = false;  // written with a "/prefix"
  uint8_t prefix = 0;
  uint8_t addr[16] = {};

  // "10.0.0.0/8", "fd00::/8" (network) or "10.1.2.3", "::1" (address).
  // Errors: invalid_address, invalid_prefix (not 0-32 or 0-128 digits).
  static Result<IpNet> parse(std::string_view s);
  bool contains(bool v6, const uint8_t* addr) const noexcept;
};

struct IpAddr {
  bool v6 = false;
  uint8_t addr[16] = {};  // IPv4: the first four bytes
};

// Parses `host` (no brackets) as an IPv4 or IPv6 address.
// Errors: invalid_address.
Result<IpAddr> parse_ip(std::string_view host) noexcept;

struct Settings {
  std::string_view all, http, https, no;
};

class Matcher {
 public:
  Matcher() = default;
  static Matcher from_parts(const Settings& s);
  // Reads the process environment now. Under CGI (REQUEST_METHOD set) the
  // environment's proxy settings may come from a client's request headers
  // and are ignored entirely.
  static Matcher from_env();

  // The proxy for `url`, or null when the URL is not an http/https URL with a
  // host, the host is bypassed, or no proxy is set for its scheme.
  std::shared_ptr<const Intercept> intercept(std::string_view url) const;
  // True when NO_PROXY bypasses `host` (IPv6 literals without brackets).
  bool bypassed(std::string_view host) const;

  const std::shared_ptr<const Intercept>& http() const noexcept { return http_; }
  const std::shared_ptr<const Intercept>& https() const noexcept { return https_; }
  const std::vector<IpNet>& bypass_ips() const noexcept { return ips_; }
  const std::vector<std::string>& bypass_domains() const noexcept { return domains_; }

 private:
  std::shared_ptr<const Intercept> http_, https_;
  std::vector<IpNet> ips_;
  std::vector<std::string> domains_;  // as written, trimmed
  bool all_bypassed_ = false;         // an entry is "*"
};

}  // namespace velmora::proxy
