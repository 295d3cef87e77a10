// What one run's saved output says about the run: where it ended, the driver
// summary, the fate of each driver block and of each of the 4096 flash blocks.
// The reader knows every line a run prints and where it prints it, so it also
// tells a complete log from a cut one and from text that no run printed.
#ifndef FLASHPREP_RUNLOG_RUN_LOG_H_
#define FLASHPREP_RUNLOG_RUN_LOG_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/board_facts.h"
#include "runlog/log_lines.h"

// What the log tells of one flash block.
enum class FlashBlock : uint8_t {
  not_reached,    // the run stopped, or the log is cut, before the run got to it
  formatted,      // BLOCK n FORMATTED
  failed,         // FAIL: FORMATTING BLOCK n
  table_written,  // a table went there and no refusal followed
  table_refused,  // FAIL: WRITING BLOCK t
  unused,         // kept for the tables but not written by this run
};

enum class DriverBlock : uint8_t { not_reached, downloaded, refused };

struct RunLog {
  enum class End : uint8_t {
    complete,   // ends where a run ends
    cut,        // a run's lines, but the run went on after the last of them
    not_a_log,  // a line that no run prints at its place
  };
  End end = End::cut;
  int lines = 0;             // whole lines read as a run's
  bool cut_in_line = false;  // cut: the last line holds only the start of a line
  std::string problem;       // not_a_log: the line that is none of a run's, and why

  std::string stopped_by;  // the FAIL line of the preparatory step that ended the run, if any
  std::vector<std::string> driver_summary;  // the BYTES, START, END and BLOCKS lines, if printed
  int first_driver_block = 0;
  std::vector<DriverBlock> driver_blocks;  // BLOCKS of them, numbered from first_driver_block
  std::array<FlashBlock, kFlashBlocks> flash{};
};

class RunLogParser;

// Reads one run's output line by line as it comes, for a reader that follows
// a log while it is written: each line costs the same however long the log
// already is. Never fails: lines that are no run's output make run().end
// not_a_log, with the first such line in `problem`, and later lines are then
// ignored.
//
// Ownership: the reader owns its parser. Not copyable.
class RunLogReader {
 public:
  RunLogReader();
  ~RunLogReader();
  RunLogReader(const RunLogReader&) = delete;
  RunLogReader& operator=(const RunLogReader&) = delete;

  // Takes the next line. A line without its end can only be the last one.
  void take(const LogLine& line);
  // What the lines so far say; `end` stays `cut` until finish(), as more
  // lines may come.
  const RunLog& run() const { return log_; }
  // The log has no more lines: settles whether it is complete and what the
  // blocks not named in it are. Later lines are ignored.
  const RunLog& finish();

 private:
  RunLog log_;
  std::unique_ptr<RunLogParser> parser_;  // refers to log_
  bool finished_ = false;
};

// How many flash blocks of `log` are in `state`; how many driver blocks in
// `state`.
int count_blocks(const RunLog& log, FlashBlock state);
int count_driver_blocks(const RunLog& log, DriverBlock state);

// Reads the lines of one run's output. Never fails: anything that is not a
// run's output comes back with end == not_a_log and the first such line in
// `problem`; the other fields then say what the lines before it said.
RunLog read_run_log(const std::vector<LogLine>& lines);

#endif  // FLASHPREP_RUNLOG_RUN_LOG_H_
