// The WebSocket codec's receive path at 1 MiB (and 1 KiB), per scan path:
// a masked frame unmasked into the message and, for text, validated as
// UTF-8, against a plain memcpy of the same octets. Reported as bytes per
// second; the goal is within 2x of memcpy's time at 1 MiB. On a loaded
// machine read the CPU column.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "proto/http/field_scan.h"
#include "proto/ws/codec.h"

using namespace velmora::ws;
using velmora::http::ScanPath;
using velmora::http::scan_path;
using velmora::http::set_scan_path;

namespace {

std::string masked_frame(uint8_t opcode, const std::string& payload) {
  const uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
  std::string f;
  f += char(0x80 | opcode);
  uint64_t n = payload.size();
  if (n < 126) {
    f += char(0x80 | n);
  } else if (n <= 0xffff) {
    f += char(0x80 | 126);
    f += char(n >> 8);
    f += char(n);
  } else {
    f += char(0x80 | 127);
    for (int i = 7; i >= 0; --i) f += char(n >> (8 * i));
  }
  f.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < n; ++i) f += char(uint8_t(payload[i]) ^ key[i & 3]);
  return f;
}

std::string text(size_t n) {
  const std::string unit = "WebSocket message, mostly ASCII with a few \xc3\xa9 and \xe2\x82\xac ";
  std::string s;
  while (s.size() + unit.size() <= n) s += unit;
  s.append(n - s.size(), 'x');
  return s;
}

// opcode 1: text with a two- or three-octet character every 25 or so;
// 0x81: ASCII text (opcode 1); 2: binary.
void receive(benchmark::State& st, ScanPath path, uint8_t opcode, size_t n) {
  set_scan_path(path);
  if (scan_path() != path) {
    st.SkipWithError("the CPU lacks this path");
    return;
  }
  const std::string payload = opcode == 1 ? text(n) : std::string(n, '\x5a');
  const std::string frame = masked_frame(opcode & 0x0f, payload);
  Codec c(Config{.role = Role::server});
  std::vector<Event> ev;
  for (auto _ : st) {
    ev.clear();
    if (!c.receive(frame, ev)) st.SkipWithError("receive failed");
    benchmark::DoNotOptimize(ev.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
  set_scan_path(ScanPath::automatic);
}

void copy(benchmark::State& st, size_t n) {
  const std::string src(n, '\x5a');
  for (auto _ : st) {
    std::string dst;
    dst.resize_and_overwrite(n, [&](char* d, size_t) {
      std::memcpy(d, src.data(), n);
      return n;
    });
    benchmark::DoNotOptimize(dst.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
}

constexpr size_t kMiB = 1 << 20;

BENCHMARK_CAPTURE(copy, memcpy_1MiB, kMiB);
BENCHMARK_CAPTURE(receive, text_1MiB_portable, ScanPath::portable, 1, kMiB);
BENCHMARK_CAPTURE(receive, text_1MiB_sse42, ScanPath::sse42, 1, kMiB);
BENCHMARK_CAPTURE(receive, text_1MiB_avx2, ScanPath::avx2, 1, kMiB);
BENCHMARK_CAPTURE(receive, ascii_1MiB_avx2, ScanPath::avx2, 0x81, kMiB);
BENCHMARK_CAPTURE(receive, binary_1MiB_avx2, ScanPath::avx2, 2, kMiB);
BENCHMARK_CAPTURE(copy, memcpy_1KiB, 1024);
BENCHMARK_CAPTURE(receive, text_1KiB_avx2, ScanPath::avx2, 1, 1024);
BENCHMARK_CAPTURE(receive, binary_1KiB_avx2, ScanPath::avx2, 2, 1024);

}  // namespace

BENCHMARK_MAIN();
