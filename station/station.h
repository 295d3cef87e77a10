// The station: every board plugged in at the start, each prepared by a
// process of its own running flashprep's run on that board only.
#ifndef FLASHPREP_STATION_STATION_H_
#define FLASHPREP_STATION_STATION_H_

#include <ostream>
#include <string>

#include "usb/usb_bootloader.h"

// Exit statuses of the station.
constexpr int kAllReady = 0;
constexpr int kSomeNotReady = 1;
constexpr int kNoBoardOrUsage = 2;

// The internal option that makes the program the process of one board:
// `PROGRAM --run-board BUS DEVICE`, its standard output on the board's log.
constexpr const char* kRunBoardOption = "--run-board";

// Lists the boards, starts `program --run-board BUS DEVICE` for each with
// its output on `logs/NAME.log` (creating the folder `logs`), follows the
// logs and shows the boards on `out` (see station/station_view.h), waits for
// every process, and returns kAllReady when every board's log is READY,
// kSomeNotReady otherwise, kNoBoardOrUsage when there is no board or the
// logs cannot be written.
//
// A stop request (app/interrupt.h) is passed on once to every board's
// process, which ends its exchange, writes its line and closes its board;
// no further board is started. The request is left in `*request` (0 for
// none) for the caller to end the process by, once everything is shown.
int run_station(const std::string& program, const std::string& logs, std::ostream& out,
                int* request);

// The process of one board: flashprep's run on the board at `place`, its
// lines on standard output. Returns the stop request (0 for none), as
// run_flashprep() does.
int run_board(const UsbPlace& place);

#endif  // FLASHPREP_STATION_STATION_H_
