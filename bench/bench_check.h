// A benchmark whose result is wrong is not a measurement: it is reported as an
// error and makes flashprep_bench exit with status 1.
#ifndef FLASHPREP_BENCH_BENCH_CHECK_H_
#define FLASHPREP_BENCH_BENCH_CHECK_H_

#include <benchmark/benchmark.h>

#include <string>

namespace bench {

void report_failure(benchmark::State& state, const std::string& why);

}  // namespace bench

#endif  // FLASHPREP_BENCH_BENCH_CHECK_H_
