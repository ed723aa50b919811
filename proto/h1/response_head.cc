// The response rules (client role): informational heads, the body decision
// and keep-alive of a response head, after tokenizing.
#include "proto/h1/head_parser.h"
#include "proto/h1/head_rules.h"
#include "proto/http/content_length.h"
#include "proto/http/fields.h"

namespace velmora::h1 {

using namespace detail;

Result<HeadRead> parse_response_head(std::string_view buf, const Method* request_method, ResponseHead& out,
                                     Checkpoint* resume) {
  TokenizeOptions topts{false, kDefaultMaxHeaders, false};
  HeadSlot slots[kDefaultMaxHeaders];
  Result<Tokenized> tokenized = tokenize_resuming(buf, topts, slots, resume);
  if (!tokenized) return std::unexpected(std::move(tokenized.error()));
  const Tokenized& t = *tokenized;
  if (!t.complete) return HeadRead{};
  auto fail = [&](ParseError e) { return std::unexpected(Error::parse(e, uint32_t(t.head_len))); };
  const uint16_t status = t.status_code;
  if (status == 100 || (status >= 102 && status < 200)) return HeadRead{HeadProgress::informational, t.head_len};
  const char* b = buf.data();
  const bool http11 = t.http11;
  bool keep_alive = http11;
  bool has_te = false, te_chunked = false;
  http::HeaderMap::Builder map(std::string_view(b, t.head_len), t.nheaders);
  for (size_t k = 0; k < t.nheaders; ++k) {
    const HeadSlot& sl = slots[k];
    std::string_view name = map.lower_name(name_of(b, sl));
    std::string_view value = value_of(b, sl);
    switch (known_name(name)) {
      case Known::connection: apply_connection(value, keep_alive); break;
      case Known::transfer_encoding:
        has_te = true;
        te_chunked = http::iequals(http::list_last(value), "chunked");
        break;
      default: break;
    }
    if (!map.add_from_block(name, value)) return fail(ParseError::too_large);
  }
  out.headers = std::move(map).finish();

  BodyKind body = BodyKind::close;
  uint64_t length = 0;
  bool upgrade = false;
  const bool to_head = request_method && *request_method == Method::head;
  const bool to_connect = request_method && *request_method == Method::connect;
  if (status == 101) {
    body = BodyKind::empty;
    upgrade = true;
  } else if (status == 204 || status == 304 || to_head) {
    body = BodyKind::empty;
  } else if (to_connect && status >= 200 && status < 300) {
    body = BodyKind::empty;
    upgrade = true;
  } else if (has_te) {
    if (!http11) return fail(ParseError::header_transfer_encoding_unexpected);
    body = te_chunked ? BodyKind::chunked : BodyKind::close;
  } else {
    http::ContentLengthLines cl;
    for (size_t k = 0; k < t.nheaders; ++k)
      if (slots[k].name_len == 14 && http::iequals(name_of(b, slots[k]), "content-length")) cl.add(value_of(b, slots[k]));
    if (cl.present()) {
      if (!cl.valid()) return fail(ParseError::header_content_length_invalid);
      uint64_t x = cl.value();
      if (x > kMaxDeclaredLength) return fail(ParseError::too_large);
      body = x ? BodyKind::length : BodyKind::empty;
      length = x;
    }
  }
  out.status = status;
  out.http10 = !http11;
  out.body = body;
  out.content_length = length;
  out.upgrade = upgrade;
  out.keep_alive = keep_alive && !upgrade;
  out.wants_keep_alive = false;
  return HeadRead{HeadProgress::complete, t.head_len};
}

}  // namespace velmora::h1
