// The request rules (server role): framing, keep-alive, upgrade and the
// expectations of a request head, after tokenizing.
#include <algorithm>
#include <cstring>
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

// Header names lowercased and hashed in one go, ahead of the rules.
constexpr size_t kNameRun = 16;

// The failures past tokenizing, out of the way of the rules' hot path.
[[gnu::cold, gnu::noinline]] Result<HeadRead> refuse(ParseError e, size_t consumed) {
  return std::unexpected(Error::parse(e, uint32_t(consumed)));
}

// Tokenizes a head whose bytes could fill more than the stack slots: its end
// is found first without storing lines, then the slots are sized by the lines
// it really has, so a large limit over a large incomplete head reserves nothing.
[[gnu::noinline]] Result<Tokenized> tokenize_large(std::string_view buf, const TokenizeOptions& topts, Slots& store,
                                                   Checkpoint* resume) {
  Result<Tokenized> t = tokenize_head(buf, topts, nullptr, resume);
  if (t && t->complete) return tokenize_head(buf, topts, store.reserve(t->nheaders), nullptr);
  return t;
}

// Whether an origin-form target ("/path?query", the only form that starts
// with '/') holds a fragment. The tokenizer has checked its bytes and the
// caller its length, so this is all the URI parser would find out about it,
// and the target is kept whole.
bool has_fragment(std::string_view target) noexcept {
  return std::memchr(target.data(), '#', target.size()) != nullptr;
}

}  // namespace

Result<HeadRead> parse_request_head(std::string_view buf, const RequestOptions& opts, RequestHead& out,
                                    Checkpoint* resume) {
  const TokenizeOptions topts{true, opts.max_headers, opts.ignore_invalid_headers};
  // Every header line takes at least three bytes ("a:\n"), so the bytes at
  // hand bound the lines a parse can fill, however large the limit.
  const size_t bound = std::min(opts.max_headers, buf.size() / 3 + 1);
  Slots slot_store;
  Result<Tokenized> tokenized = bound > kStackSlots
                                    ? tokenize_large(buf, topts, slot_store, resume)
                                    : tokenize_resuming(buf, topts, slot_store.reserve(bound), resume);
  if (!tokenized) [[unlikely]]
    return std::unexpected(std::move(tokenized.error()));
  const Tokenized& t = *tokenized;
  if (!t.complete) return HeadRead{};
  const HeadSlot* const slots = slot_store.data();
  const char* b = buf.data();
  // Checks made before the head leaves the buffer.
  if (t.target.size() > kMaxTargetLength) return refuse(ParseError::uri_too_long, 0);
  const Method method = classify_method(t.method);
  out.method = method;
  if (method == Method::extension) [[unlikely]]
    out.method_text.assign(t.method);
  else
    out.method_text.clear();
  if (t.longest_name > kMaxNameLength) return refuse(ParseError::too_large, 0);

  // From here on the head is taken off the buffer.
  const size_t head = t.head_len;
  // A fragment never belongs to a request target. Cutting it off would let
  // two different raw targets ("/admin#/../public" and "/admin") reach the
  // application as the same one, so a target holding '#' is refused (any
  // other form holding one fails to parse).
  // An origin-form target is kept as it stands in the head, which the header
  // map copies anyway; it is recorded in `out` only with that map, so a
  // failed parse never leaves offsets into the previous head's map.
  std::string_view target;
  bool target_in_head = false;
  if (t.target.front() == '/') [[likely]] {
    if (has_fragment(t.target)) return refuse(ParseError::uri, head);
    target = t.target;
    target_in_head = t.nheaders != 0;
    if (!target_in_head) out.target_text.assign(target);
  } else {
    http::Result<http::Uri> parsed_uri = http::parse_uri(t.target, http::TargetScanned{});
    if (!parsed_uri || parsed_uri->has_fragment) return refuse(ParseError::uri, head);
    // The absolute, authority and asterisk forms, in their canonical text.
    const http::Uri& uri = *parsed_uri;
    out.target_text.clear();
    out.target_text.reserve(uri.target_size());
    uri.write_target(out.target_text);
    target = out.target_text;
  }
  // High bytes pass the tokenizer and the URI grammar; the target is text, so
  // they must at least form UTF-8.
  if (!http::is_valid_utf8(target)) return refuse(ParseError::uri, head);

  const bool http11 = t.http11;
  const bool connect = method == Method::connect;
  out.http10 = !http11;
  bool keep_alive = http11;
  bool upgrade = connect;
  bool expect = false;
  bool allow_trailers = false;
  bool has_te = false, te_chunked = false, cl_seen = false, cl_stored = false;
  uint64_t length = 0;

  http::HeaderMap::Builder map(std::string_view(b, head), t.nheaders);
  http::HeaderMap::Builder::Fields fields(map);
  // Names are lowercased and hashed a run at a time in a loop of their own,
  // which keeps its constants in registers; the rules and the appends follow.
  uint32_t hashes[kNameRun];
  const HeadSlot* const end = slots + t.nheaders;
  for (const HeadSlot* run = slots; run != end;) {
    const size_t len = std::min(size_t(end - run), kNameRun);
    for (size_t j = 0; j < len; ++j) hashes[j] = fields.lower(run[j].name_off, run[j].name_len);
    const uint32_t* hp = hashes;
    const HeadSlot* sl = run;
    run += len;
    for (; sl != run; ++sl, ++hp) {
    const uint32_t h = *hp;
    const Known known = known_name(fields.name(sl->name_off, sl->name_len), h);
    if (known != Known::other) [[unlikely]] {
      const std::string_view value = value_of(b, *sl);
      // A CONNECT request has no content (RFC 9110, section 9.3.6): a length
      // or a coding on it is a framing ambiguity with any peer that ends the
      // message at the head, so it is refused rather than read as a body.
      if (connect) {
        if (known == Known::content_length) return refuse(ParseError::header_content_length_invalid, head);
        if (known == Known::transfer_encoding) return refuse(ParseError::header_transfer_encoding_unexpected, head);
      }
      switch (known) {
        case Known::transfer_encoding:
          if (!http11) return refuse(ParseError::header_transfer_encoding_unexpected, head);
          has_te = true;
          te_chunked = http::is_visible_ascii(value) && http::iequals(http::list_last(value), "chunked");
          if (cl_stored) {
            fields.remove("content-length");
            cl_stored = false;
          }
          break;
        case Known::content_length: {
          if (has_te) {
            cl_seen = true;
            continue;  // dropped
          }
          http::Result<uint64_t> parsed = http::parse_content_length(value);
          if (!parsed) return refuse(ParseError::header_content_length_invalid, head);
          uint64_t x = *parsed;
          if (x > kMaxDeclaredLength) return refuse(ParseError::too_large, head);
          if (cl_seen) {
            if (x != length) return refuse(ParseError::header_content_length_invalid, head);
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
    }
    if (!fields.add(sl->name_off, sl->name_len, h, sl->value_off, sl->value_len))
      return refuse(ParseError::too_large, head);
    }
  }
  fields.close();
  out.headers = std::move(map).finish();
  out.target_in_head = target_in_head;
  out.target_off = target_in_head ? uint32_t(target.data() - b) : 0;
  out.target_len = target_in_head ? uint32_t(target.size()) : 0;
  if (has_te && !te_chunked) return refuse(ParseError::header_transfer_encoding_invalid, head);
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
