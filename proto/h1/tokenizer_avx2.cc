// The head tokenizer for AVX2 CPUs: the walk compiled for AVX2 with the
// block classifier inlined into it, so that a window of masks is taken
// without a call and stays in registers. tokenize_head() picks it whenever
// the AVX2 kernels are in use.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string_view>

#include "proto/h1/error.h"
#include "proto/h1/tokenizer.h"
#include "proto/http/field_classify_avx2.h"
#include "proto/http/field_scan.h"
#include "proto/http/field_scan_kernels.h"

#ifdef VELMORA_SCAN_X86

// Only what the walk itself defines is compiled for AVX2: every header it
// needs is included above, so that no inline function of theirs gets an AVX2
// body that another file's call could end up in.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2")
#endif

#include "proto/h1/tokenizer_walk.h"

namespace velmora::h1 {

namespace {

struct Avx2Classify {
  Masks operator()(const char* p) const noexcept {
    http::FieldMasks m;
    http::detail::classify64_avx2(p, m);
    return Masks{m.non_token, m.bad_value};
  }
};

Result<Tokenized> tokenize_avx2(const char* b, size_t n, const TokenizeOptions& opts, HeadSlot* slots,
                                Checkpoint* resume, const http::ScanKernels& k) noexcept {
  Tok t{b, n, {}};
  const ScanFind find{b, n, k};
  return tokenize(t, find, opts, slots, resume,
                  [](Lines& w, const ScanFind& f) { return classified_lines(w, f, Avx2Classify{}); });
}

}  // namespace

}  // namespace velmora::h1

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace velmora::h1::detail {

Result<Tokenized> tokenize_head_avx2(const char* b, size_t n, const TokenizeOptions& opts, HeadSlot* slots,
                                     Checkpoint* resume, const http::ScanKernels& k) noexcept {
  return tokenize_avx2(b, n, opts, slots, resume, k);
}

}  // namespace velmora::h1::detail

#endif
