#include "proto/h2/codec.h"

#include "proto/http/connection_fields.h"
#include "proto/http/fields.h"
#include "proto/http/uri.h"

namespace velmora::h2 {

namespace {

constexpr size_t kMaxSchemeLength = 64;

bool is_scheme(std::string_view s) noexcept {
  if (s.empty() || s.size() > kMaxSchemeLength) return false;
  if (!((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z'))) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
          c == '.'))
      return false;
  return true;
}

// `text`: the URI parser's reason, for invalid_url (a static text).
std::unexpected<Error> head_fail(BadArgument f, std::string_view text = {}) {
  return std::unexpected(Error::bad_argument(f, 0, text));
}

}  // namespace

Result<void> build_request_head(std::string_view method, std::string_view target,
                                const std::string_view* scheme, const std::string_view* authority,
                                                  OutHead& out, const std::string_view* protocol) {
  out = OutHead{};
  if (!http::is_token(method)) return head_fail(BadArgument::invalid_method);
  if (protocol) {
    if (!http::is_token(*protocol)) return head_fail(BadArgument::invalid_protocol);
    if (method != "CONNECT") return head_fail(BadArgument::protocol_not_connect);
    out.protocol = *protocol;
  }
  http::Result<http::Uri> parsed = http::parse_uri(target);
  if (!parsed) return head_fail(BadArgument::invalid_url, http::message(parsed.error()));
  const http::Uri& u = *parsed;
  out.method = method;
  if (u.form == http::UriForm::absolute) {
    out.scheme = u.scheme_text();
    out.authority = u.authority;
  } else {
    if (!scheme || !authority) return head_fail(BadArgument::no_authority);
    if (*scheme != "http" && *scheme != "https" && !is_scheme(*scheme))
      return head_fail(BadArgument::invalid_url, http::message(http::ErrorKind::invalid_scheme));
    http::Result<http::Uri> a = http::parse_uri(*authority);
    if (!a) return head_fail(BadArgument::invalid_url, http::message(a.error()));
    if (a->form != http::UriForm::authority)
      return head_fail(BadArgument::invalid_url, http::message(http::ErrorKind::invalid_authority));
    out.scheme = *scheme;
    out.authority = *authority;
  }
  if (method == "CONNECT" && !protocol) {
    out.scheme = {};
    return {};
  }
  // Path and query are adjacent in the target: one view covers both.
  if (!u.path.empty()) {
    const char* end = u.has_query ? u.query.data() + u.query.size() : u.path.data() + u.path.size();
    out.path = std::string_view(u.path.data(), size_t(end - u.path.data()));
  } else if (u.has_query) {
    out.path_buf.assign("/?").append(u.query);
    out.path = out.path_buf;
  } else {
    out.path = method == "OPTIONS" && u.form != http::UriForm::origin ? "*" : "/";
  }
  return {};
}

Result<void> build_response_head(uint32_t status, OutHead& out) {
  out = OutHead{};
  if (status < 100 || status > 999) return head_fail(BadArgument::invalid_status);
  out.status = uint16_t(status);
  return {};
}

Result<void> Sender::write_headers(std::string& out, uint32_t sid, const OutHead& head,
                                   const http::HeaderMap* fields, bool end_stream,
                                                     std::string_view date) {
  if (sid > kMaxStreamId) return std::unexpected(Error::bad_argument(BadArgument::stream_id_msb));
  char status[3];
  std::string_view status_text;
  if (head.status) {
    status[0] = char('0' + head.status / 100);
    status[1] = char('0' + head.status / 10 % 10);
    status[2] = char('0' + head.status % 10);
    status_text = {status, 3};
  }
  // Measure, grow once, encode in place, trim to what was written.
  size_t bound = hpack::Encoder::kMaxBlockPrefix;
  auto measure = [&](std::string_view n, std::string_view v) { bound += hpack::Encoder::max_field_size(n, v); };
  if (!head.method.empty()) measure(":method", head.method);
  if (!head.scheme.empty()) measure(":scheme", head.scheme);
  if (!head.authority.empty()) measure(":authority", head.authority);
  if (!head.path.empty()) measure(":path", head.path);
  if (!head.protocol.empty()) measure(":protocol", head.protocol);
  if (head.status) measure(":status", status_text);
  if (fields) fields->for_each(measure);
  if (!date.empty()) measure("date", date);

  // The bound is about twice the block: growing with resize() would first
  // zero all of it, which costs more than encoding the fields.
  const size_t start = out.size();
  out.resize_and_overwrite(start + kFrameHeaderLen + bound, [&](char* data, size_t) {
    char* p = hpack_.begin_block(data + start + kFrameHeaderLen);
    auto put = [&](std::string_view n, std::string_view v) { p = hpack_.encode_field(n, v, false, p); };
    if (!head.method.empty()) put(":method", head.method);
    if (!head.scheme.empty()) put(":scheme", head.scheme);
    if (!head.authority.empty()) put(":authority", head.authority);
    if (!head.path.empty()) put(":path", head.path);
    if (!head.protocol.empty()) put(":protocol", head.protocol);
    if (head.status) put(":status", status_text);
    if (fields) fields->for_each(put);
    if (!date.empty()) put("date", date);
    return size_t(p - data);
  });
  frame_header_block(out, start, sid, end_stream, max_frame_size_);
  return {};
}

bool has_forbidden_fields(const http::HeaderMap& m) noexcept {
  // Names are looked up rather than every field scanned: a head holds many
  // fields and few, if any, of these.
  for (std::string_view n : http::kConnectionSpecificNames)
    if (m.contains(n)) return true;
  std::string_view te;
  return m.first("te", te) && http::is_connection_specific("te", te);
}

bool has_padded_value(const http::HeaderMap& m) noexcept {
  bool padded = false;
  m.for_each([&](std::string_view, std::string_view v) {
    if (!v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t')) padded = true;
  });
  return padded;
}

bool method_is_head(std::string_view method) noexcept { return method == "HEAD"; }

}  // namespace velmora::h2
