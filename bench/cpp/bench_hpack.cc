// HPACK against nghttp2's inflater and deflater on the same blocks: the
// go-hpack interop stories (every name and value a Huffman literal, so the
// string decoding dominates), decoded with a fresh table per story, and the
// same header lists encoded. Prints ns per field, MB/s of wire, and the
// ratios at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "proto/h2/hpack.h"
#include "tests/cpp/h2/hpack_testing.h"

#ifdef VELMORA_HAVE_NGHTTP2
#include <nghttp2/nghttp2.h>
#endif

using namespace velmora::h2::hpack;

namespace {

struct Corpus {
  std::vector<testing::Story> stories;
  size_t wire_bytes = 0, fields = 0;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus c;
    auto root = testing::stories_root();
    if (root.empty()) return c;
    c.stories = testing::load_stories(root, "go-hpack");
    for (auto& s : c.stories)
      for (auto& k : s.cases) {
        c.wire_bytes += k.wire.size();
        c.fields += k.headers.size();
      }
    return c;
  }();
  return c;
}

bool ready(benchmark::State& st) {
  if (corpus().stories.empty()) {
    st.SkipWithError("no interop stories: set VELMORA_SHARED_DIR or put shared/ beside the checkout");
    return false;
  }
  return true;
}

void per_field(benchmark::State& st, size_t wire_bytes) {
  st.SetBytesProcessed(int64_t(st.iterations() * wire_bytes));
  // Shown as seconds with an SI prefix: "65n" is 65 ns per field.
  st.counters["per_field"] = benchmark::Counter(double(corpus().fields), benchmark::Counter::kIsIterationInvariantRate |
                                                                            benchmark::Counter::kInvert);
}

// What both decoders hand out per field: views of name and value.
struct Touch : FieldSink {
  size_t bytes = 0;
  void on_pseudo(Pseudo, std::string_view v) override { bytes += v.size(); }
  bool on_field(std::string_view n, std::string_view v, bool) override {
    bytes += n.size() + v.size();
    return true;
  }
};

void DecodeVelmora(benchmark::State& st) {
  if (!ready(st)) return;
  Touch sink;
  for (auto _ : st) {
    for (auto& story : corpus().stories) {
      Decoder d;
      for (auto& c : story.cases) {
        if (c.header_table_size >= 0) d.queue_size_update(uint32_t(c.header_table_size));
        HeaderBlock block(16u << 20);
        auto r = d.decode(c.wire, block, sink, true);
        if (!r) {
          st.SkipWithError("decode failed");
          return;
        }
      }
    }
    benchmark::DoNotOptimize(sink.bytes);
  }
  per_field(st, corpus().wire_bytes);
}
BENCHMARK(DecodeVelmora);

void EncodeVelmora(benchmark::State& st) {
  if (!ready(st)) return;
  std::vector<std::vector<std::vector<Field>>> lists;
  for (auto& story : corpus().stories) {
    auto& l = lists.emplace_back();
    for (auto& c : story.cases) {
      auto& f = l.emplace_back();
      for (auto& [n, v] : c.headers) f.push_back({n, v});
    }
  }
  std::string out;
  size_t wire = 0;
  for (auto _ : st) {
    wire = 0;
    for (auto& l : lists) {
      Encoder e;
      for (auto& f : l) {
        out.clear();
        e.encode(f, out);
        wire += out.size();
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  per_field(st, corpus().wire_bytes);
  st.counters["wire_bytes"] = double(wire);
}
BENCHMARK(EncodeVelmora);

#ifdef VELMORA_HAVE_NGHTTP2
void DecodeNghttp2(benchmark::State& st) {
  if (!ready(st)) return;
  size_t bytes = 0;
  for (auto _ : st) {
    for (auto& story : corpus().stories) {
      nghttp2_hd_inflater* inf;
      nghttp2_hd_inflate_new(&inf);
      for (auto& c : story.cases) {
        if (c.header_table_size >= 0) nghttp2_hd_inflate_change_table_size(inf, size_t(c.header_table_size));
        auto* in = reinterpret_cast<const uint8_t*>(c.wire.data());
        size_t left = c.wire.size();
        for (;;) {
          nghttp2_nv nv;
          int flags = 0;
          nghttp2_ssize rv = nghttp2_hd_inflate_hd3(inf, &nv, &flags, in, left, 1);
          if (rv < 0) {
            st.SkipWithError("nghttp2 inflate failed");
            nghttp2_hd_inflate_del(inf);
            return;
          }
          in += rv;
          left -= size_t(rv);
          if (flags & NGHTTP2_HD_INFLATE_EMIT) bytes += nv.namelen + nv.valuelen;
          if (flags & NGHTTP2_HD_INFLATE_FINAL) {
            nghttp2_hd_inflate_end_headers(inf);
            break;
          }
          if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0) break;
        }
      }
      nghttp2_hd_inflate_del(inf);
    }
    benchmark::DoNotOptimize(bytes);
  }
  per_field(st, corpus().wire_bytes);
}
BENCHMARK(DecodeNghttp2);

void EncodeNghttp2(benchmark::State& st) {
  if (!ready(st)) return;
  std::vector<std::vector<std::vector<nghttp2_nv>>> lists;
  for (auto& story : corpus().stories) {
    auto& l = lists.emplace_back();
    for (auto& c : story.cases) {
      auto& f = l.emplace_back();
      for (auto& [n, v] : c.headers)
        f.push_back({(uint8_t*)n.data(), (uint8_t*)v.data(), n.size(), v.size(),
                     NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE});
    }
  }
  std::vector<uint8_t> out(1 << 20);
  size_t wire = 0;
  for (auto _ : st) {
    wire = 0;
    for (auto& l : lists) {
      nghttp2_hd_deflater* def;
      nghttp2_hd_deflate_new(&def, 4096);
      for (auto& f : l) {
        nghttp2_ssize rv = nghttp2_hd_deflate_hd2(def, out.data(), out.size(), f.data(), f.size());
        if (rv < 0) {
          st.SkipWithError("nghttp2 deflate failed");
          nghttp2_hd_deflate_del(def);
          return;
        }
        wire += size_t(rv);
      }
      nghttp2_hd_deflate_del(def);
    }
    benchmark::DoNotOptimize(out.data());
  }
  per_field(st, corpus().wire_bytes);
  st.counters["wire_bytes"] = double(wire);
}
BENCHMARK(EncodeNghttp2);
#endif

// Console output plus the ratios of each pair, peer time over ours. CPU
// time: the machines we share run other work, which inflates wall time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.skipped) ns_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* op : {"Decode", "Encode"}) {
      auto ours = ns_.find(std::string(op) + "Velmora"), peer = ns_.find(std::string(op) + "Nghttp2");
      if (ours == ns_.end() || peer == ns_.end()) continue;
      std::printf("%s: nghttp2 / velmora CPU time = %.2fx\n", op, peer->second / ours->second);
    }
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
