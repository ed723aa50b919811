#include <gtest/gtest.h>

#include <optional>

#include "proto/http/field_scan.h"
#include "proto/http/uri.h"

using namespace velmora::http;

namespace {

Uri parse_ok(std::string_view s) {
  Result<Uri> u = parse_uri(s);
  EXPECT_TRUE(u.has_value()) << s;
  return u.value_or(Uri{});
}

// The kind a parse fails with; nullopt when it succeeds.
std::optional<ErrorKind> parse_err(std::string_view s) {
  Result<Uri> u = parse_uri(s);
  if (u) return std::nullopt;
  return u.error().kind;
}

std::string target(std::string_view s) {
  Uri u = parse_ok(s);
  std::string out;
  u.write_target(out);
  EXPECT_EQ(out.size(), u.target_size()) << s;
  return out;
}

}  // namespace

TEST(Uri, FourForms) {
  Uri o = parse_ok("/a/b?x=1&y#frag");
  EXPECT_EQ(o.form, UriForm::origin);
  EXPECT_EQ(o.path, "/a/b");
  EXPECT_TRUE(o.has_query);
  EXPECT_EQ(o.query, "x=1&y");

  Uri a = parse_ok("HTTPS://user:pw@Example.com:8443/p?q");
  EXPECT_EQ(a.form, UriForm::absolute);
  EXPECT_EQ(a.scheme_kind, Scheme::https);
  EXPECT_EQ(a.scheme_text(), "https");
  EXPECT_EQ(a.authority, "user:pw@Example.com:8443");
  EXPECT_EQ(a.userinfo, "user:pw");
  EXPECT_EQ(a.host, "Example.com");
  EXPECT_EQ(a.port, "8443");
  EXPECT_EQ(a.path, "/p");

  Uri c = parse_ok("example.com:443");
  EXPECT_EQ(c.form, UriForm::authority);
  EXPECT_EQ(c.host, "example.com");
  EXPECT_EQ(c.port, "443");

  EXPECT_EQ(parse_ok("*").form, UriForm::asterisk);
}

TEST(Uri, SchemeNeedsDoubleSlash) {
  // "h:8080" is an authority with a port, never a scheme.
  Uri u = parse_ok("h:8080");
  EXPECT_EQ(u.form, UriForm::authority);
  EXPECT_EQ(u.scheme_kind, Scheme::none);
  Uri w = parse_ok("wss://h");
  EXPECT_EQ(w.scheme_kind, Scheme::other);
  EXPECT_EQ(w.scheme_text(), "wss");
  EXPECT_EQ(w.path, "");
}

TEST(Uri, Ipv6Literals) {
  Uri u = parse_ok("http://[::1]:8080/x");
  EXPECT_EQ(u.host, "[::1]");
  EXPECT_EQ(u.port, "8080");
  Uri v = parse_ok("[::ffff:1.2.3.4]:1");
  EXPECT_EQ(v.host, "[::ffff:1.2.3.4]");
  EXPECT_EQ(parse_err("http://[::1/"), ErrorKind::invalid_authority);
  EXPECT_EQ(parse_err("http://[::1]x/"), ErrorKind::invalid_authority);
  EXPECT_EQ(parse_err("http://::1/"), ErrorKind::invalid_authority);
}

