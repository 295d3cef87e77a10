// Inputs and helpers shared by the benchmarks and flashprep_run_once: S-record
// texts that fill a whole image region, a full-size driver, a scratch folder
// to run the program in, and the figures a healthy full run must produce.
#ifndef FLASHPREP_BENCH_BENCH_SUPPORT_H_
#define FLASHPREP_BENCH_BENCH_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "board/board_facts.h"

namespace bench {

// The largest driver the 8 KiB driver RAM holds: 32 blocks of 256 bytes.
constexpr size_t kFullDriverBytes = kDriverRamLast - kDriverRamFirst + 1;

// What a run against a healthy board with a driver of `driver_bytes` bytes at
// 0x20000000 must show: every bulk transfer and every output line.
struct RunFigures {
  long transfers;
  long lines;
};
RunFigures expected_run(size_t driver_bytes);

// A fixed pseudo-random byte sequence (looks like code: no constant runs).
std::vector<uint8_t> sample_bytes(size_t n, uint32_t seed);

// S-record text whose data records fill the whole region of the layout the
// two flags choose, `per_record` data bytes each (S1 or S3 as the layout
// reads), after a header record and before a terminator. `variant` picks the
// data: texts of different variants hold different bytes.
std::string full_region_text(int32_t flash_image, int32_t s1_records, size_t per_record,
                             uint32_t variant = 0);

// A driver file of `bytes` bytes at 0x20000000 in 32-byte S3 records.
std::string driver_text(size_t bytes);

// A fresh folder under $TMPDIR (or /tmp) holding serial_flash.S19; removed
// with its contents by the destructor.
class DriverFolder {
 public:
  explicit DriverFolder(size_t driver_bytes);
  ~DriverFolder();
  DriverFolder(const DriverFolder&) = delete;
  DriverFolder& operator=(const DriverFolder&) = delete;
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

// Makes `dir` the working directory for the object's lifetime.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir);
  ~WorkingDirectory();
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

// Why the output of a full run with a driver of `driver_bytes` is not what a
// healthy board gives (line count, summary, first and last line), or "" when
// it is.
std::string check_run_output(const std::string& text, size_t driver_bytes);

// Counts '\n' characters.
long count_lines(const std::string& text);

}  // namespace bench

#endif  // FLASHPREP_BENCH_BENCH_SUPPORT_H_
