#include "proto/http/content_length.h"

#include "proto/http/fields.h"

namespace velmora::http {

Result<uint64_t> parse_content_length(std::string_view value) noexcept {
  Result<uint64_t> x = parse_u64_digits(value);
  if (!x) return fail(ErrorKind::invalid_content_length);
  return x;
}

void ContentLengthLines::add(std::string_view v) noexcept {
  present_ = true;
  if (!valid_) return;
  if (!is_visible_ascii(v)) {
    valid_ = false;
    return;
  }
  for (;;) {
    size_t comma = v.find(',');
    Result<uint64_t> x = parse_content_length(trim_ows(v.substr(0, comma)));
    if (!x || (seen_ && *x != value_)) {
      valid_ = false;
      return;
    }
    value_ = *x;
    seen_ = true;
    if (comma == std::string_view::npos) return;
    v.remove_prefix(comma + 1);
  }
}

ContentLengthLines content_length_lines(const HeaderMap& h) noexcept {
  ContentLengthLines cl;
  h.for_each_of("content-length", [&](std::string_view v) { cl.add(v); });
  return cl;
}

}  // namespace velmora::http
