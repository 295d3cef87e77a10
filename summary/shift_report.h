// The shift report as laid out once (by ShiftTally, summary/shift_tally.h)
// for the text on a terminal, the HTML page and the CSV file.
//
// The rules the report applies, stated once here, in --help, in the man
// page's SHIFT REPORT and in docs/user-guide.md:
//  - A run is one record. Records alike in station, boot, board (the place's
//    name and the serial) and start are one run: a file given twice, or
//    overlapping pieces of one file, count once; the copies are counted.
//  - Runs of simulated boards (bus "sim...") are left out of every figure
//    unless asked for, and counted.
//  - A run that the station ended (summary/station_ends.h) is no verdict on
//    its board: it is counted apart and never as a failure.
//  - A board is its serial where its record has one, else its station, port
//    and plug (boot, devnum). Its first run judged decides the first-pass
//    yield, its last (by start) the final yield; its other runs judged are
//    retests. A board whose last run judged is NOT READY, or that has none,
//    is NOT READY at the end.
//  - A station is its "station" member ("unknown" for schema 1). Two boots
//    of one name whose runs overlap on one port are two stations: every
//    boot of that name is then a station of its own, and named in a warning.
//    A port is the "port" member or, where there is none (Windows, a
//    simulated board of a folder, schema 1), the place's name ("board").
//  - With --since/--until a record counts when since <= start < until.
//  - Runs per hour: runs judged over the hours at work, from the first start
//    to the last end less every gap of kGapMinutes or more with no run in
//    progress; each bar of the timeline over the time of it at work. Seconds
//    per run: the runs judged, their own "seconds"; the median, and the 95th
//    percentile as the value at rank ceil(0.95 n) of the n sorted.
//  - A failure's reason is the reason's label, the text before ": " (RUN
//    STOPPED keeps its FAIL line); a run counts once under each label.
//  - A port stands out when it has at least 3 NOT READY runs, a failure
//    rate at least twice that of all the other ports together, and the
//    chance that a port failing at the others' rate fails as many of its
//    runs (the binomial tail) is below 1 % divided by the number of ports.
//  - A block counts once per board however often that board failed it.
//  - The line's image is the one most runs were started with (the first in
//    sha256 order on a tie); a station that used another is flagged, and
//    each change of a station's image is told with its time.
#ifndef FLASHPREP_SUMMARY_SHIFT_REPORT_H_
#define FLASHPREP_SUMMARY_SHIFT_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "records/results_reader.h"

// A stretch with no run in progress this long or longer is no time at work.
constexpr int kGapMinutes = 10;

// Runs judged (READY or NOT READY), and those the station ended.
struct Counts {
  uint64_t runs = 0;
  uint64_t ready = 0;
  uint64_t ended = 0;
  uint64_t not_ready() const { return runs - ready; }
  double yield_percent() const { return percent_of(ready, runs); }
  static double percent_of(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
  }
};

struct BoardTotals {
  uint64_t boards = 0;       // with at least one run, judged or not
  uint64_t judged = 0;       // with at least one run judged: the yields' whole
  uint64_t first_ready = 0;  // READY on their first run judged
  uint64_t final_ready = 0;  // READY on their last run judged
  uint64_t retested = 0;     // boards judged more than once
  uint64_t retests = 0;      // runs judged after a board's first
  uint64_t not_ready_at_end() const { return boards - final_ready; }
};

struct ShiftReport {
  std::vector<std::string> files;
  ReadNotes notes;
  std::string zone;  // the time zone the times are shown in
  bool since_given = false;
  bool until_given = false;
  int64_t since_ms = 0;
  int64_t until_ms = 0;
  bool simulated_included = false;
  uint64_t outside_window = 0;  // records read but not counted
  uint64_t schema1 = 0;         // runs of schema 1
  uint64_t duplicates = 0;      // records dropped as copies of another
  uint64_t simulated = 0;       // runs of simulated boards

  Counts total;
  BoardTotals boards;
  int64_t first_start_ms = 0;  // of the runs counted; meaningless without runs
  int64_t last_end_ms = 0;
  int64_t work_ms = 0;  // first start to last end, less the gaps
  uint64_t gaps = 0;
  double runs_per_hour = 0;  // 0 when no time at work
  double median_seconds = 0;
  double p95_seconds = 0;

  struct Port {
    std::string name;
    Counts counts;
    bool stands_out = false;
    double others_rate = 0;  // the failure rate of every other port together
    double chance = 1;       // the binomial tail at that rate
  };
  struct Station {
    std::string name;  // with its boot's first 8 digits when the name is shared
    Counts counts;
    std::vector<Port> ports;                // in natural order of their names
    std::vector<std::string> other_images;  // sha256 of images other than the line's
  };
  std::vector<Station> stations;  // in natural order of their names
  int ports = 0;                  // how many, over every station
  int ports_standing_out = 0;

  // A name two stations used: the boots told apart, and the first overlap.
  struct SharedName {
    std::string name;
    std::vector<std::string> stations;  // the names they are shown under
    std::string port;
    int64_t at_ms = 0;
  };
  std::vector<SharedName> shared_names;

  struct Reason {
    std::string label;
    uint64_t runs = 0;
  };
  std::vector<Reason> reasons;        // of NOT READY runs, most first
  std::vector<Reason> ended_reasons;  // of runs the station ended, most first

  struct Blocks {
    int first = 0;
    int last = 0;
    uint64_t boards = 0;
  };
  std::vector<Blocks> blocks;       // failed on more than one board; most boards first
  uint64_t boards_with_blocks = 0;  // boards on which a block failed (schema 2)

  struct Image {
    std::string sha256;
    std::string file;
    int64_t bytes = 0;
    uint64_t runs = 0;
    std::vector<std::string> stations;
  };
  std::vector<Image> images;  // the line's first, then most runs first
  uint64_t no_image = 0;      // schema 2 runs whose image could not be read

  struct ImageChange {
    std::string station;
    int64_t at_ms = 0;  // the start of its first run with the new image
    std::string from;   // sha256
    std::string to;
  };
  std::vector<ImageChange> image_changes;  // by time

  struct Board {
    std::string serial;  // empty: none; the board is its station, port and plug
    std::string station;
    std::string port;
    uint64_t runs = 0;  // judged
    Outcome first = Outcome::ready;
    Outcome last = Outcome::ready;
    bool judged = true;       // false: every run ended by the station
    std::string last_reason;  // of its last run, judged or not
    int64_t last_start_ms = 0;
  };
  // NOT READY at the end, by station, port and time; at most kMostListed.
  std::vector<Board> not_ready;
  // Judged more than once: last NOT READY first, then most runs; at most kMostListed.
  std::vector<Board> retested;

  struct Bucket {
    int64_t start_ms = 0;
    int64_t work_ms = 0;  // of it at work
    Counts counts;
  };
  int64_t bucket_ms = 0;         // the width of a bucket of the shift's timeline
  std::vector<Bucket> timeline;  // from the first start's bucket to the last's

  static constexpr size_t kMostListed = 500;
};

#endif  // FLASHPREP_SUMMARY_SHIFT_REPORT_H_
