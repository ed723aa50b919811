// The response rules (client role): informational heads, the body decision
// and keep-alive of a response head, after tokenizing.
#include "proto/h1/head_parser.h"
#include "proto/h1/head_rules.h"
#include "proto/http/content_length.h"
#include "proto/http/fields.h"

namespace velmora::h1 {

using namespace detail;

namespace {

[[gnu::cold, gnu::noinline]] Result<HeadRead> refuse(ParseError e, size_t consumed) {
  return std::unexpected(Error::parse(e, uint32_t(consumed)));
}

}  // namespace

Result<HeadRead> parse_response_head(std::string_view buf, const Method* request_method, ResponseHead& out,
                                     Checkpoint* resume) {
  const TokenizeOptions topts{false, kDefaultMaxHeaders, false};
  HeadSlot slots[kDefaultMaxHeaders];
  Result<Tokenized> tokenized = tokenize_resuming(buf, topts, slots, resume);
  if (!tokenized) [[unlikely]]
    return std::unexpected(std::move(tokenized.error()));
  const Tokenized& t = *tokenized;
  if (!t.complete) return HeadRead{};
  const size_t head = t.head_len;
  const uint16_t status = t.status_code;
  if (status == 100 || (status >= 102 && status < 200)) return HeadRead{HeadProgress::informational, head};
  const char* b = buf.data();
  const bool http11 = t.http11;
  bool keep_alive = http11;
  bool has_te = false, te_chunked = false;
  // Every Content-Length line, in order, for the length rule below.
  http::ContentLengthLines cl;
  http::HeaderMap::Builder map(std::string_view(b, head), t.nheaders);
  http::HeaderMap::Builder::Fields fields(map);
  for (const HeadSlot* sl = slots, *end = slots + t.nheaders; sl != end; ++sl) {
    const uint32_t h = fields.lower(sl->name_off, sl->name_len);
    const Known known = known_name(fields.name(sl->name_off, sl->name_len), h);
    if (known != Known::other) [[unlikely]] {
      const std::string_view value = value_of(b, *sl);
      switch (known) {
        case Known::connection: apply_connection(value, keep_alive); break;
        case Known::transfer_encoding:
          has_te = true;
          te_chunked = http::iequals(http::list_last(value), "chunked");
          break;
        case Known::content_length: cl.add(value); break;
        default: break;
      }
    }
    if (!fields.add(sl->name_off, sl->name_len, h, sl->value_off, sl->value_len))
      return refuse(ParseError::too_large, head);
  }
  fields.close();
  out.headers = std::move(map).finish();

  BodyKind body = BodyKind::close;
  uint64_t length = 0;
  bool upgrade = false;
  const bool to_head = request_method && *request_method == Method::head;
  const bool to_connect = request_method && *request_method == Method::connect;
  // Any 2xx to CONNECT opens the tunnel (RFC 9110, section 9.3.6), a 204
  // included: the server's encoder hands the connection off after it.
  if (status == 101 || (to_connect && status >= 200 && status < 300)) {
    body = BodyKind::empty;
    upgrade = true;
  } else if (status == 204 || status == 304 || to_head) {
    body = BodyKind::empty;
  } else if (has_te) {
    if (!http11) return refuse(ParseError::header_transfer_encoding_unexpected, head);
    body = te_chunked ? BodyKind::chunked : BodyKind::close;
  } else if (cl.present()) {
    if (!cl.valid()) return refuse(ParseError::header_content_length_invalid, head);
    uint64_t x = cl.value();
    if (x > kMaxDeclaredLength) return refuse(ParseError::too_large, head);
    body = x ? BodyKind::length : BodyKind::empty;
    length = x;
  }
  out.status = status;
  out.http10 = !http11;
  out.body = body;
  out.content_length = length;
  out.upgrade = upgrade;
  out.keep_alive = keep_alive && !upgrade;
  out.wants_keep_alive = false;
  return HeadRead{HeadProgress::complete, head};
}

}  // namespace velmora::h1
