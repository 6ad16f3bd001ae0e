// Runs the registered benchmarks, then prints the RATIO line of every comparison they reported.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "bench_support.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const tallowmere_bench::Ratio& ratio : tallowmere_bench::reported_ratios())
    fmt::print("RATIO {} {:.3f} (ours {:.1f} {}, anchor {:.1f} {})\n", ratio.name, ratio.value(), ratio.ours,
               ratio.unit, ratio.anchor, ratio.unit);
  return 0;
}
