// The steps by which ShiftTally::report lays out the runs it kept, each
// filling its part of the report. They share what the first steps find.
#ifndef FLASHPREP_SUMMARY_SHIFT_STEPS_H_
#define FLASHPREP_SUMMARY_SHIFT_STEPS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "summary/shift_report.h"
#include "summary/shift_runs.h"

struct Analysis {
  bool with_simulated = false;
  int64_t zone_offset_ms = 0;     // the timeline's round hours are the zone's at the first start
  std::vector<uint32_t> counted;  // the runs counted, by start (then as read)
  std::vector<uint32_t> station_of_where;  // the station each place belongs to
  std::vector<std::string> stations;       // their names in the report
  std::vector<uint32_t> board_of_run;      // set by count_boards
};

// Marks every record alike in station, boot, board (place and serial) and
// start to an earlier one as a copy; returns how many.
uint64_t drop_copies(RunTable* table);

// Names the stations: one per name, or one per boot of a name whose boots'
// runs overlap on one port (told in report->shared_names).
void tell_stations_apart(const RunTable& table, Analysis* a, ShiftReport* report);

// The runs counted (a->counted), in order of their starts.
void order_counted(const RunTable& table, Analysis* a);

// The totals, stations and ports, and the ports that stand out.
void count_ports(const RunTable& table, const Analysis& a, ShiftReport* report);

// NOT READY runs by reason, and the runs the station ended by theirs.
void count_reasons(const RunTable& table, const Analysis& a, ShiftReport* report);

// Boards: their runs in order, first-pass and final yield, the lists; each
// run's number among its board's (Run::nth), and a->board_of_run.
void count_boards(RunTable* table, Analysis* a, ShiftReport* report);

// The blocks failed on more than one board (after count_boards).
void count_blocks(const RunTable& table, const Analysis& a, ShiftReport* report);

// The driver images, which stations used which, and when a station changed.
void count_images(const RunTable& table, const Analysis& a, ShiftReport* report);

// Seconds per run, the time at work, the pace and the timeline.
void count_pace(const RunTable& table, const Analysis& a, ShiftReport* report);

// The board's name where it has no serial: "station port plug boot/devnum".
std::string plug_board_name(const RunTable& table, const Analysis& a, const Run& run);

#endif  // FLASHPREP_SUMMARY_SHIFT_STEPS_H_
