// The shift report: what one or more stations' results files say of a line's
// boards, counted as the records come (ShiftTally) and then laid out once
// (ShiftReport) for the text on a terminal and the HTML page.
//
// The rules the report applies, stated once here and in --help:
//  - A board is one record. NOT READY counts every verdict but READY (NOT A
//    FLASHPREP LOG too); the yield is READY / boards.
//  - A record's station is its "station" member, "unknown" for schema 1; its
//    port is its "port" member or, where the record has none (Windows, a
//    simulated board of a folder, schema 1), the name the station gave the
//    board's place ("board").
//  - With --since/--until a record counts when since <= start < until.
//  - Boards per hour: boards / hours from the first start to the last end.
//    Seconds per board: the records' own "seconds"; the median, and the 95th
//    percentile as the value at rank ceil(0.95 n) of the n sorted.
//  - A failure's reason is the reason's label, the text before ": " (RUN
//    STOPPED keeps its FAIL line); a board counts once under each label.
//  - A port stands out when it has at least 3 NOT READY boards, a failure
//    rate at least twice that of all the other ports together, and the
//    chance that a port failing at the others' rate fails as many of its
//    boards (the binomial tail) is below 1 % divided by the number of ports,
//    so that over a whole report chance alone flags a port less than once in
//    a hundred reports.
//  - A block failed on a board when it lies in a record's failed_blocks; a
//    board is its serial where the record has one (a board prepared twice
//    with the same block failing counts once), else the record.
//  - The line's image is the one most boards were prepared with (the first
//    in sha256 order on a tie); a station that prepared a board with another
//    is flagged.
//  - A board prepared more than once is a serial on more than one record;
//    its last verdict is that of its latest start.
#ifndef FLASHPREP_SUMMARY_SHIFT_REPORT_H_
#define FLASHPREP_SUMMARY_SHIFT_REPORT_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/results_reader.h"
#include "summary/string_table.h"

struct Counts {
  uint64_t boards = 0;
  uint64_t ready = 0;
  uint64_t not_ready() const { return boards - ready; }
  double yield_percent() const {
    return boards == 0 ? 0 : 100.0 * static_cast<double>(ready) / static_cast<double>(boards);
  }
};

struct ShiftReport {
  std::vector<std::string> files;
  ReadNotes notes;
  bool since_given = false;
  bool until_given = false;
  int64_t since_ms = 0;
  int64_t until_ms = 0;
  uint64_t outside_window = 0;  // records read but not counted
  uint64_t schema1 = 0;         // counted records of schema 1

  Counts total;
  int64_t first_start_ms = 0;  // of the counted records; meaningless when total.boards == 0
  int64_t last_end_ms = 0;
  double boards_per_hour = 0;  // 0 when the records span no time
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
    std::string name;
    Counts counts;
    std::vector<Port> ports;                // in natural order of their names
    std::vector<std::string> other_images;  // sha256 of images other than the line's
  };
  std::vector<Station> stations;  // in natural order of their names
  int ports = 0;                  // how many, over every station
  int ports_standing_out = 0;

  struct Reason {
    std::string label;
    uint64_t boards = 0;
  };
  std::vector<Reason> reasons;  // most boards first

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
    uint64_t boards = 0;
    std::vector<std::string> stations;
  };
  std::vector<Image> images;  // the line's first, then most boards first
  uint64_t no_image = 0;      // schema 2 records whose image could not be read

  struct Repeat {
    std::string serial;
    uint64_t times = 0;
    Outcome last = Outcome::ready;
    std::string last_station;
    std::string last_port;
    int64_t last_start_ms = 0;
  };
  uint64_t repeated = 0;            // serials on more than one record
  uint64_t repeated_not_ready = 0;  // of them, last NOT READY
  std::vector<Repeat> repeats;      // last NOT READY first, then most times; at most kMostRepeats

  struct Bucket {
    int64_t start_ms = 0;
    Counts counts;
  };
  int64_t bucket_ms = 0;         // the width of a bucket of the shift's timeline
  std::vector<Bucket> timeline;  // from the first start's bucket to the last's

  static constexpr size_t kMostRepeats = 50;
};

// Counts records as they are read, then lays them out.
class ShiftTally {
 public:
  ShiftTally(bool since_given, int64_t since_ms, bool until_given, int64_t until_ms);

  void add(const ResultRecord& record);
  // The report; `files` and `notes` are those of the reading.
  ShiftReport report(const std::vector<std::string>& files, const ReadNotes& notes) const;

 private:
  struct PortTally {
    uint32_t station;
    uint32_t port;
    Counts counts;
  };
  struct SerialTally {
    uint32_t times = 0;
    Outcome last = Outcome::ready;
    uint32_t last_station = 0;
    uint32_t last_port = 0;
    int64_t last_start_ms = 0;
    uint64_t last_order = 0;  // file and line, for starts at the same millisecond
  };
  struct BlockEvent {
    uint32_t board;
    BlockRange range;
  };

  bool since_given_;
  bool until_given_;
  int64_t since_ms_;
  int64_t until_ms_;
  uint64_t outside_window_ = 0;
  uint64_t schema1_ = 0;
  int64_t first_start_ms_ = INT64_MAX;
  int64_t last_end_ms_ = INT64_MIN;

  // One entry per counted record.
  std::vector<int64_t> starts_;
  std::vector<float> seconds_;
  std::vector<uint8_t> ready_;

  StringTable stations_;
  uint32_t last_station_ = StringTable::kNone;
  std::vector<Counts> station_counts_;
  StringTable port_names_;
  std::unordered_map<uint64_t, PortTally> ports_;  // by station << 32 | port
  StringTable reasons_;
  std::vector<uint64_t> reason_boards_;
  StringTable images_;  // by sha256
  std::vector<std::string> image_files_;
  std::vector<int64_t> image_bytes_;
  std::vector<uint64_t> image_boards_;
  std::unordered_map<uint64_t, uint64_t> station_images_;  // boards by station << 32 | image
  uint64_t no_image_ = 0;
  StringTable serials_;
  std::vector<SerialTally> serial_tallies_;
  std::vector<BlockEvent> block_events_;
  uint32_t boards_without_serial_ = 0;
  std::vector<uint32_t> record_reasons_;  // scratch
};

#endif  // FLASHPREP_SUMMARY_SHIFT_REPORT_H_
