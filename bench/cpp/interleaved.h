// The main() of the side-by-side C++ benchmarks: unless the command line
// sets the repetitions, every benchmark runs in `repetitions` repetitions
// interleaved in random order with the others, so that load from other
// processes hits ours and the peer's alike, and only the aggregates are
// reported (through `reporter`, which prints the ratios).
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

inline int run_interleaved(int argc, char** argv, int repetitions, benchmark::BenchmarkReporter& reporter) {
  std::vector<std::string> extra;
  bool told = false;
  for (int i = 1; i < argc; ++i) told |= std::string_view(argv[i]).starts_with("--benchmark_repetitions");
  if (!told)
    extra = {"--benchmark_repetitions=" + std::to_string(repetitions), "--benchmark_enable_random_interleaving=true",
             "--benchmark_report_aggregates_only=true"};
  std::vector<char*> args(argv, argv + argc);
  for (std::string& a : extra) args.push_back(a.data());
  int n = int(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
