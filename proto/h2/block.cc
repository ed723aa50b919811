#include "proto/h2/block.h"

#include <functional>

namespace velmora::h2 {

void HeaderListSink::on_pseudo(hpack::Pseudo which, std::string_view v) {
  if (which == hpack::Pseudo::status) {
    // Checked by the decoder: three digits, the first 1-9.
    pseudo_.status = uint16_t((v[0] - '0') * 100 + (v[1] - '0') * 10 + (v[2] - '0'));
    return;
  }
  // The list limit bounds what a block keeps far below the arena's 4 GiB, so
  // the stash does not fail; if it did, the value would be absent and the
  // head refused as incomplete.
  PseudoValues::At& at = pseudo_.at[size_t(which)];
  at.len = uint32_t(v.size());
  at.present = fields_.stash(v, at.off);
}

void PseudoValues::resolve(HeaderList& list, const http::HeaderMap& fields) const noexcept {
  auto view = [&](hpack::Pseudo p) -> std::optional<std::string_view> {
    const At& a = at[size_t(p)];
    if (!a.present) return std::nullopt;
    return fields.block_bytes(a.off, a.len);
  };
  list.authority = view(hpack::Pseudo::authority);
  list.method = view(hpack::Pseudo::method);
  list.scheme = view(hpack::Pseudo::scheme);
  list.path = view(hpack::Pseudo::path);
  list.protocol = view(hpack::Pseudo::protocol);
  list.status = status;
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

HeaderList& HeaderList::operator=(const HeaderList& o) {
  if (this == &o) return *this;
  fields = o.fields;  // the stashed values too, at the same offsets
  const std::string_view from = o.fields.block_bytes(0, o.fields.stored_bytes());
  // A view into o's map moves to the same bytes of the copy; any other
  // (a caller's own) is kept as it is.
  auto rebase = [&](const std::optional<std::string_view>& v) -> std::optional<std::string_view> {
    const std::less<const char*> before;
    if (!v || v->empty() || before(v->data(), from.data()) || before(from.data() + from.size(), v->data() + v->size()))
      return v;
    return fields.block_bytes(size_t(v->data() - from.data()), v->size());
  };
  method = rebase(o.method);
  scheme = rebase(o.scheme);
  authority = rebase(o.authority);
  path = rebase(o.path);
  protocol = rebase(o.protocol);
  status = o.status;
  over_size = o.over_size;
  return *this;
}

bool HeaderList::content_length_invalid() const noexcept {
  return fields.contains("content-length") && !content_length();
}

}  // namespace velmora::h2
