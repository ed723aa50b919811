// Request and response head parsing through the codec: framing and smuggling
// rules with their exact error kinds and automatic statuses, limits at their
// bounds, incomplete heads, each on every delimiter-scan path.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "proto/h1/codec.h"
#include "tests/cpp/h1/receive_testing.h"
#include "proto/h1/head_parser.h"
#include "proto/http/field_scan.h"

namespace velmora::h1 {
using test_support::got;
using test_support::Got;

namespace {

using http::scan_path;
using http::ScanPath;
using http::set_scan_path;

struct Req {
  Got st = Got::partial;
  ParseError err = ParseError::internal;
  RequestHead head;
  std::optional<uint16_t> status;
  size_t buffered = 0;
};

Req request(std::string_view bytes, CodecOptions o = {}) {
  Codec c(o);
  Req r;
  r.st = got(c.receive_request_head(bytes, r.head), r.err);
  r.status = c.parse_error_status();
  r.buffered = c.buffered();
  return r;
}

std::string values(const http::HeaderMap& h, std::string_view name) {
  std::string out;
  h.for_each_of(name, [&](std::string_view v) {
    if (!out.empty()) out += '|';
    out += v;
  });
  return out;
}

void expect_error(std::string_view bytes, ParseError e, std::optional<uint16_t> status, CodecOptions o = {}) {
  Req r = request(bytes, o);
  ASSERT_EQ(r.st, Got::error) << bytes;
  EXPECT_EQ(parse_error_name(r.err), parse_error_name(e)) << bytes;
  EXPECT_EQ(r.status, status) << bytes;
}

void expect_request_error(std::string_view head_lines, ParseError e, uint16_t status = 400) {
  expect_error(std::string("POST / HTTP/1.1\r\nHost: a\r\n") + std::string(head_lines) + "\r\n", e, status);
}

// Every test runs on each delimiter-scan path.
class HeadParse : public ::testing::TestWithParam<ScanPath> {
 protected:
  void SetUp() override {
    set_scan_path(GetParam());
    if (scan_path() != GetParam()) GTEST_SKIP() << "the CPU lacks this scan path";
  }
  void TearDown() override { set_scan_path(ScanPath::automatic); }
};

TEST_P(HeadParse, RequestBasicsAndLeadingEmptyLines) {
  Req r = request("\r\n\nGET /p?q=1 HTTP/1.1\r\nHost: a\r\nX-Multi: 1\r\nx-multi: 2\r\n\r\nrest");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.method, Method::get);
  EXPECT_EQ(r.head.target(), "/p?q=1");
  EXPECT_FALSE(r.head.http10);
  EXPECT_TRUE(r.head.keep_alive);
  EXPECT_EQ(r.head.body, BodyKind::empty);
  EXPECT_EQ(values(r.head.headers, "x-multi"), "1|2");
  EXPECT_EQ(r.buffered, 4u);

