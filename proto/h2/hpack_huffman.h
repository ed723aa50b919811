// The HPACK Huffman code (RFC 7541 Appendix B).
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "proto/h2/error.h"

namespace velmora::h2::hpack {

// Octets the Huffman encoding of `s` takes, padding included.
size_t huffman_encoded_size(std::string_view s) noexcept;

// Writes the encoding of `s` (exactly huffman_encoded_size(s) octets, the
// last one padded with ones) at `out` and returns the end.
char* huffman_encode(std::string_view s, char* out) noexcept;

// Room huffman_decode() needs for an input of `n` octets (every code is at
// least 5 bits long).
inline constexpr size_t huffman_max_decoded_size(size_t n) noexcept { return n * 8 / 5 + 1; }

// Decodes `in` into `out`, which must have room for
// huffman_max_decoded_size(in.size()) octets, and returns the decoded
// length. Fails with HpackError::invalid_huffman_code when the input holds
// EOS, ends inside a code, or ends with padding longer than 7 bits or not all
// ones.
std::expected<size_t, HpackError> huffman_decode(std::string_view in, char* out) noexcept;

}  // namespace velmora::h2::hpack