TEST(Uri, Rejections) {
  EXPECT_EQ(parse_err(""), ErrorKind::empty);
  EXPECT_EQ(parse_err("/a b"), ErrorKind::invalid_char);
  EXPECT_EQ(parse_err("/a\x01"), ErrorKind::invalid_char);
  EXPECT_EQ(parse_err("http://a b/"), ErrorKind::invalid_char);
  // A port is kept as written; only its reader decides whether it is a number.
  EXPECT_EQ(parse_ok("http://h:+80/").port, "+80");
  EXPECT_EQ(parse_ok("h:x").port, "x");
  EXPECT_EQ(parse_err("http://h:1:2/"), ErrorKind::invalid_authority);
  EXPECT_EQ(parse_err("http://ho%41st/"), ErrorKind::invalid_authority);
  EXPECT_EQ(parse_ok("http://us%40er:p%3Aw@h/").userinfo, "us%40er:p%3Aw");
  EXPECT_EQ(parse_err("http:///x"), ErrorKind::invalid_format);
  EXPECT_EQ(parse_err("http://:80/"), ErrorKind::invalid_authority);
  EXPECT_EQ(parse_err("http://a@b@c/"), ErrorKind::invalid_authority);
  EXPECT_EQ(parse_err("1ttp://h/"), ErrorKind::invalid_scheme);
  EXPECT_EQ(parse_err("host/path"), ErrorKind::invalid_format);
  EXPECT_EQ(parse_err(std::string(65, 'a') + "://h/"), ErrorKind::scheme_too_long);
  EXPECT_EQ(parse_err(std::string(64, 'a') + "://h/"), std::nullopt);
  std::string longest = "/" + std::string(kMaxUriLength - 1, 'a');
  EXPECT_EQ(parse_err(longest), std::nullopt);
  EXPECT_EQ(parse_err(longest + "a"), ErrorKind::too_long);
  EXPECT_EQ(message(ErrorKind::invalid_authority), "invalid authority");
  EXPECT_EQ(message(ErrorKind::path_no_slash), "path does not start with slash");
}

TEST(Uri, CanonicalTarget) {
  EXPECT_EQ(target("/x?y"), "/x?y");
  EXPECT_EQ(target("/x#frag"), "/x");
  EXPECT_EQ(target("HTTP://h:1"), "http://h:1/");
  EXPECT_EQ(target("foo://h/p?"), "foo://h/p?");
  EXPECT_EQ(target("h:443"), "h:443");
  EXPECT_EQ(target("*"), "*");
}

TEST(Uri, PortU16) {
  EXPECT_EQ(parse_port_u16("65535"), Result<uint16_t>(65535));
  EXPECT_EQ(parse_port_u16("+80"), Result<uint16_t>(80));
  for (std::string_view bad : {"65536", "99999", "", "+", "8a"})
    EXPECT_EQ(parse_port_u16(bad), Result<uint16_t>(fail(ErrorKind::invalid_port))) << bad;
}

// The path ends at the first '?' or '#', the query at the first '#'; a byte
// that no target may carry fails wherever it stands, before or after the
// vector width, on every scanner path.
TEST(Uri, PathQueryFragmentOnEveryScanPath) {
  const std::string pad(40, 'p');
  for (ScanPath path : {ScanPath::portable, ScanPath::sse42, ScanPath::avx2}) {
    set_scan_path(path);
    SCOPED_TRACE(int(scan_path()));
    Uri u = parse_ok("/a?b#c?d");
    EXPECT_EQ(u.path, "/a");
    EXPECT_EQ(u.query, "b");
    EXPECT_TRUE(u.has_fragment);
    u = parse_ok("/a#b?c");
    EXPECT_EQ(u.path, "/a");
    EXPECT_FALSE(u.has_query);
    EXPECT_TRUE(u.has_fragment);
    EXPECT_TRUE(parse_ok("http://h#").has_fragment);
    EXPECT_FALSE(parse_ok("/a?b").has_fragment);
    const std::string empty_query = "/" + pad + "?", absolute = "http://h?" + pad;
    u = parse_ok(empty_query);
    EXPECT_EQ(u.path, "/" + pad);
    EXPECT_TRUE(u.has_query);
    EXPECT_EQ(u.query, "");
    u = parse_ok(absolute);
    EXPECT_EQ(u.path, "");
    EXPECT_EQ(u.query, pad);
    u = parse_ok("/\xc3\xa9?\xff");
    EXPECT_EQ(u.path, "/\xc3\xa9");
    EXPECT_EQ(u.query, "\xff");
    for (char bad : {' ', '\t', '\x00', '\x1f', '\x7f'}) {
      for (const std::string& s : {"/" + pad + bad, "/a?" + pad + bad + "x", "/a#" + pad + bad,
                                   "/" + std::string(1, bad) + pad, "http://h/" + pad + "?" + bad}) {
        EXPECT_EQ(parse_err(s), ErrorKind::invalid_char) << int(bad) << " in " << s.size();
      }
    }
  }
  set_scan_path(ScanPath::automatic);
}
