// Response heads: parsing in two pieces must agree with parsing at once, on
// every scan path, for each recorded request method.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "proto/h1/codec.h"
#include "proto/http/field_scan.h"

using namespace velmora::h1;
using velmora::http::ScanPath;
using velmora::http::set_scan_path;

namespace {

// A receive's outcome as one comparable value.
enum class Got : uint8_t { partial, complete, error };

Got got(const velmora::h1::Result<HeadProgress>& r, ParseError& err) {
  if (!r) {
    err = r.error().parse_variant();
    return Got::error;
  }
  return *r == HeadProgress::complete ? Got::complete : Got::partial;
}

struct Run {
  Got st;
  ParseError err;
  ResponseHead head;
  size_t buffered;
};

Run run(std::string_view data, size_t cut, std::string_view method) {
  Codec c;
  if (!method.empty()) {
    velmora::h1::Result<RequestEncoding> enc = prepare_request(method, "/", {}, false, {}, false);
    if (!enc) std::abort();
    c.commit_request(*enc);
  }
  Run r{};
  r.st = got(c.receive_head(data.substr(0, cut), r.head), r.err);
  if (cut < data.size()) {
    if (r.st == Got::partial)
      r.st = got(c.receive_head(data.substr(cut), r.head), r.err);
    else if (r.st == Got::complete)
      c.feed(data.substr(cut));  // the rest arrives after the head
  }
  r.buffered = c.buffered();
  return r;
}

void check_same(const Run& a, const Run& b) {
  if (a.st != b.st) std::abort();
  if (a.st == Got::error && a.err != b.err) std::abort();
  if (a.st != Got::complete) return;
  if (a.buffered != b.buffered || a.head.status != b.head.status || !(a.head.headers == b.head.headers) ||
      a.head.body != b.head.body || a.head.content_length != b.head.content_length ||
      a.head.keep_alive != b.head.keep_alive || a.head.upgrade != b.head.upgrade)
    std::abort();
  if (a.head.status < 100 || a.head.status > 999) std::abort();
  if ((a.head.status == 204 || a.head.status == 304) && a.head.body != BodyKind::empty) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  static constexpr std::string_view kMethods[] = {"", "GET", "HEAD", "CONNECT"};
  std::string_view method = kMethods[p[0] & 3];
  std::string_view data(reinterpret_cast<const char*>(p + 2), n - 2);
  size_t cut = data.empty() ? 0 : p[1] % (data.size() + 1);
  set_scan_path(ScanPath::automatic);
  Run whole = run(data, data.size(), method);
  check_same(whole, run(data, cut, method));
  set_scan_path(ScanPath::portable);
  Run portable = run(data, data.size(), method);
  set_scan_path(ScanPath::automatic);
  check_same(whole, portable);
  return 0;
}
