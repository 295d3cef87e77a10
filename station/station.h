// The station: every board plugged in at the start, each prepared by a
// process of its own running flashprep's run on that board only.
#ifndef FLASHPREP_STATION_STATION_H_
#define FLASHPREP_STATION_STATION_H_

#include <ostream>
#include <string>

#include "usb/usb_bootloader.h"

class ResultsFile;

// Exit statuses of the station.
constexpr int kAllReady = 0;
constexpr int kSomeNotReady = 1;
constexpr int kNoBoardOrUsage = 2;

// The internal option that makes the program the process of one board:
// `PROGRAM --run-board BUS DEVICE`, its standard output on the board's log.
constexpr const char* kRunBoardOption = "--run-board";

struct StationOptions {
  std::string program;                // started again as each board's process
  std::string logs = "station-logs";  // the boards' logs go in this folder
  std::string results;                // the results file; "" for none
  std::string version;                // of the tool, for the results file
};

// Lists the boards, starts `program --run-board BUS DEVICE` for each with
// its output on `logs/NAME.log` (creating the folder `logs`), follows the
// logs and shows the boards on `out` (see station/station_view.h), appends
// each finished board's record to the results file (station/run_record.h),
// waits for every process, and returns kAllReady when every board's log is
// READY, kSomeNotReady otherwise, kNoBoardOrUsage when there is no board or
// the logs or the results cannot be written.
//
// A stop request (app/interrupt.h) is passed on once to every board's
// process, which ends its exchange, writes its line and closes its board;
// no further board is started. The request is left in `*request` (0 for
// none) for the caller to end the process by, once everything is shown.
int run_station(const StationOptions& options, std::ostream& out, int* request);

// Watching (station/watch.cpp): as run_station, but it keeps running and
// looks at the buses about once a second; every board plugged in, at the
// start or later, is prepared once, each run's log in a file of its own
// (`logs/NAME.YYYYMMDDTHHMMSSZ.log`, the run's start in UTC, "-2", "-3"...
// added when that name is taken). A board left plugged after its run is not
// prepared again; pulled out and plugged in again (another device number),
// it is. It returns only on a stop request, which it serves as run_station
// does (and then kAllReady when every run of the session was READY,
// kSomeNotReady otherwise), or at once with kNoBoardOrUsage when the logs
// folder or the results file cannot be written.
int run_watch(const StationOptions& options, std::ostream& out, int* request);

// What both ways of running write to, made ready before the first board:
// creates the logs folder and opens `results` on the results file (when
// one is named). False, with the reason on stderr, when either cannot be.
bool open_station_outputs(const StationOptions& options, ResultsFile* results);

// The process of one board: flashprep's run on the board at `place`, its
// lines on standard output. Returns the stop request (0 for none), as
// run_flashprep() does.
int run_board(const UsbPlace& place);

#endif  // FLASHPREP_STATION_STATION_H_
