// The format pass: formats serial-flash blocks 0-2527 and 2560-4095 one by
// one, keeps an 8-bit sum of the 256 bytes the driver returns for each block
// that formatted, and stores the sums, 256 to a table, in blocks 2528 onward.
#ifndef FLASHPREP_APP_FORMAT_PASS_H_
#define FLASHPREP_APP_FORMAT_PASS_H_

#include <cstdint>
#include <ostream>

class SerialFlash;

namespace format_layout {
constexpr uint16_t kFirstRangeEnd = 2527;    // blocks 0..2527
constexpr uint16_t kFirstTableBlock = 2528;  // reserved 2528..2559 hold the tables
constexpr uint16_t kSecondRangeFirst = 2560;
constexpr uint16_t kLastBlock = 4095;
}  // namespace format_layout

// Runs the whole pass; single-block failures are reported per line and never
// stop it.
void format_flash(SerialFlash& flash, std::ostream& out);

#endif  // FLASHPREP_APP_FORMAT_PASS_H_
