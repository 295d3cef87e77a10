// The station: every board plugged in, each prepared by a process of its own
// running flashprep's run on that board only. Two ways of running, one pool
// of boards (station/board_pool.h) and one loop (station/run_pool.h): one
// pass over the boards plugged in at the start (station.cpp), or watching
// the buses and preparing each board as it is plugged in (watch.cpp).
#ifndef FLASHPREP_STATION_STATION_H_
#define FLASHPREP_STATION_STATION_H_

#include <ostream>
#include <string>

#include "usb/board_bus.h"

// Exit statuses of the station.
constexpr int kAllReady = 0;
constexpr int kSomeNotReady = 1;
constexpr int kCannotRun = 2;     // no board found, a bad command line, or a
                                  // driver image the run would not load
constexpr int kCannotRunNow = 3;  // its logs folder or results file cannot be
                                  // had now (unwritable, held by another
                                  // station): a service may try again later

// The internal option that makes the program the process of one board:
// `PROGRAM --run-board BUS DEVICE`, its standard output on the board's log.
constexpr const char* kRunBoardOption = "--run-board";
// A board's process ends so when another process holds its board: it did
// not touch it (the station tells it BUSY and records nothing).
constexpr int kBoardBusyStatus = 8;

struct StationOptions {
  std::string program;                      // its path, as each board's process names itself
  std::string program_file;                 // what starts it again (see own_program())
  std::string logs = "station-logs";        // the boards' logs go in this folder
  std::string results;                      // the results file; "" for none
  std::string version;                      // of the tool, for the records
  std::string station;                      // the station's name in the records
  std::string driver = "serial_flash.S19";  // the driver image every board gets
};

// One pass: lists the boards, starts each board's process with its output on
// a new log in `logs` (created when missing), follows the logs and shows the
// boards on `out` (station/station_view.h), appends each finished board's
// record to the results file (station/run_record.h) and waits for every
// process. Returns kAllReady when every board is READY, kSomeNotReady
// otherwise, and kCannotRun when there is no board, the driver image would
// fail every board, the logs folder or the results file cannot be written or
// is held by another station, or a record could not be written by the end
// (each such record is then written on standard error).
//
// A stop request (app/interrupt.h) is passed on once to every board's
// process, which ends its exchange, writes its line and closes its board; no
// further board is started. A second request ends the station without
// waiting: every run still going gets its record as far as its log tells.
// The first request is left in `*request` (0 for none) for the caller to end
// the process by, once everything is written.
int run_station(const StationOptions& options, std::ostream& out, int* request);

// Watching (station/watch.cpp): as run_station, but it keeps running and
// looks at the buses about once a second; every board plugged in, at the
// start or later, is prepared once. A board left plugged after its run is
// not prepared again; pulled out and plugged in again (another device
// number), it is; and a board a station prepared earlier in the same boot
// (a station started again after a crash) is not prepared again while it
// stays plugged (station/prepared_plugs.h). It returns only on a stop
// request (kAllReady when every run of the session was READY, kSomeNotReady
// otherwise, kCannotRun when a record was never written), or at once with
// kCannotRun when it cannot start as above.
int run_watch(const StationOptions& options, std::ostream& out, int* request);

// The process of one board: flashprep's run on the board at `place`, its
// lines on standard output. Returns the stop request (0 for none), as
// run_flashprep() does, in `*request`; the result is the exit status: 0, or
// the status that tells the station its log could not be written whole
// (station/log_output.h).
int run_board(const UsbPlace& place, int* request);

#endif  // FLASHPREP_STATION_STATION_H_
