// A head receive's outcome as one comparable value, for assertions.
#pragma once

#include "proto/h1/codec.h"

namespace velmora::h1::test_support {

enum class Got : uint8_t { partial, complete, error };

// The progress, or `error` with the parse error stored in `err`.
inline Got got(const Result<HeadProgress>& r, ParseError& err) {
  if (!r) {
    err = r.error().parse_variant();
    return Got::error;
  }
  return *r == HeadProgress::complete ? Got::complete : Got::partial;
}

inline Got got(const Result<HeadProgress>& r) {
  ParseError ignored;
  return got(r, ignored);
}

}  // namespace velmora::h1::test_support
