// Request heads: parsing in two pieces must agree with parsing at once, on
// every scan path, and a parsed head must survive re-encoding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "proto/h1/codec.h"
#include "proto/http/field_scan.h"

using namespace velmora::h1;
using velmora::http::ScanPath;
using velmora::http::set_scan_path;

namespace {

[[noreturn]] void fault(int line) {
  fprintf(stderr, "fuzz_request_head: check failed at line %d\n", line);
  abort();
}
#define FAIL() fault(__LINE__)

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
  RequestHead head;
  size_t buffered;
  std::optional<uint16_t> status;
};

Run run(std::string_view data, size_t cut, const CodecOptions& o) {
  Codec c(o);
  Run r{};
  r.st = got(c.receive_request_head(data.substr(0, cut), r.head), r.err);
  if (cut < data.size()) {
    if (r.st == Got::partial)
      r.st = got(c.receive_request_head(data.substr(cut), r.head), r.err);
    else if (r.st == Got::complete)
      c.feed(data.substr(cut));  // the rest arrives after the head
  }
  r.buffered = c.buffered();
  r.status = c.parse_error_status();
  return r;
}

void check_same(const Run& a, const Run& b) {
  if (a.st != b.st) FAIL();
  // A preface cut before its end is only a bad version.
  if (a.st == Got::error && a.err != b.err &&
      !(a.err == ParseError::version_h2 && b.err == ParseError::version))
    FAIL();
  if (a.st == Got::error && a.err != b.err) return;
  if (a.st == Got::error && a.status != b.status) FAIL();
  if (a.st != Got::complete) return;
  if (a.buffered != b.buffered || a.head.target() != b.head.target() || a.head.method_str() != b.head.method_str() ||
      !(a.head.headers == b.head.headers) || a.head.body != b.head.body ||
      a.head.content_length != b.head.content_length || a.head.keep_alive != b.head.keep_alive)
    FAIL();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
  if (n < 2) return 0;
  CodecOptions o;
  o.max_buf_size = kMinBufSize;
  o.ignore_invalid_headers = p[0] & 1;
  if (p[0] & 2) o.max_headers = p[0] >> 2;
  std::string_view data(reinterpret_cast<const char*>(p + 2), n - 2);
  size_t cut = data.empty() ? 0 : p[1] % (data.size() + 1);

  set_scan_path(ScanPath::automatic);
  Run whole = run(data, data.size(), o);
  Run split = run(data, cut, o);
  check_same(whole, split);
  set_scan_path(ScanPath::portable);
  Run portable = run(data, data.size(), o);
  set_scan_path(ScanPath::automatic);
  check_same(whole, portable);

  if (whole.st == Got::complete) {
    // The parsed head re-encodes and parses back to the same fields.
    velmora::h1::Result<RequestEncoding> enc =
        prepare_request(whole.head.method_str(), whole.head.target(), whole.head.headers, whole.head.http10, {}, false);
    if (!enc) FAIL();
    std::string again = encode_request(*enc);
    // The encoder's fix-ups (Connection for HTTP/1.0, framing) may add lines
    // to a head that was at the header-count limit.
    CodecOptions back;
    back.max_headers = whole.head.headers.size() + 8;
    Codec c(back);
    RequestHead h;
    ParseError e;
    if (got(c.receive_request_head(again, h), e) != Got::complete) FAIL();
    if (h.target() != whole.head.target() || h.method_str() != whole.head.method_str()) FAIL();
  }
  return 0;
}
