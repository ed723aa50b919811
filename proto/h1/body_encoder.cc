#include "proto/h1/body_encoder.h"

#include <cstring>
#include <utility>

#include "proto/http/fields.h"

namespace velmora::h1 {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

size_t hex_digits(uint64_t n) noexcept {
  size_t d = 1;
  while (n >>= 4) ++d;
  return d;
}

char* put(char* out, std::string_view s) noexcept {
  if (s.empty()) return out;
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

// Takes the encoder out of the codec.
std::optional<BodyEncoder> take(std::optional<BodyEncoder>& enc) noexcept {
  std::optional<BodyEncoder> e = std::move(enc);
  enc.reset();
  return e;
}

Result<EndPlan> plain_end(const std::optional<BodyEncoder>& e) {
  EndPlan p;
  if (!e) return p;
  switch (e->framing) {
    case Framing::chunked:
      p.kind = EndPlan::terminator;
      p.size = kChunkTerminator.size();
      break;
    case Framing::close:
      break;
    case Framing::length:
      if (e->remaining > 0) return std::unexpected(short_body_error(e->remaining));
      break;
  }
  return p;
}

Result<EndPlan> trailer_end(const std::optional<BodyEncoder>& e, const http::HeaderMap& trailers, bool allowed) {
  if (!e || !allowed || e->framing != Framing::chunked || !e->trailer_names) return plain_end(e);
  // The allowed set: every visible-ASCII `Trailer` value split on commas,
  // pieces trimmed and compared exactly.
  std::vector<std::string_view> names;
  for (const std::string& v : *e->trailer_names) {
    if (!http::is_visible_ascii(v)) continue;
    std::string_view rest = v;
    for (;;) {
      size_t comma = rest.find(',');
      names.push_back(http::trim_ows(rest.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  EndPlan p;
  size_t size = 3;  // "0\r\n"
  for (size_t i = 0; i < trailers.name_count(); ++i) {
    std::string_view name = trailers.name_at(i);
    if (is_forbidden_trailer(name)) continue;
    bool listed = false;
    for (std::string_view n : names)
      if (n == name) {
        listed = true;
        break;
      }
    if (!listed) continue;
    p.entries.push_back(uint32_t(i));
    trailers.for_each_value(i, [&](std::string_view value) { size += name.size() + 2 + value.size() + 2; });
  }
  if (p.entries.empty()) return plain_end(e);
  p.kind = EndPlan::trailers;
  p.size = size + 2;
  return p;
}

size_t data_size(const DataPlan& d, size_t n) noexcept { return d.action == DataAction::same ? n : d.size; }

}  // namespace

bool is_forbidden_trailer(std::string_view lname) noexcept {
  static constexpr std::string_view kNames[] = {
      "authorization", "cache-control", "content-encoding", "content-length", "content-range", "content-type",
      "host",          "max-forwards",  "set-cookie",       "te",             "trailer",       "transfer-encoding",
  };
  for (std::string_view n : kNames)
    if (n == lname) return true;
  return false;
}

DataPlan plan_data(std::optional<BodyEncoder>& enc, size_t n) noexcept {
  if (n == 0) return {DataAction::same, 0};
  if (!enc) return {DataAction::no_encoder, 0};
  switch (enc->framing) {
    case Framing::chunked:
      return {DataAction::framed, chunk_framed_size(n)};
    case Framing::close:
      return {DataAction::same, n};
    case Framing::length:
      break;
  }
  if (n <= enc->remaining) {
    enc->remaining -= n;
    return {DataAction::same, n};
  }
  if (enc->bodyless) return {DataAction::prefix, 0};
  // Bytes past the declared length would be read by the peer as the start
  // of the next message, and a cut body looks complete to it: the writer's
  // mistake is refused whole.
  return {DataAction::past_length, size_t(n - enc->remaining)};
}

size_t chunk_framed_size(size_t n) noexcept { return hex_digits(n) + 2 + n + 2; }

char* write_chunk(std::string_view data, char* out) noexcept {
  size_t digits = hex_digits(data.size());
  uint64_t n = data.size();
  for (size_t i = digits; i-- > 0; n >>= 4) out[i] = kHex[n & 15];
  out += digits;
  *out++ = '\r';
  *out++ = '\n';
  out = put(out, data);
  *out++ = '\r';
  *out++ = '\n';
  return out;
}

Result<EndPlan> end_body(std::optional<BodyEncoder>& enc) { return plain_end(take(enc)); }

Result<EndPlan> end_body_with_trailers(std::optional<BodyEncoder>& enc, const http::HeaderMap& trailers,
                                       bool trailers_allowed) {
  return trailer_end(take(enc), trailers, trailers_allowed);
}

char* write_end(const EndPlan& plan, const http::HeaderMap* trailers, bool title_case, char* out) noexcept {
  switch (plan.kind) {
    case EndPlan::nothing:
      return out;
    case EndPlan::terminator:
      return put(out, kChunkTerminator);
    case EndPlan::trailers:
      break;
  }
  out = put(out, "0\r\n");
  for (uint32_t i : plan.entries) {
    std::string_view name = trailers->name_at(i);
    trailers->for_each_value(i, [&](std::string_view value) {
      out = title_case ? http::write_title_case(name, out) : put(out, name);
      out = put(out, ": ");
      out = put(out, value);
      out = put(out, "\r\n");
    });
  }
  return put(out, "\r\n");
}

Error short_body_error(uint64_t missing) {
  Error e = Error::local(LocalFault::body_write_aborted);
  e.cause = "early end, expected " + std::to_string(missing) + " more bytes";
  return e;
}

Error past_length_error(uint64_t extra) {
  Error e = Error::local(LocalFault::body_write_aborted);
  e.cause = std::to_string(extra) + " bytes past the declared length";
  return e;
}

Result<MessagePlan> plan_message(std::optional<BodyEncoder>& enc, size_t head_len, std::string_view body,
                                 const http::HeaderMap* trailers, bool trailers_allowed) {
  MessagePlan m;
  std::optional<BodyEncoder> e = take(enc);
  m.size = head_len;
  if (!e) return m;
  if (!e->bodyless && !body.empty()) {
    m.body = plan_data(e, body.size());
    if (m.body.action == DataAction::past_length) return std::unexpected(past_length_error(m.body.size));
    m.body_used = true;
    m.size += data_size(m.body, body.size());
  }
  Result<EndPlan> end = trailers ? trailer_end(e, *trailers, trailers_allowed) : plain_end(e);
  if (!end) return std::unexpected(std::move(end.error()));
  m.end = std::move(*end);
  m.size += m.end.size;
  return m;
}

char* write_message(const MessagePlan& plan, std::string_view head, std::string_view body,
                    const http::HeaderMap* trailers, bool title_case, char* out) noexcept {
  out = put(out, head);
  if (plan.body_used) {
    switch (plan.body.action) {
      case DataAction::same:
        out = put(out, body);
        break;
      case DataAction::prefix:
        out = put(out, body.substr(0, plan.body.size));
        break;
      case DataAction::framed:
        out = write_chunk(body, out);
        break;
      case DataAction::no_encoder:
      case DataAction::past_length:  // never planned into a message
        break;
    }
  }
  return write_end(plan.end, trailers, title_case, out);
}

}  // namespace velmora::h1
