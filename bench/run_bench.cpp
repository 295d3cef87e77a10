// The program against the in-process simulated board, whose transfers
// complete at once: the whole run, the format pass alone, and N single-block
// formats to show how the time grows with the number of blocks.
#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <string>

#include "app/flashprep_run.h"
#include "app/format_pass.h"
#include "bench/bench_check.h"
#include "bench/bench_support.h"
#include "flash/serial_flash.h"
#include "sim/sim_usb.h"
#include "usb/usb_bootloader.h"

namespace {

// A fresh healthy board; the call log is off, as it would grow by every
// transfer of every iteration.
void fresh_board() {
  sim::world().reset();
  sim::world().record_calls = false;
}

// Whole run: find the board, identify, download the driver, init, 4,064
// formats and 17 table writes. Arg: driver bytes.
void BM_FullRun(benchmark::State& state) {
  const auto driver_bytes = static_cast<size_t>(state.range(0));
  bench::DriverFolder folder(driver_bytes);
  bench::WorkingDirectory cwd(folder.path());
  if (!folder.ok() || !cwd.ok()) {
    bench::report_failure(state, "cannot prepare the driver folder");
    return;
  }
  std::ostringstream out;
  long transfers = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fresh_board();
    out.str("");
    state.ResumeTiming();
    run_flashprep(out);
    transfers += sim::world().transfers();
  }
  if (state.error_occurred())
    return;
  const std::string why = bench::check_run_output(out.str(), driver_bytes);
  if (!why.empty()) {
    bench::report_failure(state, why);
    return;
  }
  const long per_run = sim::world().transfers();
  if (per_run != bench::expected_run(driver_bytes).transfers) {
    bench::report_failure(state, "unexpected transfer count " + std::to_string(per_run));
    return;
  }
  state.counters["transfers"] = static_cast<double>(per_run);
  // CPU seconds per transfer (shown with an SI prefix, e.g. 1.2u).
  state.counters["per_transfer"] = benchmark::Counter(
      static_cast<double>(transfers), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FullRun)
    ->ArgName("driver_bytes")
    ->Arg(4000)
    ->Arg(bench::kFullDriverBytes)
    ->Unit(benchmark::kMillisecond);

// A board that has a driver and an initialised flash, reached through the
// production classes, for benchmarks of the format requests alone. Resets the
// simulated bus: at most one may exist at a time.
class ReadyBoard {
 public:
  ReadyBoard() : flash_(&bootloader_) {
    fresh_board();
    uint8_t block[kBlockBytes] = {};
    ok_ = bootloader_.start() && bootloader_.identify() && bootloader_.load_block(0, block) &&
          flash_.init();
  }
  bool ok() const { return ok_; }
  SerialFlash& flash() { return flash_; }

 private:
  UsbBootloader bootloader_;
  SerialFlash flash_;
  bool ok_ = false;
};

// The simulated board logs every request it carries out; a board is replaced
// (outside the timed part) after this many formats so that the log stays small.
constexpr long kFormatsPerBoard = 1 << 16;

// N formats of consecutive blocks, each reply summed as the pass does.
void BM_FormatBlocks(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  auto board = std::make_unique<ReadyBoard>();
  long formats = 0;
  uint8_t reply[kBlockBytes];
  for (auto _ : state) {
    if (formats >= kFormatsPerBoard) {
      state.PauseTiming();
      board.reset();  // its connection closes before the bus is reset
      board = std::make_unique<ReadyBoard>();
      formats = 0;
      state.ResumeTiming();
    }
    if (!board->ok()) {
      bench::report_failure(state, "board not ready");
      return;
    }
    uint8_t sum = 0;
    for (int b = 0; b < n; ++b) {
      if (!board->flash().format_block(static_cast<uint16_t>(b % 4096), reply)) {
        bench::report_failure(state, "format_block refused");
        return;
      }
      for (uint8_t v : reply)
        sum = static_cast<uint8_t>(sum + v);
    }
    formats += n;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.SetComplexityN(n);
}
BENCHMARK(BM_FormatBlocks)
    ->ArgName("blocks")
    ->RangeMultiplier(4)
    ->Range(16, 4096)
    ->Complexity(benchmark::oN);

// The format pass of the program (formats, table writes, one line per block),
// each time on a fresh board.
void BM_FormatPass(benchmark::State& state) {
  std::unique_ptr<ReadyBoard> board;
  std::ostringstream out;
  for (auto _ : state) {
    state.PauseTiming();
    board.reset();  // its connection closes before the bus is reset
    board = std::make_unique<ReadyBoard>();
    out.str("");
    state.ResumeTiming();
    if (!board->ok()) {
      bench::report_failure(state, "board not ready");
      return;
    }
    format_flash(board->flash(), out);
  }
  const long lines = bench::count_lines(out.str());
  if (lines != 4064 || out.str().find("FAIL") != std::string::npos) {
    bench::report_failure(state, "format pass printed " + std::to_string(lines) + " lines");
    return;
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_FormatPass)->Unit(benchmark::kMillisecond);

}  // namespace
