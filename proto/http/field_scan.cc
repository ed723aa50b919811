// Picks the scanner kernels once, from what the CPU supports.
#include "proto/http/field_scan.h"

#include <cstdlib>
#include <string_view>

#include "proto/http/field_scan_kernels.h"

namespace velmora::http {

namespace detail {

std::atomic<const ScanKernels*> g_kernels{nullptr};

namespace {

// The widest path the CPU supports, capped by VELMORA_SCAN_PATH ("portable"
// or "sse42") when it is set: profilers such as valgrind cannot execute
// every vector instruction.
const ScanKernels& best() noexcept {
  const char* cap = std::getenv("VELMORA_SCAN_PATH");
  std::string_view limit = cap ? cap : "";
  if (limit == "portable") return kPortableKernels;
#ifdef VELMORA_SCAN_X86
  __builtin_cpu_init();
  // The AVX2 path's head tokenizer is built for BMI1 and BMI2 as well, which
  // every AVX2 CPU but a rare few has.
  if (limit != "sse42" && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
      __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("sse4.2"))
    return kAvx2Kernels;
  if (__builtin_cpu_supports("sse4.2")) return kSse42Kernels;
#endif
  return kPortableKernels;
}

}  // namespace

const ScanKernels* pick_kernels() noexcept {
  const ScanKernels* k = &best();
  const ScanKernels* none = nullptr;
  // A path forced meanwhile wins over the automatic choice.
  if (!g_kernels.compare_exchange_strong(none, k, std::memory_order_relaxed)) return none;
  return k;
}

}  // namespace detail

void set_scan_path(ScanPath p) noexcept {
  const ScanKernels* k = &detail::best();
  const ScanKernels* pick = &detail::kPortableKernels;
#ifdef VELMORA_SCAN_X86
  if (p == ScanPath::avx2 && k->path == ScanPath::avx2) pick = &detail::kAvx2Kernels;
  if (p == ScanPath::sse42 && k->path != ScanPath::portable) pick = &detail::kSse42Kernels;
#endif
  if (p == ScanPath::automatic) pick = k;
  detail::g_kernels.store(pick, std::memory_order_relaxed);
}

}  // namespace velmora::http
