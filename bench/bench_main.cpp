// main() of flashprep_bench: Google Benchmark's own, plus a failing exit
// status when any benchmark found a wrong result (see bench_check.h).
#include <atomic>

#include "bench/bench_check.h"

namespace bench {
namespace {
std::atomic<bool> any_failure{false};
}  // namespace

void report_failure(benchmark::State& state, const std::string& why) {
  any_failure = true;
  state.SkipWithError(why.c_str());
}

}  // namespace bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return bench::any_failure ? 1 : 0;
}
