// The reasons by which the station, not the board, ended a run: the run is
// no verdict on the board, and the shift report counts it apart, never as a
// failure. A reason is one of them when it starts with one of these words,
// whole (followed by nothing, a space or a colon).
//
// This is the one list to extend when the station learns a new way of
// ending a run.
#ifndef FLASHPREP_SUMMARY_STATION_ENDS_H_
#define FLASHPREP_SUMMARY_STATION_ENDS_H_

#include <string_view>

inline constexpr std::string_view kStationEnds[] = {
    "STOPPED BY SIGNAL",  // the station was stopped (Ctrl-C, SIGTERM) during the run
    "NOT STARTED",        // the board's process could not be started
    "NOT WAITED FOR",     // the station ended before the board's process did
    "BUSY",               // the board was held by another process
    "STATION ENDED",      // a run recovered after the station died
    "LOG LOST",           // the run's log is gone, so no verdict can be read
};

bool ended_by_station(std::string_view reason);

#endif  // FLASHPREP_SUMMARY_STATION_ENDS_H_
