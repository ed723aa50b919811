// Random proxy URLs, NO_PROXY lists and destinations: nothing crashes, and
// the invariants callers rely on hold (valid UTF-8 credentials, credential-
// free proxy URIs, "*" bypassing everything).
//
// Input: lines; the first four are ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and
// NO_PROXY, every further line is a destination URL.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "proto/http/utf8.h"
#include "proxy/credentials.h"
#include "proxy/matcher.h"

using namespace velmora::proxy;
using velmora::http::is_valid_utf8;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void check_intercept(const Intercept& p) {
  check(!p.uri.empty() && p.uri.back() == '/');
  check(p.uri.find('@') == std::string::npos);
  check(is_valid_utf8(p.user) && is_valid_utf8(p.password));
  if (p.auth == AuthKind::basic) check(p.basic.starts_with("Basic ") && (p.basic.size() - 6) % 4 == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos <= in.size();) {
    size_t nl = in.find('\n', pos);
    if (nl == std::string_view::npos) nl = in.size();
    lines.push_back(in.substr(pos, nl - pos));
    pos = nl + 1;
  }
  while (lines.size() < 4) lines.emplace_back();

  for (size_t i = 0; i < 3; ++i)
    if (auto p = parse_proxy(lines[i])) check_intercept(*p);
  check(is_valid_utf8(percent_decode_utf8(in)));

  Matcher m = Matcher::from_parts({lines[0], lines[1], lines[2], lines[3]});
  Matcher star = Matcher::from_parts({.all = "http://p:1", .no = "*"});
  for (size_t i = 3; i < lines.size(); ++i) {
    if (auto hit = m.intercept(lines[i])) {
      check(hit == m.http() || hit == m.https());
      check_intercept(*hit);
    }
    check(!star.intercept(lines[i]));
    m.bypassed(lines[i]);
  }
  return 0;
}
