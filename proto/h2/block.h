// A received header block once HPACK has decoded it: the pseudo-headers and
// the regular fields, which the HPACK decoder delivers already checked
// against the message rules of RFC 9113 section 8.2, and the facts the
// connection reads off them (content length, informational status).
#pragma once

#include <array>
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
  // The pseudo-header values, kept in the storage of `fields` (so a head
  // costs one allocation, or none when that storage is reused): the views
  // hold while `fields` is neither changed nor destroyed, and move with it.
  // Read them before handing `fields` on or changing it. A copy's views
  // point into the copy's map.
  std::optional<std::string_view> method, scheme, authority, path, protocol;
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

  HeaderList() = default;
  HeaderList(HeaderList&&) noexcept = default;
  HeaderList& operator=(HeaderList&&) noexcept = default;
  HeaderList(const HeaderList& o) { *this = o; }
  HeaderList& operator=(const HeaderList& o);
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

// Where the pseudo-header values of a block being built lie in its map's
// storage: offsets, since the storage may move while the block grows.
struct PseudoValues {
  struct At {
    uint32_t off = 0, len = 0;
    bool present = false;
  };
  std::array<At, 5> at;  // by hpack::Pseudo, :status aside
  uint16_t status = 0;   // 0: no :status

  // Sets the pseudo-headers of `list` to views into `fields`, the map the
  // values were stashed in (the builder's, or the one it finished).
  void resolve(HeaderList& list, const http::HeaderMap& fields) const noexcept;
};

// Builds a HeaderList from the fields the HPACK decoder delivers: the
// regular fields go into `fields`, which owns the map until the block is
// complete, and the pseudo-header values are stashed in that map's storage
// and noted in `pseudo`. Once the block is complete: `list.fields` =
// std::move(fields).finish(), then pseudo.resolve(list, list.fields).
class HeaderListSink final : public hpack::FieldSink {
 public:
  HeaderListSink(PseudoValues& pseudo, http::HeaderMap::Builder& fields) noexcept : pseudo_(pseudo), fields_(fields) {}
  void on_pseudo(hpack::Pseudo which, std::string_view value) override;
  bool on_field(std::string_view name, std::string_view value, bool never_indexed) override;

 private:
  PseudoValues& pseudo_;
  http::HeaderMap::Builder& fields_;
};

}  // namespace velmora::h2
