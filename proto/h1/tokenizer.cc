#include "proto/h1/tokenizer.h"

#include "proto/h1/tokenizer_walk.h"
#include "proto/http/field_scan.h"
#include "proto/http/field_scan_kernels.h"
#include "proto/http/fields.h"

namespace velmora::h1 {

namespace detail {

// A line that some other parser could read as a framing field is never
// dropped, or the two would frame the message differently (CL.0, TE.CL):
// whitespace between the name and its colon (a 400 under RFC 9112, section
// 5.1), or a name that is Content-Length or Transfer-Encoding once trimmed.
bool droppable_line(std::string_view line) noexcept {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return true;
  std::string_view name = line.substr(0, colon);
  std::string_view trimmed = http::trim_ows(name);
  if (!trimmed.empty() && trimmed.data() + trimmed.size() != name.data() + name.size()) return false;
  return !http::iequals(trimmed, "content-length") && !http::iequals(trimmed, "transfer-encoding");
}

#ifdef VELMORA_SCAN_X86
// tokenizer_avx2.cc
Result<Tokenized> tokenize_head_avx2(const char* b, size_t n, const TokenizeOptions& opts, HeadSlot* slots,
                                     Checkpoint* resume, const http::ScanKernels& k) noexcept;
#endif

}  // namespace detail

namespace {

// A classifier reached through the kernel table.
struct TableClassify {
  void (*classify)(const char*, http::FieldMasks&) noexcept;
  Masks operator()(const char* p) const noexcept {
    http::FieldMasks m;
    classify(p, m);
    return Masks{m.non_token, m.bad_value};
  }
};

}  // namespace

Result<Tokenized> tokenize_head(std::string_view buf, const TokenizeOptions& opts, HeadSlot* slots,
                                Checkpoint* resume) noexcept {
  const size_t n = buf.size() > UINT32_MAX ? size_t(UINT32_MAX) : buf.size();
  const http::ScanKernels& k = http::detail::kernels();
  // The kernel table is chosen once (or forced, in tests and benchmarks);
  // the AVX2 one has a build of the whole walk to go with it.
#ifdef VELMORA_SCAN_X86
  if (k.path == http::ScanPath::avx2) return detail::tokenize_head_avx2(buf.data(), n, opts, slots, resume, k);
#endif
  Tok t{buf.data(), n, {}};
  const ScanFind find{t.b, t.n, k};
  if (k.classify) {
    const TableClassify classify{k.classify};
    return tokenize(t, find, opts, slots, resume,
                    [&](Lines& w, const ScanFind& f) { return classified_lines(w, f, classify); });
  }
  return tokenize(t, find, opts, slots, resume, scan_lines);
}

}  // namespace velmora::h1
