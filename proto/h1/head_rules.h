// Pieces the request and response rules share (request_head.cc,
// response_head.cc); not for other callers.
#pragma once

#include <cstdint>
#include <string_view>

#include "proto/h1/head_parser.h"
#include "proto/h1/tokenizer.h"
#include "proto/http/fields.h"

namespace velmora::h1::detail {

// Names the rules look at, recognised once lowercased.
enum class Known : uint8_t { other, transfer_encoding, content_length, connection, expect, upgrade, te };

inline Known known_name(std::string_view l) noexcept {
  switch (l.size()) {
    case 2: return l == "te" ? Known::te : Known::other;
    case 6: return l == "expect" ? Known::expect : Known::other;
    case 7: return l == "upgrade" ? Known::upgrade : Known::other;
    case 10: return l == "connection" ? Known::connection : Known::other;
    case 14: return l == "content-length" ? Known::content_length : Known::other;
    case 17: return l == "transfer-encoding" ? Known::transfer_encoding : Known::other;
  }
  return Known::other;
}

inline std::string_view name_of(const char* b, const HeadSlot& s) noexcept { return {b + s.name_off, s.name_len}; }
inline std::string_view value_of(const char* b, const HeadSlot& s) noexcept { return {b + s.value_off, s.value_len}; }

// Tokenizes from a checkpoint of the same kind of head when there is one: a
// resumed scan only validates the new lines, so once it finds the head
// complete, the head is tokenized again from the start to fill the slots.
inline Result<Tokenized> tokenize_resuming(std::string_view buf, const TokenizeOptions& o, HeadSlot* slots,
                                           Checkpoint* resume) noexcept {
  if (resume && resume->offset != 0 && resume->request == o.request) {
    Result<Tokenized> t = tokenize_head(buf, o, nullptr, resume);
    return t && t->complete ? tokenize_head(buf, o, slots, nullptr) : t;
  }
  return tokenize_head(buf, o, slots, resume);
}

// Connection: turns keep-alive off on "close" while on, on with "keep-alive"
// while off, so a later line can undo an earlier one.
inline void apply_connection(std::string_view v, bool& keep_alive) noexcept {
  if (keep_alive) {
    if (http::list_has_token(v, "close")) keep_alive = false;
  } else if (http::list_has_token(v, "keep-alive")) {
    keep_alive = true;
  }
}

}  // namespace velmora::h1::detail
