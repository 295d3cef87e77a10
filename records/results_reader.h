// Reading results files (JSON Lines, one record per board), for the shift
// report and for a station started again, by the one rule of
// records/record_line.h: a line that is no whole record is skipped, counted
// and named, and reading goes on.
//
// Each line is read with nlohmann/json's event (SAX) parser, so no document
// is built. The lines of a file are parsed in pieces of a few MB on up to
// four threads and handed on in the order of the files and their lines, so
// a results file of a million records is read in seconds and in a few MB.
#ifndef FLASHPREP_RECORDS_RESULTS_READER_H_
#define FLASHPREP_RECORDS_RESULTS_READER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "records/record.h"
#include "records/record_line.h"

// One record as read. The views point into the reader's buffers and hold
// only while the record is handed on. Members the record leaves out are
// empty (schema 1 has none after version).
struct ResultRecord {
  size_t file = 0;    // index into the list of files read
  uint64_t line = 0;  // from 1
  int schema = 1;
  std::string_view board;
  int64_t start_ms = 0;  // UTC, milliseconds since 1970
  int64_t end_ms = 0;
  double seconds = 0;
  Outcome verdict = Outcome::ready;
  std::vector<std::string_view> reasons;
  std::string_view log;  // empty when null
  std::string_view version;
  std::string_view station;
  std::string_view port;
  std::string_view bus;
  std::string_view device;
  int64_t devnum = 0;
  std::string_view boot;
  std::string_view serial;
  bool image_read = false;  // schema 2 with an image object (null: it could not be read)
  std::string_view image_file;
  std::string_view image_sha256;
  int64_t image_bytes = 0;
  std::string_view image_start;
  std::string_view image_end;
  int64_t image_blocks = 0;
  // driver_downloaded, driver_refused, flash_formatted, flash_failed,
  // table_written, table_refused
  int64_t counts[6] = {0, 0, 0, 0, 0, 0};
  std::vector<BlockRange> failed_blocks;
};

// The record as plain values, to keep beyond the reading.
RunRecord owned_record(const ResultRecord& record);

// A line skipped: where, and why.
struct SkippedLine {
  size_t file;
  uint64_t line;
  LineDamage damage;
};

struct ReadNotes {
  std::vector<uint64_t> records_per_file;
  uint64_t skipped_count = 0;  // every line skipped
  // The first kMostSkippedNamed of them, in the order of the files and
  // their lines: a file that is no results file at all is not kept line by
  // line.
  std::vector<SkippedLine> skipped;
  static constexpr size_t kMostSkippedNamed = 1000;
};

// Reads `paths` in order and hands each record to `take`, in the order of the
// files and their lines; lines that are no record are noted in `notes`. True
// when every file was read to its end; false at the first file that cannot
// be read, with "FILE: cannot read: why" in *error (records before it may
// have been handed on).
bool read_results(const std::vector<std::string>& paths,
                  const std::function<void(const ResultRecord&)>& take, ReadNotes* notes,
                  std::string* error);

#endif  // FLASHPREP_RECORDS_RESULTS_READER_H_
