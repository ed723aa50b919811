// A received header block once HPACK has decoded it: the pseudo-headers and
// the regular fields, which the HPACK decoder delivers already checked
// against the message rules of RFC 9113 section 8.2, and the facts the
// connection reads off them (content length, informational status).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proto/h2/hpack.h"
#include "proto/http/header_map.h"

namespace velmora::h2 {

enum class Role : uint8_t { client, server };

struct HeaderList {
  http::HeaderMap fields;  // the regular fields, in arrival order
  std::optional<std::string> method, scheme, authority, path, protocol;
  uint16_t status = 0;  // 0: no :status
  // The list passed our max header list size: the fields past it were
  // dropped (the block was still decoded, so HPACK stays in step). Never an
  // ordinary head: a server answers 431, a client fails the request.
  bool over_size = false;

  // The first `content-length` value parsed as decimal: at most 19 ASCII
  // digits, an empty value counting as 0; none when absent or unparsable.
  std::optional<uint64_t> content_length() const noexcept;
  // A `content-length` is present but does not parse.
  bool content_length_invalid() const noexcept;
  // `:status` is present and in 100..199.
  bool is_informational() const noexcept { return status >= 100 && status <= 199; }
  // Any pseudo-header is present.
  bool has_pseudo() const noexcept { return method || scheme || authority || path || protocol || status; }
};

// The pseudo-header rules of RFC 9113 section 8.3 that a complete block
// shows by itself, for the side that receives it (`receiver`). A server
// receives requests: :method, :scheme and a :path (not empty for http and
// https) are required, or for CONNECT an :authority without :scheme and
// :path; :status is refused. :protocol (RFC 8441) is refused too, unless
// `extended_connect` (our SETTINGS_ENABLE_CONNECT_PROTOCOL is 1) and the
// method is CONNECT: such a request carries :scheme, :path and :authority
// as well. A client receives responses: a request pseudo-header is refused
// and :status required. A block without any pseudo-header may be trailers,
// which end the stream: with `end_stream` it passes here and the connection,
// which knows whether the stream expects a head, decides.
bool acceptable_head(const HeaderList& h, Role receiver, bool end_stream, bool extended_connect = false) noexcept;

// Builds a HeaderList from the fields the HPACK decoder delivers: the
// pseudo-headers go into `list`, the regular fields into `fields`, which
// owns the map until the block is complete (then `list.fields` =
// std::move(fields).finish()).
class HeaderListSink final : public hpack::FieldSink {
 public:
  HeaderListSink(HeaderList& list, http::HeaderMap::Builder& fields) noexcept : list_(list), fields_(fields) {}
  void on_pseudo(hpack::Pseudo which, std::string_view value) override;
  bool on_field(std::string_view name, std::string_view value, bool never_indexed) override;

 private:
  HeaderList& list_;
  http::HeaderMap::Builder& fields_;
};

}  // namespace velmora::h2
