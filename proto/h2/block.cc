#include "proto/h2/block.h"

namespace velmora::h2 {

void HeaderListSink::on_pseudo(hpack::Pseudo which, std::string_view v) {
  switch (which) {
    case hpack::Pseudo::authority: list_.authority.emplace(v); break;
    case hpack::Pseudo::method: list_.method.emplace(v); break;
    case hpack::Pseudo::scheme: list_.scheme.emplace(v); break;
    case hpack::Pseudo::path: list_.path.emplace(v); break;
    case hpack::Pseudo::protocol: list_.protocol.emplace(v); break;
    case hpack::Pseudo::status:
      // Checked by the decoder: three digits, the first 1-9.
      list_.status = uint16_t((v[0] - '0') * 100 + (v[1] - '0') * 10 + (v[2] - '0'));
      break;
  }
}

bool HeaderListSink::on_field(std::string_view name, std::string_view value, bool) {
  // Checked by the decoder: a lowercase token and valid value bytes.
  return fields_.add(name, value);
}

std::optional<uint64_t> HeaderList::content_length() const noexcept {
  std::string_view v;
  if (!fields.first("content-length", v) || v.size() > 19) return std::nullopt;
  uint64_t n = 0;
  for (unsigned char c : v) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool acceptable_head(const HeaderList& h, Role receiver, bool end_stream, bool extended_connect) noexcept {
  if (!h.has_pseudo()) return end_stream;
  if (receiver == Role::client) return h.status && !h.method && !h.scheme && !h.authority && !h.path && !h.protocol;
  if (h.status || !h.method) return false;
  const bool connect = *h.method == "CONNECT";
  if (h.protocol) {
    // Extended CONNECT: the form of an ordinary request, :authority included.
    if (!extended_connect || !connect || !h.authority || h.protocol->empty()) return false;
  } else if (connect) {
    return h.authority && !h.scheme && !h.path;
  }
  if (!h.scheme || !h.path) return false;
  return !h.path->empty() || (*h.scheme != "http" && *h.scheme != "https");
}

bool HeaderList::content_length_invalid() const noexcept {
  return fields.contains("content-length") && !content_length();
}

}  // namespace velmora::h2
