// The whole run of flashprep, from finding the board to the last formatted
// block. Writes every line to `out`; the run stops at the first preparatory
// step that fails, after writing that step's FAIL line.
#ifndef FLASHPREP_APP_FLASHPREP_RUN_H_
#define FLASHPREP_APP_FLASHPREP_RUN_H_

#include <ostream>

#include "usb/usb_bootloader.h"

// Returns 0 when nobody asked the run to stop, whatever its lines say:
// scripts read the lines, not the exit status.
//
// Ctrl-C and the like (app/interrupt.h) stop the run where its next request
// would start: the exchange in flight completes and writes its line as
// usual; then nothing more is sent and nothing more is written (`out` is left
// set to fail), and the device is released and closed. The result is then
// the request (interrupt_request()), also when it came after the last
// exchange, and the caller ends the process by it (end_by_interrupt()). A
// run that ends by itself before its next request (a missing driver file)
// writes its lines as it would have.
//
// `place` names the one board to prepare; by default the first board found,
// as flashprep itself always does.
//
// `busy` (when given) is set true when the board could not be started
// because another process holds it (UsbBootloader::busy()).
int run_flashprep(std::ostream& out, const UsbPlace& place = UsbPlace(), bool* busy = nullptr);

#endif  // FLASHPREP_APP_FLASHPREP_RUN_H_
