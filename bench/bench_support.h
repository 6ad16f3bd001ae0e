#pragma once
// Comparisons against an anchor measured in the same run. A benchmark reports each comparison
// while it runs; bench_main prints them all once every benchmark has finished, one line each:
//   RATIO <name> <ours/anchor> (ours <figure> <unit>, anchor <figure> <unit>)
#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

namespace tallowmere_bench {

struct Ratio {
  std::string name;
  double ours;
  double anchor;
  std::string unit;
  double value() const { return anchor > 0 ? ours / anchor : 0; }
};

namespace detail {
struct RatioRegistry {
  std::mutex mutex;
  std::vector<Ratio> ratios;
};
inline RatioRegistry& registry() {
  static RatioRegistry instance;
  return instance;
}
}  // namespace detail

// Records one comparison; reporting the same name again (repetitions) replaces the figures.
// Pass figures for which higher is better (throughput, operations per second), so that a ratio
// above 1 always means that ours is faster than the anchor.
inline void report_ratio(std::string name, double ours, double anchor, std::string unit) {
  auto& registry = detail::registry();
  const std::lock_guard lock(registry.mutex);
  for (Ratio& ratio : registry.ratios) {
    if (ratio.name == name) {
      ratio = Ratio{std::move(name), ours, anchor, std::move(unit)};
      return;
    }
  }
  registry.ratios.push_back(Ratio{std::move(name), ours, anchor, std::move(unit)});
}

// Every comparison reported so far, in the order of first report.
inline std::vector<Ratio> reported_ratios() {
  auto& registry = detail::registry();
  const std::lock_guard lock(registry.mutex);
  return registry.ratios;
}

struct Throughputs {
  double ours;
  double anchor;
};

// Runs our side and the anchor once each per iteration of `state` and gives the megabytes per
// second of each, `megabytes` being what one run of a side processes. Alternating which side
// runs first cancels any drift (frequency, cache) that favours one side. What a side returns is
// released after its time is taken, and `after_each` runs untimed after every side.
template <class Ours, class Anchor, class AfterEach>
Throughputs alternate_sides(benchmark::State& state, double megabytes, Ours&& ours, Anchor&& anchor,
                            AfterEach&& after_each) {
  using clock = std::chrono::steady_clock;
  clock::duration ours_time{}, anchor_time{};
  const auto timed = [](auto& side, clock::duration& total) {
    const auto start = clock::now();
    auto result = side();
    benchmark::DoNotOptimize(result);
    total += clock::now() - start;
  };
  bool ours_first = true;
  for (auto _ : state) {
    for (int side = 0; side < 2; ++side) {
      if ((side == 0) == ours_first) {
        timed(ours, ours_time);
      } else {
        timed(anchor, anchor_time);
      }
      after_each();
    }
    ours_first = !ours_first;
  }
  const double total = megabytes * static_cast<double>(state.iterations());
  return {total / std::chrono::duration<double>(ours_time).count(),
          total / std::chrono::duration<double>(anchor_time).count()};
}

}  // namespace tallowmere_bench
