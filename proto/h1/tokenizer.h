// The HTTP/1 head tokenizer: cuts the head at the front of a buffer into its
// start line and header lines, as offsets, without deciding anything about
// framing (head_parser.h applies the request and response rules). Its byte
// scans are the shared field scanners (proto/http/field_scan.h), so every
// scan path applies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "proto/h1/error.h"

namespace velmora::h1 {

inline constexpr size_t kDefaultMaxHeaders = 100;

// A header line as offsets into the head bytes.
struct HeadSlot {
  uint32_t name_off, name_len, value_off, value_len;
};

// Where a partial head stopped: every line before `offset` is known good.
// Feeding the same bytes plus more resumes there instead of rescanning.
struct Checkpoint {
  size_t offset = 0;  // 0: nothing validated yet
  size_t lines = 0;   // header lines kept before `offset`
  bool request = false;
};

struct TokenizeOptions {
  bool request = true;
  size_t max_headers = kDefaultMaxHeaders;
  bool ignore_invalid = false;  // requests only: drop malformed header lines
};

struct Tokenized {
  bool complete = false;  // false: the head goes on past the buffer (partial)
  size_t head_len = 0;  // complete: bytes up to and including the empty line
  size_t nheaders = 0;  // complete: slots filled
  size_t longest_name = 0;  // complete: the longest field name's length
  bool http11 = false;
  std::string_view method, target;  // request line
  uint16_t status_code = 0;         // status line
};

// Tokenizes the head at the front of `buf`. `slots` receives up to
// opts.max_headers lines. With `resume` given and non-empty, tokenizing
// restarts at its offset in validation-only mode: a complete answer then
// carries no start line or slots, and the caller tokenizes once more from the
// start. A partial answer updates `resume`.
// Errors (parse, consumed 0): header_token, method, uri, version, status,
// too_large (more than opts.max_headers lines).
Result<Tokenized> tokenize_head(std::string_view buf, const TokenizeOptions& opts, HeadSlot* slots,
                                Checkpoint* resume = nullptr) noexcept;

}  // namespace velmora::h1