  r = request("get / HTTP/1.0\nHost:   spaced value \t\n\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.method, Method::extension);
  EXPECT_EQ(r.head.method_str(), "get");
  EXPECT_TRUE(r.head.http10);
  EXPECT_FALSE(r.head.keep_alive);
  EXPECT_EQ(values(r.head.headers, "host"), "spaced value");

  r = request("GET http://Example.COM HTTP/1.1\r\n\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.target(), "http://Example.COM/");
  r = request("CONNECT h:443 HTTP/1.1\r\n\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.target(), "h:443");
  EXPECT_TRUE(r.head.upgrade);
  r = request("OPTIONS * HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.head.target(), "*");
}

TEST_P(HeadParse, ContentLengthRules) {
  Req r = request("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.body, BodyKind::length);
  EXPECT_EQ(r.head.content_length, 5u);
  EXPECT_EQ(values(r.head.headers, "content-length"), "5");

  r = request("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(r.head.body, BodyKind::empty);
  r = request("POST / HTTP/1.1\r\nContent-Length: 18446744073709551613\r\n\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.content_length, kMaxDeclaredLength);

  expect_request_error("Content-Length: 5\r\nContent-Length: 6\r\n", ParseError::header_content_length_invalid);
  for (const char* bad : {"5, 5", "+5", "-5", "5 5", "0x5", "", "5;", "18446744073709551616", "99999999999999999999"})
    expect_request_error(std::string("Content-Length: ") + bad + "\r\n", ParseError::header_content_length_invalid);
  expect_request_error("Content-Length: 18446744073709551614\r\n", ParseError::too_large, 431);
  expect_request_error("Content-Length: 18446744073709551615\r\n", ParseError::too_large, 431);
}

TEST_P(HeadParse, TransferEncodingRules) {
  Req r = request("POST / HTTP/1.1\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.body, BodyKind::chunked);
  EXPECT_TRUE(r.head.keep_alive);

  expect_request_error("Transfer-Encoding: chunked, gzip\r\n", ParseError::header_transfer_encoding_invalid);
  expect_request_error("Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n",
                       ParseError::header_transfer_encoding_invalid);
  expect_error("POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n",
               ParseError::header_transfer_encoding_unexpected, 400);

  // Both framing headers, in both orders: chunked wins, no content-length is
  // kept, and the connection is not reused.
  for (const char* h : {"Content-Length: 10\r\nTransfer-Encoding: chunked\r\n",
                        "Transfer-Encoding: chunked\r\nContent-Length: 10\r\n",
                        "Transfer-Encoding: chunked\r\nContent-Length: bogus\r\n"}) {
    r = request(std::string("POST / HTTP/1.1\r\n") + h + "\r\n");
    ASSERT_EQ(r.st, Got::complete) << h;
    EXPECT_EQ(r.head.body, BodyKind::chunked) << h;
    EXPECT_FALSE(r.head.headers.contains("content-length")) << h;
    EXPECT_TRUE(r.head.headers.contains("transfer-encoding")) << h;
    EXPECT_FALSE(r.head.keep_alive) << h;
  }
  // A content-length that is invalid before the transfer coding still fails.
  expect_request_error("Content-Length: x\r\nTransfer-Encoding: chunked\r\n",
                       ParseError::header_content_length_invalid);
}

TEST_P(HeadParse, ConnectionExpectUpgradeTrailers) {
  Req r = request("GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_TRUE(r.head.keep_alive);
  r = request("GET / HTTP/1.1\r\nConnection: foo, CLOSE\r\n\r\n");
  EXPECT_FALSE(r.head.keep_alive);
  r = request("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_TRUE(r.head.keep_alive);

  r = request("GET / HTTP/1.1\r\nExpect: 100-Continue\r\n\r\n");
  EXPECT_TRUE(r.head.expect_continue);
  r = request("GET / HTTP/1.1\r\nExpect: 100-continue\r\nExpect: foo\r\n\r\n");
  EXPECT_FALSE(r.head.expect_continue);
  r = request("GET / HTTP/1.1\r\nExpect: 100-continuex\r\n\r\n");
  EXPECT_FALSE(r.head.expect_continue);

  r = request("GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n");
  EXPECT_TRUE(r.head.upgrade);
  r = request("CONNECT h:1 HTTP/1.0\r\nUpgrade: x\r\n\r\n");
  EXPECT_FALSE(r.head.upgrade);

  r = request("GET / HTTP/1.1\r\nTE: deflate, Trailers\r\n\r\n");
  EXPECT_TRUE(r.head.allow_trailers);
  r = request("GET / HTTP/1.1\r\nTE: deflate\r\n\r\n");
  EXPECT_FALSE(r.head.allow_trailers);
}

TEST_P(HeadParse, RuleNamesInAnyCaseAndPlace) {
  // The rules recognise their names from the map's hash of the lowered name:
  // in any case, on the first line or the last (where a short name has too
  // few bytes after it to be read 16 at a time), and never a name that only
  // shares a known one's length.
  for (const char* cl : {"Content-Length", "content-length", "CONTENT-LENGTH", "cONTENT-lENGTH"}) {
    Req r = request(std::string("POST / HTTP/1.1\r\n") + cl + ": 5\r\nHost: a\r\n\r\n");
    ASSERT_EQ(r.st, Got::complete) << cl;
    EXPECT_EQ(r.head.body, BodyKind::length);
    EXPECT_EQ(r.head.content_length, 5u);
    r = request(std::string("POST / HTTP/1.1\r\nHost: a\r\n") + cl + ":5\n\n");
    ASSERT_EQ(r.st, Got::complete) << cl;
    EXPECT_EQ(r.head.content_length, 5u);
    EXPECT_EQ(values(r.head.headers, "content-length"), "5");
  }
  Req r = request("POST / HTTP/1.1\r\nHost: a\r\nTRANSFER-encoding: chunked\r\n\r\n");
  EXPECT_EQ(r.head.body, BodyKind::chunked);
  r = request("GET / HTTP/1.1\r\nCONNECTION: CLOSE\r\n\r\n");
  EXPECT_FALSE(r.head.keep_alive);
  r = request("GET / HTTP/1.0\r\nconnection:KEEP-ALIVE\n\n");
  EXPECT_TRUE(r.head.keep_alive);
  r = request("GET / HTTP/1.1\r\nEXPECT: 100-continue\r\nUpGrAdE:h2c\n\n");
  EXPECT_TRUE(r.head.expect_continue);
  EXPECT_TRUE(r.head.upgrade);
  r = request("GET / HTTP/1.1\r\ntE:trailers\n\n");
  EXPECT_TRUE(r.head.allow_trailers);
  // Same lengths as the rule names, other names: plain fields.
  r = request(
      "POST / HTTP/1.1\r\nContent-Lengtx: 5\r\nConnectiom: close\r\nTransfer-Encodinh: chunked\r\n"
      "Expecu: 100-continue\r\nUpgradf: x\r\nTf: trailers\r\n\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.body, BodyKind::empty);
  EXPECT_TRUE(r.head.keep_alive);
  EXPECT_FALSE(r.head.expect_continue || r.head.upgrade || r.head.allow_trailers);
  EXPECT_EQ(r.head.headers.name_count(), 6u);
  // Connection values that are one word alone, in any case, and lists.
  for (auto [value, http11, keep] : std::vector<std::tuple<const char*, bool, bool>>{
           {"keep-alive", false, true}, {"KEEP-ALIVE", true, true}, {"keep-alivf", false, false},
           {"keep_alive", false, false}, {"Close", true, false}, {"close", false, false},
           {"closf", true, true}, {"keep-alive, close", true, false}, {"close , keep-alive", false, true}}) {
    r = request(std::string(http11 ? "GET / HTTP/1.1\r\n" : "GET / HTTP/1.0\r\n") + "Connection: " + value + "\r\n\r\n");
    EXPECT_EQ(r.head.keep_alive, keep) << value << " " << http11;
  }
}

TEST_P(HeadParse, MalformedLinesAndBytes) {
  expect_request_error("Host : a\r\n", ParseError::header_token);           // space before colon
  expect_request_error("X-A: 1\r\n continued\r\n", ParseError::header_token);  // obs-fold
  expect_request_error("X-A: a\rb\r\n", ParseError::header_token);            // bare CR in a value
  expect_request_error("X-A: a\r\r\n", ParseError::header_token);
  expect_request_error(std::string("X-A: a\0b\r\n", 10), ParseError::header_token);
  expect_request_error(std::string("X\0A: b\r\n", 8), ParseError::header_token);
  expect_request_error("X-A: a\x7f\r\n", ParseError::header_token);
  expect_request_error("X-A: a\x01\r\n", ParseError::header_token);
  expect_request_error(": novalue\r\n", ParseError::header_token);
  expect_request_error("NoColon\r\n", ParseError::header_token);
  expect_error("GET / HTTP/1.1\r\nHost: a\r\n\rX", ParseError::header_token, 400);

  expect_error("G(T / HTTP/1.1\r\n\r\n", ParseError::method, 400);
  expect_error(" / HTTP/1.1\r\n\r\n", ParseError::method, 400);
  expect_error("GET\r\n\r\n", ParseError::method, 400);
  expect_error("GET  / HTTP/1.1\r\n\r\n", ParseError::uri, 400);
  expect_error("GET /a\x01z HTTP/1.1\r\n\r\n", ParseError::uri, 400);
  expect_error("GET /\r\n\r\n", ParseError::uri, 400);
  expect_error("GET / HTTP/1.2\r\n\r\n", ParseError::version, 400);
  expect_error("GET / http/1.1\r\n\r\n", ParseError::version, 400);
  expect_error("GET / HTTP/1.1 \r\n\r\n", ParseError::version, 400);
  expect_error("GET / HTTP/1.1\rX\r\n", ParseError::header_token, 400);
  expect_error("\rGET / HTTP/1.1\r\n\r\n", ParseError::header_token, 400);

  // The target passes the tokenizer but not the URI grammar: the head is
  // already off the buffer.
  Req r = request("GET a/b HTTP/1.1\r\n\r\nxyz");
  ASSERT_EQ(r.st, Got::error);
  EXPECT_EQ(r.err, ParseError::uri);
  EXPECT_EQ(r.buffered, 3u);
  // A tokenizer error leaves every byte in place.
  r = request("GET / HTTP/1.1\r\nBad Name: x\r\n\r\n");
  EXPECT_EQ(r.buffered, 31u);
}

TEST_P(HeadParse, IgnoreInvalidHeaders) {
  CodecOptions o;
  o.ignore_invalid_headers = true;
  Req r = request("GET / HTTP/1.1\r\nBad Name: x\r\nX-A: 1\r\nX-B: a\x01\r\n continued\r\nX-C: 3\r\n\r\n", o);
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.headers.size(), 2u);
  EXPECT_EQ(values(r.head.headers, "x-a"), "1");
  EXPECT_EQ(values(r.head.headers, "x-c"), "3");
}

// Framing ambiguities a front-end could exploit: each must fail the head
// with a 400, never be framed differently from what the front-end saw.
TEST_P(HeadParse, AmbiguousFramingIsRefused) {
  // A fragment in a request target: "/admin#/../public" must not become "/admin".
  for (std::string_view head : {"GET /admin#/../public HTTP/1.1\r\nHost: a\r\n\r\n",
                                "GET /p?q#f HTTP/1.1\r\n\r\n", "GET http://h/a#b HTTP/1.1\r\n\r\n",
                                "GET # HTTP/1.1\r\n\r\n", "CONNECT h:443#f HTTP/1.1\r\n\r\n"})
    expect_error(head, ParseError::uri, 400);

  // CONNECT has no content: a length or a coding on it is refused (0.CL).
  expect_error("CONNECT a:443 HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", ParseError::header_content_length_invalid,
               400);
  expect_error("CONNECT a:443 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", ParseError::header_content_length_invalid, 400);
  expect_error("CONNECT a:443 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
               ParseError::header_transfer_encoding_unexpected, 400);

  // Under ignore_invalid_headers, lines a front-end may have read as framing
  // fields still fail the head.
  CodecOptions o;
  o.ignore_invalid_headers = true;
  for (std::string_view head : {
           "POST / HTTP/1.1\r\nContent-Length : 32\r\n\r\nGET /admin HTTP/1.1\r\nHost: a\r\n\r\n",
           "POST / HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding : chunked\r\n\r\n21\r\nGET /admin "
           "HTTP/1.1\r\nHost: a\r\n\r\n\r\n0\r\n\r\n",
           "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length : 0\r\n\r\nhello",
           "POST / HTTP/1.1\r\nX-Other\t: 1\r\n\r\n",            // whitespace before any colon
           "POST / HTTP/1.1\r\n Content-Length: 5\r\n\r\nhello",   // leading whitespace
           "POST / HTTP/1.1\r\nCONTENT-LENGTH: 5\x01\r\n\r\nhello",  // bad value
           "POST / HTTP/1.1\r\ntransfer-encoding: chunked\x7f\r\n\r\n",
       })
    expect_error(head, ParseError::header_token, 400, o);
  // Other malformed lines are still dropped, the framing lines kept.
  Req r = request("POST / HTTP/1.1\r\nBad Name: x\r\nX-B: a\x01\r\nContent-Length: 2\r\nNoColon\r\n\r\nok", o);
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.body, BodyKind::length);
  EXPECT_EQ(r.head.content_length, 2u);
  EXPECT_EQ(r.head.headers.size(), 1u);
}

std::string many_headers(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
  return s;
}

TEST_P(HeadParse, LimitsAtTheirBounds) {
  std::string ok_target = "/" + std::string(kMaxTargetLength - 1, 'a');
  Req r = request("GET " + ok_target + " HTTP/1.1\r\n\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.target().size(), kMaxTargetLength);
  std::string long_head = "GET " + ok_target + "a HTTP/1.1\r\n\r\n";
  r = request(long_head);
  ASSERT_EQ(r.st, Got::error);
  EXPECT_EQ(r.err, ParseError::uri_too_long);
  EXPECT_EQ(r.status, 414);
  EXPECT_EQ(r.buffered, long_head.size());

  r = request("GET / HTTP/1.1\r\n" + many_headers(100) + "\r\n");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.headers.size(), 100u);
  expect_error("GET / HTTP/1.1\r\n" + many_headers(101) + "\r\n", ParseError::too_large, 431);
  CodecOptions o;
  o.max_headers = 200;
  r = request("GET / HTTP/1.1\r\n" + many_headers(101) + "\r\n", o);
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.headers.size(), 101u);
  expect_error("GET / HTTP/1.1\r\n" + many_headers(201) + "\r\n", ParseError::too_large, 431, o);
  o.max_headers = 0;
  expect_error("GET / HTTP/1.1\r\nA: b\r\n\r\n", ParseError::too_large, 431, o);

  std::string name65535(kMaxNameLength, 'n'), name65536(kMaxNameLength + 1, 'n');
  r = request("GET / HTTP/1.1\r\n" + name65535 + ": v\r\n\r\n");
  EXPECT_EQ(r.st, Got::complete);
  expect_error("GET / HTTP/1.1\r\n" + name65536 + ": v\r\n\r\n", ParseError::too_large, 431);

  // An over-long name among others is caught whatever the route to the
  // complete head: fed after a partial one (the resumed scan only validates
  // the new lines), and past the stack slots. Nothing is consumed.
  for (size_t extra : {size_t(0), size_t(150)}) {
    CodecOptions big;
    big.max_headers = 300;
    big.max_buf_size = 1 << 20;
    Codec c(big);
    RequestHead h;
    ParseError e = ParseError::internal;
    std::string first = "GET / HTTP/1.1\r\nHost: a\r\n" + many_headers(extra);
    ASSERT_EQ(got(c.receive_request_head(first, h), e), Got::partial);
    std::string rest = "X: y\r\n" + name65536 + ": v\r\nZ: z\r\n\r\n";
    ASSERT_EQ(got(c.receive_request_head(rest, h), e), Got::error);
    EXPECT_EQ(e, ParseError::too_large);
    EXPECT_EQ(c.parse_error_status(), std::optional<uint16_t>(431));
    EXPECT_EQ(c.buffered(), first.size() + rest.size());
  }
}

// max_buf_size bounds a head, not a read: one over it is refused whether it
// arrives at once, with the body behind it, or in pieces; one at it passes
// every way. Both directions.
TEST_P(HeadParse, TheHeadLimitHoldsHoweverTheReadsSplitTheHead) {
  CodecOptions o;
  o.max_buf_size = 8192;
  auto head_of = [](std::string start, size_t len) {
    start += "X: ";
    return start + std::string(len - start.size() - 4, 'a') + "\r\n\r\n";
  };
  for (bool req : {true, false}) {
    SCOPED_TRACE(req ? "request" : "response");
    std::string start = req ? "GET / HTTP/1.1\r\nHost: a\r\n" : "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n";
    for (size_t len : {size_t(8192), size_t(8193), size_t(500000)}) {
      const std::string head = head_of(start, len);
      ASSERT_EQ(head.size(), len);
      for (std::vector<size_t> cuts : {std::vector<size_t>{}, {4096}, {8191}, {8192}, {1000, 2000, 7000}}) {
        for (std::string body : {std::string(), std::string("hello")}) {
          Codec c(o);
          RequestHead rh;
          ResponseHead sh;
          ParseError e = ParseError::internal;
          const std::string wire = head + body;
          Got st = Got::partial;
          size_t at = 0;
          cuts.push_back(wire.size());
          for (size_t cut : cuts) {
            if (st != Got::partial || cut <= at || cut > wire.size()) continue;
            std::string_view piece = std::string_view(wire).substr(at, cut - at);
            st = req ? got(c.receive_request_head(piece, rh), e) : got(c.receive_head(piece, sh), e);
            at = cut;
          }
          if (len <= o.max_buf_size) {
            EXPECT_EQ(st, Got::complete) << len << " " << cuts.size();
            EXPECT_EQ(c.buffered(), at - len);  // the body octets read with the head
          } else {
            ASSERT_EQ(st, Got::error) << len << " " << cuts.size();
            EXPECT_EQ(e, ParseError::too_large);
            if (req) {
              EXPECT_EQ(c.parse_error_status(), std::optional<uint16_t>(431));
            }
          }
        }
      }
    }
  }
  // A small head with a large body behind it in the same read is no head
  // over the limit.
  Codec c(o);
  RequestHead h;
  ParseError e;
  std::string wire = "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 20000\r\n\r\n" + std::string(20000, 'b');
  EXPECT_EQ(got(c.receive_request_head(wire, h), e), Got::complete);
  EXPECT_EQ(c.buffered(), 20000u);
}

TEST_P(HeadParse, IncompleteHeadsAndTheBufferCap) {
  CodecOptions o;
  o.max_buf_size = 8192;
  std::string start = "GET / HTTP/1.1\r\nX: ";
  std::string just_under = start + std::string(8191 - start.size(), 'a');
  Req r = request(just_under, o);
  EXPECT_EQ(r.st, Got::partial);
  EXPECT_EQ(r.buffered, 8191u);
  r = request(just_under + "a", o);
  ASSERT_EQ(r.st, Got::error);
  EXPECT_EQ(r.err, ParseError::too_large);
  EXPECT_EQ(r.status, 431);
  EXPECT_EQ(r.buffered, 8192u);

  // Byte by byte gives the same head as all at once; the resumed scan still
  // catches a bad byte that arrives late.
  std::string head = "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nX-Long: " + std::string(100, 'v') +
                     "\r\n\r\nabc";
  Codec c;
  RequestHead h;
  ParseError e;
  Got st = Got::partial;
  size_t i = 0;
  for (; i < head.size() && st == Got::partial; ++i) st = got(c.receive_request_head(head.substr(i, 1), h), e);
  ASSERT_EQ(st, Got::complete);
  EXPECT_EQ(i, head.size() - 3);
  EXPECT_EQ(h.content_length, 3u);
  EXPECT_EQ(values(h.headers, "x-long"), std::string(100, 'v'));

  Codec c2;
  EXPECT_EQ(got(c2.receive_request_head("GET / HTTP/1.1\r\nHost: a\r\nX-", h), e), Got::partial);
  EXPECT_EQ(got(c2.receive_request_head("A: 1\r\nX", h), e), Got::partial);
  EXPECT_EQ(got(c2.receive_request_head(std::string("\0: 2\r\n", 6), h), e), Got::error);
  EXPECT_EQ(e, ParseError::header_token);
}

// What the request tokenizer answers on one scan path: completeness, error,
// lengths, the slots it filled (none for a resumed call, which only
// validates) and where it would resume.
struct TokenAnswer {
  bool complete;
  std::optional<ParseError> error;
  size_t head_len, nheaders, longest;
  std::vector<size_t> slots;
  size_t resume_at, resume_lines;
  bool operator==(const TokenAnswer&) const = default;
};

std::pair<TokenAnswer, Checkpoint> tokenize_on(std::string_view buf, ScanPath path, size_t max, bool ignore,
                                               Checkpoint cp = {}) {
  set_scan_path(path);
  HeadSlot slots[8] = {};
  const bool resumed = cp.offset != 0;
  Result<Tokenized> r = tokenize_head(buf, TokenizeOptions{true, max, ignore}, slots, &cp);
  Tokenized t = r.value_or(Tokenized{});
  std::optional<ParseError> error;
  if (!r) error = r.error().parse_variant();
  TokenAnswer a{t.complete, error, t.head_len, t.nheaders, t.longest_name, {}, cp.offset, cp.lines};
  for (size_t k = 0; t.complete && !resumed && k < t.nheaders; ++k)
    a.slots.insert(a.slots.end(), {slots[k].name_off, slots[k].name_len, slots[k].value_off, slots[k].value_len});
  return {a, cp};
}

// Field lines that start and end at every offset of a 64-byte block, with a
// stray byte at every position of the field lines and the head cut short at
// many lengths: the tokenizer answers on this path exactly as on the
// portable one, which scans each field as it comes.
TEST_P(HeadParse, EveryBlockOffsetAgreesWithThePortablePath) {
  auto run = [](std::string_view buf, ScanPath path, bool ignore) { return tokenize_on(buf, path, 8, ignore).first; };
  const ScanPath path = GetParam();
  for (size_t shift = 0; shift < 64; ++shift) {
    const std::string start = "GET /" + std::string(shift, 'p') + " HTTP/1.1\r\n";
    const std::string lines = "Host: a\r\nX-" + std::string(70, 'n') + ":\t" + std::string(60, 'v') +
                              " \r\nA: b\nC:\r\n\r\nbody";
    for (size_t at = 0; at < lines.size(); at += 3) {
      for (char stray : {'\0', '\x01', '\x7f', ' ', '\t', '\x80', ':', '\n'}) {
        std::string head = start + lines;
        head[start.size() + at] = stray;
        for (size_t cut : {head.size(), head.size() - 6, start.size() + at + 1, start.size() + 63 - shift}) {
          std::string_view buf(head.data(), std::min(cut, head.size()));
          for (bool ignore : {false, true})
            ASSERT_EQ(run(buf, path, ignore), run(buf, ScanPath::portable, ignore))
                << "shift " << shift << " stray " << int(stray) << " at " << at << " cut " << cut;
        }
      }
    }
  }
}

// The start line is cut from the same block masks as the fields: a stray
// byte anywhere in the method, target or version, with the line crossing a
// block boundary at every offset and the buffer ending anywhere, gets the
// portable path's answer.
TEST_P(HeadParse, StartLineAgreesWithThePortablePathAtEveryOffset) {
  auto run = [](std::string_view buf, ScanPath path, bool request) {
    set_scan_path(path);
    HeadSlot slots[4];
    Result<Tokenized> r = tokenize_head(buf, TokenizeOptions{request, 4, false}, slots);
    Tokenized t = r.value_or(Tokenized{});
    std::optional<ParseError> error;
    if (!r) error = r.error().parse_variant();
    return std::tuple(t.complete, error, t.head_len, t.nheaders, t.method, t.target, t.http11, t.status_code);
  };
  const ScanPath path = GetParam();
  for (size_t len = 1; len < 140; len += 3) {
    const std::string req = "PATCH /" + std::string(len, 't') + " HTTP/1.1\r\nA: b\r\n\r\n";
    const std::string res = "HTTP/1.1 200 " + std::string(len, 'r') + "\r\nA: b\r\n\r\n";
    for (const std::string* head : {&req, &res}) {
      const bool request = head == &req;
      for (size_t at = 0; at < head->size(); at += 1 + at / 16) {
        for (char stray : {'\0', '\t', ' ', '\x7f', '\x80', '#', '\r', '\n', 'A', ':'}) {
          std::string h = *head;
          h[at] = stray;
          for (size_t cut : {h.size(), at + 1, h.size() / 2}) {
            std::string_view buf(h.data(), std::min(cut, h.size()));
            ASSERT_EQ(run(buf, path, request), run(buf, ScanPath::portable, request))
                << "len " << len << " stray " << int(stray) << " at " << at << " cut " << cut;
          }
        }
      }
    }
  }
}

// Header lines of every length from empty to past two blocks of 64 bytes,
// names up to past one block, with bare LFs, tabs and trailing whitespace,
// the head cut at every length and then resumed from its checkpoint, with a
// line limit that falls inside the head and one that does not: this path
// answers as the portable one, which scans each field as it comes.
TEST_P(HeadParse, LinesOfEveryLengthAgreeWithThePortablePath) {
  auto run = [](std::string_view buf, ScanPath path, size_t max, Checkpoint cp) {
    return tokenize_on(buf, path, max, false, cp);
  };
  const ScanPath path = GetParam();
  for (size_t shift = 0; shift < 64; ++shift) {
    for (size_t len = 0; len < 200; ++len) {
      // The first line moves every later one to another offset of its block.
      std::string head = "GET / HTTP/1.1\r\nP: " + std::string(shift, 'p') + "\r\n";
      for (size_t k = 0; k < 6; ++k) {
        const size_t name_len = k == 1 ? 3 : k == 2 ? 60 + len % 8 : 1 + (len * 7 + k) % 20;
        std::string value(len + k, 'v');
        if (k == 3 && !value.empty()) value = "\t " + value + " \t";
        head += std::string(name_len, 'n') + ":" + (k % 2 ? " " : "") + value + (k == 4 ? "\n" : "\r\n");
      }
      head += "\r\n";
      const size_t step = shift % 16 == 0 ? 7 : head.size();
      for (size_t cut = 1; cut <= head.size(); cut += cut < 24 || head.size() - cut < 24 ? 1 : step) {
        if (shift % 16 != 0 && cut != head.size()) continue;
        const std::string_view part(head.data(), cut);
        for (size_t max : {size_t(5), size_t(8)}) {
          auto [ours, cp] = run(part, path, max, Checkpoint{});
          auto [theirs, portable_cp] = run(part, ScanPath::portable, max, Checkpoint{});
          ASSERT_EQ(ours, theirs) << "shift " << shift << " len " << len << " cut " << cut << " max " << max;
          ASSERT_EQ(run(head, path, max, cp).first, run(head, ScanPath::portable, max, portable_cp).first)
              << "resumed: shift " << shift << " len " << len << " cut " << cut << " max " << max;
        }
      }
    }
  }
}

TEST_P(HeadParse, Http2Preface) {
  expect_error(kH2Preface, ParseError::version_h2, std::nullopt);
  // Even when the cap is what fails the head.
  CodecOptions o;
  o.max_buf_size = 8192;
  expect_error(std::string(kH2Preface) + std::string(9000, 'x'), ParseError::version_h2, std::nullopt, o);
  // A client may split its first write anywhere: a proper prefix waits for
  // the rest, which then gives the preface, at every split point; frames
  // behind it change nothing.
  for (size_t cut = 1; cut < kH2Preface.size(); ++cut) {
    for (std::string tail : {std::string(), std::string("\0\0\0\4\0\0\0\0\0", 9)}) {
      Codec c;
      RequestHead h;
      ParseError e = ParseError::internal;
      ASSERT_EQ(got(c.receive_request_head(kH2Preface.substr(0, cut), h), e), Got::partial) << cut;
      EXPECT_EQ(c.buffered(), cut);
      ASSERT_EQ(got(c.receive_request_head(std::string(kH2Preface.substr(cut)) + tail, h), e), Got::error) << cut;
      EXPECT_EQ(e, ParseError::version_h2) << cut;
      EXPECT_EQ(c.parse_error_status(), std::nullopt);
    }
  }
  // What leaves the preface is judged as a head at once.
  expect_error("PRI * HTTP/2.0\r\n\r\nSX", ParseError::version, 400);
}

// The usual target is read from the head bytes the header map keeps: it must
// follow the head through copies and moves, and a head parsed again (with or
// without fields, or failing) must never read offsets into another map.
TEST(RequestTarget, FollowsTheHeadThroughCopiesAndReuse) {
  Codec c;
  RequestHead h;
  ParseError e;
  ASSERT_EQ(got(c.receive_request_head("GET /first?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", h), e), Got::complete);
  RequestHead copy = h;
  RequestHead moved = std::move(h);
  h = RequestHead{};
  EXPECT_EQ(copy.target(), "/first?x=1");
  EXPECT_EQ(moved.target(), "/first?x=1");
  c.reset();
  ASSERT_EQ(got(c.receive_request_head("GET /bare HTTP/1.1\r\n\r\n", moved), e), Got::complete);
  EXPECT_EQ(moved.target(), "/bare");
  c.reset();
  ASSERT_EQ(got(c.receive_request_head("GET /again HTTP/1.1\r\nHost: a\r\n\r\n", moved), e), Got::complete);
  EXPECT_EQ(moved.target(), "/again");
  c.reset();
  ASSERT_EQ(got(c.receive_request_head("GET /a/much/longer/target/than/before HTTP/1.1\r\nContent-Length: x\r\n\r\n",
                                       moved),
                e),
            Got::error);
  EXPECT_EQ(moved.target(), "/again");
}

TEST_P(HeadParse, PipelinedRequestsAcrossReset) {
  Codec c;
  RequestHead h;
  ParseError e;
  ASSERT_EQ(got(c.receive_request_head("GET / HTTP/1.1\r\nHost: a\r\n\r\nGET /2 HTTP/1.1\r\n", h), e),
            Got::complete);
  EXPECT_EQ(c.buffered(), 17u);
  c.reset();
  ASSERT_EQ(got(c.receive_request_head("Host: a\r\n\r\n", h), e), Got::complete);
  EXPECT_EQ(h.target(), "/2");
  EXPECT_EQ(c.buffered(), 0u);
  // A failed head keeps its status until the next failure or reset.
  EXPECT_EQ(got(c.receive_request_head("BAD\x01 / HTTP/1.1\r\n\r\n", h), e), Got::error);
  EXPECT_EQ(c.parse_error_status(), 400);
  c.reset();
  EXPECT_EQ(c.parse_error_status(), std::nullopt);
}

// ---- responses ----

struct Res {
  Got st = Got::partial;
  ParseError err = ParseError::internal;
  ResponseHead head;
  size_t buffered = 0;
};

Res response(std::string_view bytes, std::optional<Method> method = std::nullopt) {
  Codec c;
  if (method) {
    Result<RequestEncoding> req = prepare_request(method_name(*method), "/", {}, false, {}, false);
    EXPECT_TRUE(req.has_value());
    if (req) c.commit_request(*req);
  }
  Res r;
  r.st = got(c.receive_head(bytes, r.head), r.err);
  r.buffered = c.buffered();
  return r;
}

void expect_response_error(std::string_view bytes, ParseError e) {
  Res r = response(bytes);
  ASSERT_EQ(r.st, Got::error) << bytes;
  EXPECT_EQ(parse_error_name(r.err), parse_error_name(e)) << bytes;
}

TEST_P(HeadParse, ResponseFraming) {
  Res r = response("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
  ASSERT_EQ(r.st, Got::complete);
  EXPECT_EQ(r.head.status, 200);
  EXPECT_EQ(r.head.body, BodyKind::length);
  EXPECT_EQ(r.buffered, 2u);
  EXPECT_TRUE(r.head.wants_keep_alive);

  r = response("HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n");
  EXPECT_EQ(r.st, Got::partial);
  EXPECT_EQ(r.buffered, 0u);

  r = response("HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\nContent-Length: 5\r\n\r\n");
  EXPECT_EQ(r.head.content_length, 5u);
  expect_response_error("HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n\r\n", ParseError::header_content_length_invalid);
  expect_response_error("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
                        ParseError::header_content_length_invalid);
  expect_response_error("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551614\r\n\r\n", ParseError::too_large);

  r = response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n");
  EXPECT_EQ(r.head.body, BodyKind::close);
  EXPECT_FALSE(r.head.wants_keep_alive);
  r = response("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n");
  EXPECT_EQ(r.head.body, BodyKind::chunked);
  expect_response_error("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                        ParseError::header_transfer_encoding_unexpected);
  r = response("HTTP/1.0 200 OK\r\n\r\n");
  EXPECT_EQ(r.head.body, BodyKind::close);
  EXPECT_TRUE(r.head.http10);
  EXPECT_FALSE(r.head.keep_alive);

  r = response("HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n");
  EXPECT_EQ(r.head.body, BodyKind::empty);
  r = response("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", Method::head);
  EXPECT_EQ(r.head.body, BodyKind::empty);
  EXPECT_EQ(r.head.content_length, 0u);
  r = response("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", Method::connect);
  EXPECT_EQ(r.head.body, BodyKind::empty);
  EXPECT_TRUE(r.head.upgrade);
  EXPECT_FALSE(r.head.keep_alive);
  r = response("HTTP/1.1 101 Switching Protocols\r\nUpgrade: ws\r\n\r\nframes");
  EXPECT_TRUE(r.head.upgrade);
  EXPECT_EQ(r.buffered, 6u);
}

TEST_P(HeadParse, ResponseStatusLineAndLimits) {
  Res r = response("HTTP/1.1 200\r\n\r\n");
  EXPECT_EQ(r.st, Got::complete);
  r = response("HTTP/1.1 599 \r\n\r\n");
  EXPECT_EQ(r.head.status, 599);
  r = response("HTTP/1.1 404 Not \xff Found\t\r\n\r\n");
  EXPECT_EQ(r.head.status, 404);
  for (const char* bad : {"HTTP/1.1 20 OK\r\n\r\n", "HTTP/1.1 2000 OK\r\n\r\n", "HTTP/1.1 099 X\r\n\r\n",
                          "HTTP/1.1 2x0 OK\r\n\r\n", "HTTP/1.1  200 OK\r\n\r\n", "HTTP/1.1 200 O\x01K\r\n\r\n"})
    expect_response_error(bad, ParseError::status);
  expect_response_error("HTTP/2 200 OK\r\n\r\n", ParseError::version);
  expect_response_error("HTTP/1.1 200 OK\r\n" + many_headers(101) + "\r\n", ParseError::too_large);
  r = response("HTTP/1.1 200 OK\r\n" + many_headers(100) + "\r\n");
  EXPECT_EQ(r.st, Got::complete);
  expect_response_error("HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n", ParseError::header_token);
}

TEST_P(HeadParse, ResponseAfterConnectionCloseRequest) {
  Codec c;
  http::HeaderMap h;
  ASSERT_TRUE(h.append("connection", "close"));
  Result<RequestEncoding> req = prepare_request("GET", "/", h, false, {}, false);
  ASSERT_TRUE(req.has_value());
  c.commit_request(*req);
  ResponseHead r;
  ParseError e;
  ASSERT_EQ(got(c.receive_head("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", r), e), Got::complete);
  EXPECT_TRUE(r.keep_alive);
  EXPECT_FALSE(r.wants_keep_alive);
}

INSTANTIATE_TEST_SUITE_P(Paths, HeadParse, ::testing::Values(ScanPath::portable, ScanPath::sse42, ScanPath::avx2),
                         [](const auto& info) {
                           switch (info.param) {
                             case ScanPath::portable: return std::string("portable");
                             case ScanPath::sse42: return std::string("sse42");
                             case ScanPath::avx2: return std::string("avx2");
                             default: return std::string("automatic");
                           }
                         });

TEST(HeadErrors, TextsAndStatuses) {
  EXPECT_EQ(message(Error::parse(ParseError::version_h2)), "invalid HTTP version parsed (found HTTP2 preface)");
  EXPECT_EQ(parse_error_status(ParseError::uri_too_long), 414);
  EXPECT_EQ(parse_error_status(ParseError::status), 0);
  EXPECT_EQ(message(Error::body(IoKind::unexpected_eof, "end of file before message length reached")),
            "error reading a body from connection: end of file before message length reached");
  EXPECT_EQ(io_kind_name(IoKind::none), "other");
  EXPECT_EQ(local_fault_name(LocalFault::unsupported_status_code), "unsupported_status_code");
}

}  // namespace
}  // namespace velmora::h1
