// Reading flashprep-station's results files (JSON Lines, one record per
// board, docs/results-record.schema.json) for the shift report.
//
// Each line is read with nlohmann/json's event (SAX) parser, so no document
// is built; of a record only what the report needs is kept, and only until
// the record has been handed on. The lines of a file are parsed in pieces of
// a few MB on up to four threads and handed on in the order of the files and
// their lines, so a results file of a million records is read in seconds and
// in a few MB.
//
// Records of schema 2 (a "schema":2 member) and of schema 1 (flashprep 1.0:
// no schema member, board to version only) are read. A line that is the
// start of a record only (a station killed while writing it, or a file cut
// short by a full disk, which the station ends with a newline before its next
// record) is skipped and counted. Any other line that is no record is an
// error that names the file and the line.
#ifndef FLASHPREP_SUMMARY_RESULTS_READER_H_
#define FLASHPREP_SUMMARY_RESULTS_READER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

enum class Outcome : uint8_t { ready, not_ready, not_a_log };

struct BlockRange {
  uint16_t first;
  uint16_t last;
};

// What the report takes of one record. The views point into the reader's
// buffers and hold only while the record is handed on.
struct ResultRecord {
  size_t file = 0;    // index into the list of files read
  uint64_t line = 0;  // from 1
  int schema = 1;
  std::string_view board;
  std::string_view station;  // empty for schema 1
  std::string_view port;     // empty when absent (schema 1, or the system named none)
  std::string_view serial;   // empty when absent
  int64_t start_ms = 0;      // UTC, milliseconds since 1970
  int64_t end_ms = 0;
  double seconds = 0;
  Outcome verdict = Outcome::ready;
  std::vector<std::string_view> reasons;
  bool image_read = false;  // schema 2 with an image object (null: it could not be read)
  std::string_view image_file;
  std::string_view image_sha256;
  int64_t image_bytes = 0;
  std::vector<BlockRange> failed_blocks;  // schema 2 only
};

// A line skipped as the start of a record only.
struct CutLine {
  size_t file;
  uint64_t line;
};

struct ReadNotes {
  std::vector<uint64_t> records_per_file;
  std::vector<CutLine> cut_lines;
};

// Reads `paths` in order and hands each record to `take`, in the order of the
// files and their lines. True when every line of every file was a record or
// a cut one; false at the first file that cannot be read or line that is no
// record, with "FILE: why" or "FILE line N: why" in *error (records before
// it may have been handed on).
bool read_results(const std::vector<std::string>& paths,
                  const std::function<void(const ResultRecord&)>& take, ReadNotes* notes,
                  std::string* error);

#endif  // FLASHPREP_SUMMARY_RESULTS_READER_H_
