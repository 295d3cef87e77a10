// flashprep_run_once: one whole run of the program in-process against the
// simulated board, for tools that measure a single run (callgrind, massif).
//
//   flashprep_run_once [DRIVER_BYTES]     (default 8192: 32 driver blocks)
//
// Prints the number of USB transfers, the output lines and the peak resident
// set before and after the run; exits 1 when the output is not that of a
// healthy run. Under callgrind, collect only the run with
// --toggle-collect='run_flashprep*'.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "app/flashprep_run.h"
#include "bench/bench_support.h"
#include "sim/sim_usb.h"

namespace {

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

}  // namespace

int main(int argc, char** argv) {
  size_t driver_bytes = bench::kFullDriverBytes;
  if (argc > 2 || (argc == 2 && (driver_bytes = std::strtoul(argv[1], nullptr, 10)) == 0) ||
      driver_bytes > 8192) {
    std::fprintf(stderr, "usage: flashprep_run_once [DRIVER_BYTES 1..8192]\n");
    return 2;
  }
  bench::DriverFolder folder(driver_bytes);
  bench::WorkingDirectory cwd(folder.path());
  if (!folder.ok() || !cwd.ok()) {
    std::fprintf(stderr, "flashprep_run_once: cannot make a scratch folder with the driver\n");
    return 2;
  }
  sim::world().reset();
  sim::world().record_calls = false;
  std::ostringstream out;
  const long rss_before = peak_rss_kib();
  run_flashprep(out);
  const long rss_after = peak_rss_kib();

  const std::string text = out.str();
  std::printf("transfers %ld\nlines %ld\nmaxrss_before_kib %ld\nmaxrss_after_kib %ld\n",
              sim::world().transfers(), bench::count_lines(text), rss_before, rss_after);
  const std::string why = bench::check_run_output(text, driver_bytes);
  if (!why.empty() || sim::world().transfers() != bench::expected_run(driver_bytes).transfers) {
    std::fprintf(stderr, "flashprep_run_once: not a healthy run: %s\n",
                 why.empty() ? "transfer count" : why.c_str());
    return 1;
  }
  return 0;
}
