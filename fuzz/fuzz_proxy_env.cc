// Proxy selection from the environment, against a reference model written
// here from the rules the matcher follows: which variable of each pair is
// read (upper case first, skipped when unset or not UTF-8), CGI
// (REQUEST_METHOD) turning everything off, which proxy URLs are usable and
// the URI each becomes, how NO_PROXY splits into addresses, networks and
// domains, and when a destination host is bypassed. Every destination is
// answered by the matcher from_env() builds exactly as the model answers it,
// and from_env() builds the same matcher as from_parts() given the values
// the model chose.
//
// Input: a flags byte (REQUEST_METHOD), for each of the eight variables a
// state byte and, when set, a value assembled from tables of the forms that
// matter (schemes, userinfo, hosts, ports; NO_PROXY entries with white
// space) or taken raw; then destinations built the same way.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/input.h"
#include "proto/http/uri.h"
#include "proxy/matcher.h"

using namespace velmora;
using velmora::fuzz::Input;
using namespace velmora::proxy;

namespace {

constexpr std::string_view kSchemes[] = {"", "http://", "https://", "socks5h://", "socks4://", "socks4a://", "socks5://",
                                         "ftp://", "HTTP://", "SOCKS5H://", "//", "ws://"};
constexpr std::string_view kUserinfo[] = {"", "", "user:pa%40ss@", "u@", "%ff:%c3%a9@", ":@", "a:b:c@"};
constexpr std::string_view kHosts[] = {"proxy", "intranet", "a.intranet", "notintranet", "INTRANET", "host.Intranet",
                                       "example.com", "example.com.", "b.example.com", "10.1.2.3", "11.0.0.1",
                                       "10.0.0.0", "[::1]", "[fd00::5]", "[fe80::1]", "192.168.1.1", "[::ffff:10.1.2.3]",
                                       "localhost", "x", "intranet.", "010.1.2.3", "[[::1]]", "a..intranet"};
constexpr std::string_view kPorts[] = {"", "", ":3128", ":80", ":", ":8080", ":0"};
constexpr std::string_view kPaths[] = {"", "/", "/p?q", "?q", "/a/b"};
constexpr std::string_view kEntries[] = {"intranet", ".intranet", "example.com", "*", "10.0.0.0/8", "::1", "fd00::/8",
                                         "192.168.1.1", "intranet:8080", "[::1]", "10.0.0.0/33", "", "EXAMPLE.COM",
                                         "0.0.0.0/0", "::/0", ".", "10.1.2.3/32", "10.0.0.1/8", "fe80::/10", "x",
                                         "a.intranet", "::ffff:10.0.0.0/104", "10.0.0.0/008", "*.example.com"};
constexpr std::string_view kSpaces[] = {"", "", " ", "\t", "  ", "\n", "\r", "\f", "\v"};
constexpr std::string_view kDestSchemes[] = {"http://", "https://", "ws://", "HTTP://", "Https://", "", "ftp://"};

std::string proxy_url(Input& in) {
  std::string s;
  s += in.pick(kSchemes);
  s += in.pick(kUserinfo);
  s += in.pick(kHosts);
  s += in.pick(kPorts);
  s += in.pick(kPaths);
  return s;
}

std::string no_proxy(Input& in) {
  std::string s;
  size_t k = in.u8() % 6;
  for (size_t i = 0; i < k; ++i) {
    if (i) s += ',';
    s += in.pick(kSpaces);
    s += in.pick(kEntries);
    s += in.pick(kSpaces);
  }
  return s;
}

// ---- the model ----------------------------------------------------------------

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    auto c = uint8_t(s[i]);
    size_t len = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
    if (!len || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
    for (size_t k = 1; k < len; ++k) {
      auto d = uint8_t(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3f);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
std::string lowered(std::string_view s) {
  std::string o(s);
  for (char& c : o) c = lower(c);
  return o;
}

struct Addr {
  bool v6 = false;
  uint8_t b[16] = {};
};

// Dotted quad, each part 0-255 in decimal without leading zeros.
std::optional<Addr> parse_v4(std::string_view s) {
  Addr a;
  size_t part = 0;
  for (size_t i = 0; part < 4; ++part) {
    size_t j = i;
    unsigned v = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9' && j - i < 4) v = v * 10 + unsigned(s[j++] - '0');
    if (j == i || j - i > 3 || v > 255 || (j - i > 1 && s[i] == '0')) return std::nullopt;
    a.b[part] = uint8_t(v);
    if (part < 3) {
      if (j >= s.size() || s[j] != '.') return std::nullopt;
      i = j + 1;
    } else if (j != s.size()) {
      return std::nullopt;
    }
  }
  return a;
}

std::optional<Addr> parse_addr(std::string_view s) {
  if (s.find(':') == std::string_view::npos) return parse_v4(s);
  if (s.size() > 45) return std::nullopt;
  char buf[64];
  std::memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  Addr a;
  a.v6 = true;
  if (inet_pton(AF_INET6, buf, a.b) != 1) return std::nullopt;
  return a;
}

struct Net {
  Addr a;
  unsigned prefix;
  bool contains(const Addr& x) const {
    if (x.v6 != a.v6) return false;
    for (unsigned bit = 0; bit < prefix; ++bit)
      if (((a.b[bit / 8] ^ x.b[bit / 8]) >> (7 - bit % 8)) & 1) return false;
    return true;
  }
};

std::optional<Net> parse_net(std::string_view s) {
  size_t slash = s.find('/');
  auto a = parse_addr(s.substr(0, slash));
  if (!a) return std::nullopt;
  unsigned bits = a->v6 ? 128 : 32;
  if (slash == std::string_view::npos) return Net{*a, bits};
  std::string_view d = s.substr(slash + 1);
  if (d.empty() || d.size() > 3) return std::nullopt;
  unsigned v = 0;
  for (char c : d) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > bits) return std::nullopt;
  return Net{*a, v};
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

struct Model {
  bool cgi = false;
  std::string all, http, https, no;  // the values chosen from the environment
  std::vector<Net> nets;
  std::vector<std::string> domains;

  void split_no() {
    size_t pos = 0;
    for (;;) {
      size_t comma = no.find(',', pos);
      std::string_view piece = std::string_view(no).substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
      while (!piece.empty() && space(piece.front())) piece.remove_prefix(1);
      while (!piece.empty() && space(piece.back())) piece.remove_suffix(1);
      if (auto n = parse_net(piece))
        nets.push_back(*n);
      else if (!piece.empty())
        domains.emplace_back(piece);
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
  }

  bool bypassed(std::string_view host) const {
    for (const std::string& d : domains)
      if (d == "*") return true;
    if (auto a = parse_addr(host)) {
      for (const Net& n : nets)
        if (n.contains(*a)) return true;
      return false;
    }
    std::string h = lowered(host);
    for (const std::string& raw : domains) {
      std::string d = lowered(raw);
      if (h == d || (d[0] == '.' && h == d.substr(1))) return true;
      if (h.size() >= d.size() && h.compare(h.size() - d.size(), d.size(), d) == 0) {
        if (d[0] == '.') return true;
        if (h.size() > d.size() && h[h.size() - d.size() - 1] == '.') return true;
      }
    }
    return false;
  }
};

// The URI a usable proxy URL becomes, or none.
std::optional<std::string> proxy_uri(std::string_view url) {
  if (url.empty()) return std::nullopt;
  auto u = http::parse_uri(url);
  if (!u) return std::nullopt;
  std::string scheme = lowered(u->scheme);
  if (scheme.empty()) scheme = "http";
  bool known = false;
  for (std::string_view s : {"http", "https", "socks4", "socks4a", "socks5", "socks5h"}) known |= scheme == s;
  if (!known || !u->has_authority()) return std::nullopt;
  std::string out = scheme + "://" + std::string(u->host);
  if (!u->port.empty()) out += ":" + std::string(u->port);
  return out + "/";
}

AuthKind auth_of(std::string_view url) {
  auto u = http::parse_uri(url);
  if (u->authority.find('@') == std::string_view::npos) return AuthKind::none;
  return lowered(u->scheme).starts_with("socks") ? AuthKind::raw : AuthKind::basic;
}

bool same(const std::shared_ptr<const Intercept>& a, const std::shared_ptr<const Intercept>& b) {
  if (!a || !b) return !a && !b;
  return a->uri == b->uri && a->auth == b->auth && a->basic == b->basic && a->user == b->user &&
         a->password == b->password;
}

// The model's proxy for a setting that falls back to ALL_PROXY.
void check_proxy(const std::shared_ptr<const Intercept>& got, std::string_view own, std::string_view all) {
  std::string_view chosen = proxy_uri(own) ? own : all;
  std::optional<std::string> want = proxy_uri(chosen);
  CHECK(bool(got) == bool(want));
  if (got) CHECK(got->uri == *want && got->auth == auth_of(chosen));
}

constexpr const char* kVars[8] = {"ALL_PROXY", "all_proxy", "HTTP_PROXY",  "http_proxy",
                                  "HTTPS_PROXY", "https_proxy", "NO_PROXY", "no_proxy"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  Model m;
  m.cgi = (in.u8() & 15) == 15;
  if (m.cgi)
    setenv("REQUEST_METHOD", "GET", 1);
  else
    unsetenv("REQUEST_METHOD");

  std::string* settings[4] = {&m.all, &m.http, &m.https, &m.no};
  bool chosen[4] = {};
  for (size_t v = 0; v < 8; ++v) {
    uint8_t state = in.u8() % 5;
    if (state == 0) {
      unsetenv(kVars[v]);
      continue;
    }
    std::string value = state == 1 ? "" : v >= 6 ? no_proxy(in) : proxy_url(in);
    if (state == 3) value += "\xff";  // not UTF-8: the variable is skipped
    if (state == 4) value = in.raw(48);
    value = value.substr(0, value.find('\0'));  // the environment ends a value at NUL
    setenv(kVars[v], value.c_str(), 1);
    size_t s = v / 2;
    if (!chosen[s] && valid_utf8(value)) {
      *settings[s] = value;
      chosen[s] = true;
    }
  }
  if (m.cgi) m = Model{.cgi = true};
  m.split_no();

  Matcher env = Matcher::from_env();
  Matcher parts = Matcher::from_parts({m.all, m.http, m.https, m.no});
  // The environment read as the model read it.
  CHECK(same(env.http(), parts.http()) && same(env.https(), parts.https()));
  CHECK(env.bypass_domains() == parts.bypass_domains() && env.bypass_ips().size() == parts.bypass_ips().size());
  // The settings taken apart as the model takes them.
  check_proxy(env.http(), m.http, m.all);
  check_proxy(env.https(), m.https, m.all);
  CHECK(env.bypass_domains() == m.domains && env.bypass_ips().size() == m.nets.size());
  for (size_t i = 0; i < m.nets.size(); ++i) {
    const IpNet& n = env.bypass_ips()[i];
    CHECK(n.v6 == m.nets[i].a.v6 && n.prefix == m.nets[i].prefix && std::memcmp(n.addr, m.nets[i].a.b, 16) == 0);
  }

  for (int k = 0; k < 6 && in.n; ++k) {
    std::string host(in.pick(kHosts));
    std::string url = std::string(in.pick(kDestSchemes)) + host + std::string(in.pick(kPorts)) + std::string(in.pick(kPaths));
    std::shared_ptr<const Intercept> got = env.intercept(url);
    CHECK(same(got, parts.intercept(url)));
    // The model's answer for the destination.
    std::shared_ptr<const Intercept> want;
    auto u = http::parse_uri(url);
    if (u && u->has_authority()) {
      std::string scheme = lowered(u->scheme);
      std::string_view h = u->host;
      while (!h.empty() && h.front() == '[') h.remove_prefix(1);
      while (!h.empty() && h.back() == ']') h.remove_suffix(1);
      const auto& proxy = scheme == "http" ? env.http() : scheme == "https" ? env.https() : nullptr;
      if (proxy && !h.empty() && !m.bypassed(h)) want = proxy;
      if (!h.empty()) CHECK(env.bypassed(h) == m.bypassed(h));
    }
    CHECK(got == want);
  }
  return 0;
}
