// The request rules (server role): framing, keep-alive, upgrade and the
// expectations of a request head, after tokenizing.
#include <algorithm>
#include <memory>

#include "proto/h1/head_parser.h"
#include "proto/h1/head_rules.h"
#include "proto/http/content_length.h"
#include "proto/http/fields.h"
#include "proto/http/uri.h"
#include "proto/http/utf8.h"

namespace velmora::h1 {

using namespace detail;

namespace {

// Slot storage: on the stack up to kStackSlots, else on the heap for one parse.
class Slots {
 public:
  // Room for n slots (may throw std::bad_alloc above kStackSlots).
  HeadSlot* reserve(size_t n) {
    if (n > kStackSlots) heap_.reset(new HeadSlot[n]);
    return data();
  }
  HeadSlot* data() noexcept { return heap_ ? heap_.get() : stack_; }

 private:
  HeadSlot stack_[kStackSlots];
  std::unique_ptr<HeadSlot[]> heap_;
};

}  // namespace

Result<HeadRead> parse_request_head(std::string_view buf, const RequestOptions& opts, RequestHead& out,
                                    Checkpoint* resume) {
  TokenizeOptions topts{true, opts.max_headers, opts.ignore_invalid_headers};
  // Every header line takes at least three bytes ("a:\n"), so the bytes at
  // hand bound the lines a parse can fill, however large the limit. When
  // that bound exceeds the stack slots, the head's end is found first without
  // storing lines, and the slots are sized by the lines it really has: a
  // large limit over a large incomplete head reserves nothing.
  const size_t bound = std::min(opts.max_headers, buf.size() / 3 + 1);
  Slots slot_store;
  Result<Tokenized> tokenized;
  if (bound > kStackSlots) {
    tokenized = tokenize_head(buf, topts, nullptr, resume);
    if (tokenized && tokenized->complete)
      tokenized = tokenize_head(buf, topts, slot_store.reserve(tokenized->nheaders), nullptr);
  } else {
    tokenized = tokenize_resuming(buf, topts, slot_store.reserve(bound), resume);
  }
  if (!tokenized) return std::unexpected(std::move(tokenized.error()));
  const Tokenized& t = *tokenized;
  if (!t.complete) return HeadRead{};
  HeadSlot* slots = slot_store.data();
  auto fail = [](ParseError e, size_t consumed) { return std::unexpected(Error::parse(e, uint32_t(consumed))); };
  const char* b = buf.data();
  // Checks made before the head leaves the buffer.
  if (t.target.size() > kMaxTargetLength) return fail(ParseError::uri_too_long, 0);
  out.method = classify_method(t.method);
  if (out.method == Method::extension)
    out.method_text.assign(t.method);
  else
    out.method_text.clear();
  if (t.longest_name > kMaxNameLength) return fail(ParseError::too_large, 0);

  // From here on the head is taken off the buffer.
  const size_t head = t.head_len;
  // A fragment never belongs to a request target. Cutting it off would let
  // two different raw targets ("/admin#/../public" and "/admin") reach the
  // application as the same one, so a target holding '#' is refused (any
  // other form holding one fails to parse).
  http::Result<http::Uri> parsed_uri = http::parse_uri(t.target, http::TargetScanned{});
  if (!parsed_uri || parsed_uri->has_fragment) return fail(ParseError::uri, head);
  const http::Uri& uri = *parsed_uri;
  // An origin-form target is kept as it stands in the head, which the header
  // map copies anyway; it is recorded in `out` only with that map, so a
  // failed parse never leaves offsets into the previous head's map.
  const bool target_in_head = uri.form == http::UriForm::origin && t.nheaders != 0;
  std::string_view target;
  if (uri.form == http::UriForm::origin) {
    target = t.target.substr(0, uri.target_size());
    if (!target_in_head) out.target_text.assign(target);
  } else {
    out.target_text.clear();
    out.target_text.reserve(uri.target_size());
    uri.write_target(out.target_text);
    target = out.target_text;
  }
  // High bytes pass the tokenizer and the URI grammar; the target is text, so
  // they must at least form UTF-8.
  if (!http::is_valid_utf8(target)) return fail(ParseError::uri, head);

  const bool http11 = t.http11;
  out.http10 = !http11;
  bool keep_alive = http11;
  bool upgrade = out.method == Method::connect;
  bool expect = false;
  bool allow_trailers = false;
  bool has_te = false, te_chunked = false, cl_seen = false, cl_stored = false;
  uint64_t length = 0;

  http::HeaderMap::Builder map(std::string_view(b, head), t.nheaders);
  for (size_t k = 0; k < t.nheaders; ++k) {
    const HeadSlot& sl = slots[k];
    std::string_view name = map.lower_name(name_of(b, sl));
    std::string_view value = value_of(b, sl);
    Known known = known_name(name);
    // A CONNECT request has no content (RFC 9110, section 9.3.6): a length
    // or a coding on it is a framing ambiguity with any peer that ends the
    // message at the head, so it is refused rather than read as a body.
    if (out.method == Method::connect) {
      if (known == Known::content_length) return fail(ParseError::header_content_length_invalid, head);
      if (known == Known::transfer_encoding) return fail(ParseError::header_transfer_encoding_unexpected, head);
    }
    switch (known) {
      case Known::transfer_encoding:
        if (!http11) return fail(ParseError::header_transfer_encoding_unexpected, head);
        has_te = true;
        te_chunked = http::is_visible_ascii(value) && http::iequals(http::list_last(value), "chunked");
        if (cl_stored) {
          map.remove("content-length");
          cl_stored = false;
        }
        break;
      case Known::content_length: {
        if (has_te) {
          cl_seen = true;
          continue;  // dropped
        }
        http::Result<uint64_t> parsed = http::parse_content_length(value);
        if (!parsed) return fail(ParseError::header_content_length_invalid, head);
        uint64_t x = *parsed;
        if (x > kMaxDeclaredLength) return fail(ParseError::too_large, head);
        if (cl_seen) {
          if (x != length) return fail(ParseError::header_content_length_invalid, head);
          continue;  // an equal repeat is not stored again
        }
        cl_seen = true;
        cl_stored = true;
        length = x;
        break;
      }
      case Known::connection: apply_connection(value, keep_alive); break;
      case Known::expect: expect = value.size() == 12 && http::iequals(value, "100-continue"); break;
      case Known::upgrade: upgrade = http11; break;
      case Known::te:
        if (!allow_trailers) allow_trailers = http::list_has_token(value, "trailers");
        break;
      case Known::other: break;
    }
    if (!map.add_from_block(name, value)) return fail(ParseError::too_large, head);
  }
  out.headers = std::move(map).finish();
  out.target_in_head = target_in_head;
  out.target_off = target_in_head ? uint32_t(target.data() - b) : 0;
  out.target_len = target_in_head ? uint32_t(target.size()) : 0;
  if (has_te && !te_chunked) return fail(ParseError::header_transfer_encoding_invalid, head);
  if (has_te && cl_seen) keep_alive = false;

  if (te_chunked) {
    out.body = BodyKind::chunked;
    out.content_length = 0;
  } else {
    out.body = length ? BodyKind::length : BodyKind::empty;
    out.content_length = length;
  }
  out.keep_alive = keep_alive;
  out.upgrade = upgrade;
  out.expect_continue = expect;
  out.allow_trailers = allow_trailers;
  return HeadRead{HeadProgress::complete, head};
}

}  // namespace velmora::h1
