#pragma once
// Comparisons against an anchor measured in the same run. A benchmark reports each comparison
// while it runs; bench_main prints them all once every benchmark has finished, one line each:
//   RATIO <name> <ours/anchor> (ours <figure> <unit>, anchor <figure> <unit>)
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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

}  // namespace tallowmere_bench
