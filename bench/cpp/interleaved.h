// The main() of the side-by-side C++ benchmarks: unless the command line
// sets the repetitions, every benchmark runs in `repetitions` repetitions
// interleaved in random order with the others, so that load from other
// processes hits ours and the peer's alike, and only the aggregates are
// reported (through `reporter`, which prints the ratios).
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

// Prints each run as usual and keeps, per benchmark (its name and
// arguments, without the iteration and repetition suffixes), the best
// repetition's CPU time (other processes inflate wall time: the best is the
// least disturbed) and that repetition's counters, for a reporter to set
// beside the peer's when the runs are done.
class BestRunReporter : public benchmark::ConsoleReporter {
 public:
  struct Best {
    double ns = 0;
    std::map<std::string, double> counters;
    double get(const std::string& k) const {
      auto it = counters.find(k);
      return it == counters.end() ? 0.0 : it->second;
    }
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.skipped || (r.run_type == Run::RT_Aggregate && r.aggregate_name != "min")) continue;
      std::string name = r.run_name.str();
      for (std::string_view suffix : {"/iterations:", "/repeats:"})
        if (size_t cut = name.find(suffix); cut != std::string::npos) name.resize(cut);
      Best& b = best_[name];
      if (b.ns > 0 && b.ns <= r.GetAdjustedCPUTime()) continue;
      b.ns = r.GetAdjustedCPUTime();
      for (auto& [k, c] : r.counters) b.counters[k] = c.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

 protected:
  // The best run of `name`, or nullptr when it did not run.
  const Best* best(const std::string& name) const {
    auto it = best_.find(name);
    return it == best_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Best> best_;
};

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
