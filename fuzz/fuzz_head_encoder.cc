// Random heads through the head encoder, read back by our own parser: what
// serialize_request and serialize_response write must parse as exactly the
// head they were asked for (method, target, version, status, every field the
// caller gave, the body framing and the keep-alive decision the encoder
// recorded), or be refused with the error that names why. A head our parser
// reads differently from what the encoder meant is a desync waiting for a
// peer that parses the way we do.
//
// Input: one byte picks requests or responses and the flags; then the method
// or status, the URL, and up to 12 header lines, each drawn from a table of
// the names and values that steer framing, or taken raw from the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/input.h"
#include "proto/h1/codec.h"
#include "proto/h1/head_encoder.h"
#include "proto/h1/head_parser.h"
#include "proto/http/content_length.h"
#include "proto/http/fields.h"
#include "proto/http/uri.h"
#include "proto/http/utf8.h"

using namespace velmora;
using velmora::fuzz::Input;
using namespace velmora::h1;

namespace {

constexpr std::string_view kMethods[] = {"GET", "HEAD", "POST", "PUT", "CONNECT", "OPTIONS", "DELETE", "get", "M-SEARCH", "G\xc3\xa9T", ""};
constexpr std::string_view kUrls[] = {"/",          "/a?b=c",         "http://h/x",   "http://h",  "h:80",
                                      "*",          "https://u@h:1/p?q", "/a#f",     "",          "http://[::1]:8/",
                                      "//h/p",      "/%7e/\xc3\xa9",  "http://h?x",   "x:y",       "/a b"};
constexpr std::string_view kNames[] = {"content-length", "transfer-encoding", "connection", "trailer", "date",
                                       "host",           "te",                "upgrade",    "expect",  "x-a",
                                       "set-cookie",     "keep-alive",        "proxy-connection"};
constexpr std::string_view kValues[] = {"chunked", "gzip", "close", "keep-alive", "5", "0", "05", "5, 5", "5, 6",
                                        "abc", "", " x ", "gzip, chunked", "chunked, gzip", "upgrade",
                                        "close, upgrade", "keep-alive, close", "trailers", "x-t", "18446744073709551616",
                                        "\tv\t", "v\xff", "100-continue", "Close", "CHUNKED"};

http::HeaderMap make_headers(Input& in) {
  http::HeaderMap h;
  size_t lines = in.u8() % 13;
  for (size_t i = 0; i < lines; ++i) {
    uint8_t k = in.u8();
    std::string name(k & 0x80 ? in.raw(12) : kNames[k % std::size(kNames)]);
    for (char& c : name) c = http::to_lower(c);
    uint8_t v = in.u8();
    std::string_view value = v & 0x80 ? in.raw(24) : kValues[v % std::size(kValues)];
    // What a HeaderMap would refuse never reaches the encoder.
    if (!http::is_token(name) || !http::is_valid_value(value)) continue;
    CHECK(h.append(name, value));
  }
  return h;
}

// VELMORA_FUZZ_SHOW=1 prints every head written, for reading a failing input.
void show(std::string_view wire) {
  static const bool on = std::getenv("VELMORA_FUZZ_SHOW");
  if (on) std::fprintf(stderr, "---\n%.*s", int(wire.size()), wire.data());
}

// A field value as the parser reports it: leading and trailing white space
// is not part of a field value (RFC 9110, section 5.5).
std::string_view value_of(std::string_view v) { return http::trim_ows(v); }

// The (name, value) lines of `h` other than `skip` names, values trimmed.
using Lines = std::vector<std::pair<std::string, std::string>>;
template <class Skip>
Lines lines_of(const http::HeaderMap& h, Skip skip) {
  Lines out;
  h.for_each([&](std::string_view n, std::string_view v) {
    if (!skip(n)) out.emplace_back(n, value_of(v));
  });
  return out;
}

bool framing_name(std::string_view n) {
  return n == "content-length" || n == "transfer-encoding" || n == "connection" || n == "trailer" || n == "date";
}

// The body a parsed head announces, as the encoder's framing spells it.
void check_framing(const BodyEncoder& enc, BodyKind body, uint64_t length) {
  switch (enc.framing) {
    case Framing::chunked: CHECK(body == BodyKind::chunked); break;
    case Framing::close: CHECK(body == BodyKind::close); break;
    case Framing::length:
      if (enc.remaining == 0)
        CHECK(body == BodyKind::empty);
      else
        CHECK(body == BodyKind::length && length == enc.remaining);
      break;
  }
}

// A body length argument: small, or one of the four largest counts, around
// the largest length a reader takes.
BodyLength length_arg(Input& in) {
  uint8_t l = in.u8();
  uint64_t n = l & 4 ? uint64_t(in.u8()) : uint64_t(l >> 3);
  if (!(l & 4) && n >= 28) n = UINT64_MAX - (31 - n);
  return BodyLength::from_args(l & 1, l & 2, n);
}

bool too_long(const BodyLength& l) { return l.kind == BodyLength::known && l.n > kMaxDeclaredLength; }

void request(Input& in, uint8_t flags) {
  uint8_t m = in.u8();
  std::string_view method = m & 0x80 ? in.raw(10) : kMethods[m % std::size(kMethods)];
  uint8_t u = in.u8();
  std::string_view url = u & 0x80 ? in.raw(40) : kUrls[u % std::size(kUrls)];
  // The binding hands over `str` arguments as UTF-8.
  if (!http::is_valid_utf8(method) || !http::is_valid_utf8(url)) return;
  http::HeaderMap headers = make_headers(in);
  const bool http10 = flags & 2, title = flags & 4;
  BodyLength length = length_arg(in);

  Result<RequestEncoding> r = prepare_request(method, url, headers, http10, length, title);
  if (!r) {
    // Refused: exactly for what the error names.
    if (r.error().kind == ErrorKind::local) {
      http::ContentLengthLines cl = http::content_length_lines(headers);
      bool te_unreadable = false;
      headers.for_each_of("transfer-encoding", [&](std::string_view v) { te_unreadable |= !http::is_visible_ascii(v); });
      CHECK(LocalFault(r.error().variant) == LocalFault::unexpected_header &&
            ((cl.present() && !(cl.valid() && cl.value() <= kMaxDeclaredLength)) || te_unreadable));
      return;
    }
    CHECK(r.error().kind == ErrorKind::argument);
    switch (BadArgument(r.error().variant)) {
      case BadArgument::method: CHECK(!http::is_token(method)); break;
      case BadArgument::url: CHECK(http::is_token(method) && !http::parse_uri(url)); break;
      case BadArgument::content_length: CHECK(http::is_token(method) && http::parse_uri(url) && too_long(length)); break;
      default: CHECK(false);  // a dozen lines never fill a map
    }
    return;
  }
  CHECK(http::is_token(method) && http::parse_uri(url));
  const RequestEncoding& req = *r;
  std::string wire = encode_request(req);
  CHECK(wire.size() == req.size);
  show(wire);

  RequestHead head;
  Result<HeadRead> p = parse_request_head(wire, RequestOptions{}, head);
  CHECK(p && p->progress == HeadProgress::complete && p->consumed == wire.size());
  CHECK(head.method_str() == method);
  std::string target;
  req.uri.write_target(target);
  CHECK(head.target() == target);
  CHECK(head.http10 == http10);
  // Every line written is read back, in order; an equal Content-Length
  // repeat is folded into the first by the parser.
  bool cl_seen = false;
  Lines want = lines_of(req.headers, [&](std::string_view n) {
    if (n != "content-length") return false;
    return std::exchange(cl_seen, true);
  });
  CHECK(lines_of(head.headers, [](std::string_view) { return false; }) == want);
  check_framing(req.encoder, head.body, head.content_length);
  // The parser keeps the connection exactly when the client will.
  CHECK(head.keep_alive == !req.connection_close);
  // The codec records what the encoder decided.
  Codec c;
  RequestEncoding copy = req;
  c.commit_request(copy);
  CHECK(c.request_connection_close() == req.connection_close && c.recorded_method() == req.method);
}

constexpr uint16_t kStatuses[] = {200, 101, 204, 304, 100, 103, 299, 404, 999, 1000, 99, 0, 201, 500, 302};
constexpr std::string_view kRequestHeads[] = {"GET / HTTP/1.1\r\n\r\n", "HEAD / HTTP/1.1\r\n\r\n",
                                              "CONNECT h:1 HTTP/1.1\r\n\r\n", "POST / HTTP/1.0\r\n\r\n"};

void response(Input& in, uint8_t flags) {
  CodecOptions o;
  o.title_case_headers = flags & 8;
  o.date_header = flags & 16;
  Codec c(o);
  uint8_t which = in.u8() % (std::size(kRequestHeads) + 1);
  if (which < std::size(kRequestHeads)) {
    RequestHead rh;
    CHECK(c.receive_request_head(kRequestHeads[which], rh).has_value());
  }
  const std::optional<Method> method = c.recorded_method();
  uint8_t s = in.u8();
  uint16_t status = s & 0x80 ? uint16_t(in.u8() << 8 | in.u8()) : kStatuses[s % std::size(kStatuses)];
  http::HeaderMap headers = make_headers(in);
  const bool keep_alive = flags & 2, http10 = flags & 4;
  BodyLength length = length_arg(in);
  const bool user_framing = headers.contains("content-length") || headers.contains("transfer-encoding") ||
                            headers.contains("connection");

  Result<EncodedResponse> r = c.encode_response(status, headers, keep_alive, http10, length);
  if (!r) {
    const Error& e = r.error();
    if (e.kind == ErrorKind::argument) {
      if (BadArgument(e.variant) == BadArgument::status)
        CHECK(status < 100 || status > 999);
      else
        CHECK(BadArgument(e.variant) == BadArgument::content_length && too_long(length));
    } else {
      CHECK(e.kind == ErrorKind::local);
      if (LocalFault(e.variant) == LocalFault::unsupported_status_code)
        CHECK(status >= 100 && status < 200 && status != 101);
      else
        CHECK(LocalFault(e.variant) == LocalFault::unexpected_header && user_framing);  // (conflicting or unreadable)
    }
    return;
  }
  CHECK(status >= 100 && status <= 999 && (status >= 200 || status == 101));
  const ResponseEncoding& res = r->res;
  const ResponsePlan& plan = r->plan;
  CHECK(c.response_is_last() == plan.is_last && c.response_close_delimited() == plan.close_delimited);
  std::string wire = encode_response(res, plan);
  CHECK(wire.size() == plan.size);
  show(wire);

  ResponseHead head;
  Result<HeadRead> p = parse_response_head(wire, method ? &*method : nullptr, head);
  CHECK(p && p->progress == HeadProgress::complete && p->consumed == wire.size());
  CHECK(head.status == status && head.http10 == http10);
  // The caller's own fields arrive unchanged and in order.
  CHECK(lines_of(head.headers, framing_name) == lines_of(headers, framing_name));
  // The framing the encoder will write is the framing the peer will read.
  check_framing(plan.encoder, head.body, head.content_length);
  CHECK(plan.close_delimited == (plan.encoder.framing == Framing::close));
  const bool upgrade = status == 101 || (method == Method::connect && status / 100 == 2);
  if (upgrade) {
    CHECK(plan.is_last && head.upgrade);
  } else {
    // The peer keeps the connection exactly when the server will.
    CHECK((head.keep_alive && head.body != BodyKind::close) == (!plan.is_last && !plan.close_delimited));
  }
  // One Date line: the caller's, or the encoder's own.
  CHECK(head.headers.count("date") == (headers.contains("date") ? headers.count("date") : res.date_header));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  uint8_t flags = in.u8();
  if (flags & 1)
    response(in, flags);
  else
    request(in, flags);
  return 0;
}
