// The format pass: formats serial-flash blocks 0-2527 and 2560-4095 one by
// one, keeps an 8-bit sum of the 256 bytes the driver returns for each block
// that formatted, and stores the sums, 256 to a table, in blocks 2528 onward.
#ifndef FLASHPREP_APP_FORMAT_PASS_H_
#define FLASHPREP_APP_FORMAT_PASS_H_

#include <cstdint>
#include <ostream>

#include "board/board_facts.h"

class SerialFlash;

// Runs the whole pass; single-block failures are reported per line and never
// stop it.
void format_flash(SerialFlash& flash, std::ostream& out);

#endif  // FLASHPREP_APP_FORMAT_PASS_H_
