#include "runlog/run_log.h"

#include <algorithm>
#include <iterator>

#include "board/board_facts.h"

using namespace format_layout;

namespace {

// Each range fills a table every kTableEntries formatted blocks and writes
// one more at its end, so a run writes at most this many tables.
constexpr int kMostTables = (kFirstRangeEnd + 1) / kTableEntries + 1 +
                            (kLastBlock - kSecondRangeFirst + 1) / kTableEntries + 1;
constexpr int kLastTableBlock = kFirstTableBlock + kMostTables - 1;
constexpr size_t kLongestNumber = 8;  // digits of a 32-bit hexadecimal address
constexpr size_t kQuotedChars = 60;

// The lines of a run, in the order it can print them.
enum class Kind : uint8_t {
  start_failed,
  bootloader_missing,
  driver_not_loaded,
  bytes,
  start,
  end,
  blocks,
  downloaded,
  driver_refused,
  init_failed,
  formatted,
  format_failed,
  write_refused,
};

enum class Number : uint8_t { none, decimal, hex };

// One line that a run can print at the current place: the whole line, or its
// label when a number of the run's choosing follows.
struct Expected {
  Kind kind;
  std::string text;
  Number number = Number::none;
  int block = 0;  // the block a whole line names
};

std::string block_line(int n, const char* what) {
  return "BLOCK " + std::to_string(n) + what;
}

bool is_digit_of(char c, Number number) {
  return (c >= '0' && c <= '9') || (number == Number::hex && c >= 'A' && c <= 'F');
}

// A number as the run prints it: no sign, no leading zero, hex in upper case.
bool parse_number(const std::string& digits, Number number, uint32_t* value) {
  if (digits.empty() || digits.size() > kLongestNumber || (digits.size() > 1 && digits[0] == '0'))
    return false;
  const uint32_t base = number == Number::hex ? 16 : 10;
  uint32_t v = 0;
  for (const char c : digits) {
    if (!is_digit_of(c, number))
      return false;
    v = v * base + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
  }
  *value = v;
  return true;
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// The line as it may be shown back: printable ASCII, not too long.
std::string quoted(const std::string& line) {
  std::string out = "\"";
  for (size_t i = 0; i < line.size() && i < kQuotedChars; ++i) {
    const char c = line[i];
    out += (c >= ' ' && c <= '~') ? c : '?';
  }
  if (line.size() > kQuotedChars)
    out += "...";
  return out + "\"";
}

}  // namespace

// Follows a run line by line, keeping the state the run itself keeps: the
// next block, how full the table is and which table block comes next.
class RunLogParser {
 public:
  explicit RunLogParser(RunLog* log) : log_(*log) {}

  // Takes one whole line. False when a run cannot print it here; `problem`
  // then says why, and nothing else has changed.
  bool take(const std::string& line);

  // True when a run could print a line starting with `partial` here.
  bool could_begin(const std::string& partial) const;

  // The log ends after the lines taken: settles whether it is complete and
  // what the blocks not named in it are.
  void finish();

  const std::string& problem() const { return problem_; }

 private:
  enum class Phase : uint8_t { first, start, end, blocks, driver, format, ended };

  std::vector<Expected> expected() const;
  void add_format_lines(std::vector<Expected>* out) const;
  bool apply(const Expected& e, uint32_t value, const std::string& line);
  bool check_driver_summary(uint32_t blocks, const std::string& line);
  void block_done(int n, bool formatted);
  void writes_went_through();
  void write_refused(int table);

  RunLog& log_;
  std::string problem_;
  Phase phase_ = Phase::first;
  uint32_t bytes_ = 0;
  uint32_t start_ = 0;
  uint32_t end_ = 0;
  size_t driver_lines_ = 0;
  int next_block_ = 0;  // past kLastBlock once the pass is through
  int fill_ = 0;        // entries in the table being filled
  int next_table_ = kFirstTableBlock;
  std::vector<int> pending_writes_;  // table writes whose outcome is not yet known
};

std::vector<Expected> RunLogParser::expected() const {
  std::vector<Expected> out;
  switch (phase_) {
    case Phase::first:
      out.push_back({Kind::start_failed, "FAIL: UNABLE TO START DRIVER"});
      out.push_back({Kind::bootloader_missing, "FAIL: BOOTLOADER NOT PRESENT"});
      out.push_back({Kind::driver_not_loaded, "FAIL: SERIAL DRIVER NOT LOADED"});
      out.push_back({Kind::bytes, "BYTES  : ", Number::decimal});
      break;
    case Phase::start:
      out.push_back({Kind::start, "START  : ", Number::hex});
      break;
    case Phase::end:
      out.push_back({Kind::end, "END    : ", Number::hex});
      break;
    case Phase::blocks:
      out.push_back({Kind::blocks, "BLOCKS : ", Number::decimal});
      break;
    case Phase::driver:
      if (driver_lines_ < log_.driver_blocks.size()) {
        const int k = log_.first_driver_block + static_cast<int>(driver_lines_);
        out.push_back({Kind::downloaded, block_line(k, " DOWNLOADED"), Number::none, k});
        out.push_back({Kind::driver_refused, block_line(k, " FAILED"), Number::none, k});
      } else if (log_.driver_blocks.empty()) {
        // An image without a driver byte is not sent at all.
        out.push_back({Kind::driver_not_loaded, "FAIL: SERIAL DRIVER NOT LOADED"});
      } else {
        out.push_back({Kind::init_failed, "FAIL: SERIAL FLASH NOT INITIALIZED"});
        add_format_lines(&out);
      }
      break;
    case Phase::format:
      add_format_lines(&out);
      break;
    case Phase::ended:
      break;
  }
  return out;
}

// A refused table write is reported right after the line that filled the
// table or ended the range; then comes the next block's line.
void RunLogParser::add_format_lines(std::vector<Expected>* out) const {
  std::transform(pending_writes_.begin(), pending_writes_.end(), std::back_inserter(*out),
                 [](int t) {
                   return Expected{Kind::write_refused, "FAIL: WRITING BLOCK " + std::to_string(t),
                                   Number::none, t};
                 });
  if (next_block_ <= kLastBlock) {
    const int n = next_block_;
    out->push_back({Kind::formatted, block_line(n, " FORMATTED"), Number::none, n});
    out->push_back(
        {Kind::format_failed, "FAIL: FORMATTING BLOCK " + std::to_string(n), Number::none, n});
  }
}

bool RunLogParser::take(const std::string& line) {
  const std::vector<Expected> lines = expected();
  for (const Expected& e : lines) {
    uint32_t value = 0;
    if (e.number == Number::none ? line == e.text
                                 : starts_with(line, e.text) &&
                                       parse_number(line.substr(e.text.size()), e.number, &value))
      return apply(e, value, line);
  }
  if (lines.empty()) {
    problem_ = quoted(line) + " AFTER THE RUN HAD ENDED";
    return false;
  }
  problem_ = quoted(line) + " WHERE A RUN PRINTS ";
  for (size_t i = 0; i < lines.size(); ++i) {
    problem_ += i == 0 ? "" : i + 1 == lines.size() ? " OR " : ", ";
    problem_ += lines[i].text;
    problem_ += lines[i].number == Number::none      ? ""
                : lines[i].number == Number::decimal ? "n"
                                                     : "address";
  }
  return false;
}

bool RunLogParser::could_begin(const std::string& partial) const {
  for (const Expected& e : expected()) {
    if (starts_with(e.text, partial))
      return true;
    if (e.number != Number::none && starts_with(partial, e.text) &&
        partial.size() - e.text.size() <= kLongestNumber) {
      bool digits = true;
      for (size_t i = e.text.size(); i < partial.size(); ++i)
        digits = digits && is_digit_of(partial[i], e.number);
      if (digits)
        return true;
    }
  }
  return false;
}

bool RunLogParser::apply(const Expected& e, uint32_t value, const std::string& line) {
  switch (e.kind) {
    case Kind::start_failed:
    case Kind::bootloader_missing:
    case Kind::driver_not_loaded:
    case Kind::init_failed:
      log_.stopped_by = line;
      phase_ = Phase::ended;
      return true;
    case Kind::bytes:
      bytes_ = value;
      phase_ = Phase::start;
      break;
    case Kind::start:
      start_ = value;
      phase_ = Phase::end;
      break;
    case Kind::end:
      end_ = value;
      phase_ = Phase::blocks;
      break;
    case Kind::blocks:
      if (!check_driver_summary(value, line))
        return false;
      phase_ = Phase::driver;
      break;
    case Kind::downloaded:
    case Kind::driver_refused:
      log_.driver_blocks[driver_lines_++] =
          e.kind == Kind::downloaded ? DriverBlock::downloaded : DriverBlock::refused;
      return true;
    case Kind::formatted:
    case Kind::format_failed:
      phase_ = Phase::format;
      writes_went_through();
      block_done(e.block, e.kind == Kind::formatted);
      return true;
    case Kind::write_refused:
      write_refused(e.block);
      return true;
  }
  // One of the four summary lines: kept as the run printed it.
  log_.driver_summary.push_back(line);
  return true;
}

// START, END and BLOCKS must describe one image in the driver RAM, as the run
// computes them; an image that stored nothing reports the empty span.
bool RunLogParser::check_driver_summary(uint32_t blocks, const std::string& line) {
  bool ok = false;
  uint32_t first = 0;
  if (bytes_ == 0) {
    ok = start_ == kDriverRamLast && end_ == kDriverRamFirst && blocks == 0;
  } else if (start_ >= kDriverRamFirst && start_ <= end_ && end_ <= kDriverRamLast &&
             bytes_ <= end_ - start_ + 1) {
    first = (start_ - kDriverRamFirst) / kBlockBytes;
    ok = blocks == (end_ - kDriverRamFirst) / kBlockBytes - first + 1;
  }
  if (!ok) {
    problem_ = quoted(line) + " DOES NOT FIT THE BYTES, START AND END LINES BEFORE IT";
    return false;
  }
  log_.first_driver_block = static_cast<int>(first);
  log_.driver_blocks.assign(blocks, DriverBlock::not_reached);
  return true;
}

// The run's table rule: every kTableEntries formatted blocks fill a table,
// which is written at once; each range ends with one more write.
void RunLogParser::block_done(int n, bool formatted) {
  log_.flash[n] = formatted ? FlashBlock::formatted : FlashBlock::failed;
  if (formatted) {
    fill_ = (fill_ + 1) % kTableEntries;
    if (fill_ == 0)
      pending_writes_.push_back(next_table_++);
  }
  if (n == kFirstRangeEnd || n == kLastBlock) {
    fill_ = 0;
    pending_writes_.push_back(next_table_++);
  }
  next_block_ = n == kFirstRangeEnd ? kSecondRangeFirst : n + 1;
}

// No refusal was reported for the pending writes: they went through.
void RunLogParser::writes_went_through() {
  for (const int t : pending_writes_)
    log_.flash[t] = FlashBlock::table_written;
  pending_writes_.clear();
}

// Refusals are reported in the order of the writes, so the pending writes
// before `table` went through. REQUIRES: `table` is pending.
void RunLogParser::write_refused(int table) {
  const auto refused = std::find(pending_writes_.begin(), pending_writes_.end(), table);
  for (auto t = pending_writes_.begin(); t != refused; ++t)
    log_.flash[*t] = FlashBlock::table_written;
  log_.flash[table] = FlashBlock::table_refused;
  pending_writes_.erase(pending_writes_.begin(), refused + 1);
}

void RunLogParser::finish() {
  const bool complete =
      phase_ == Phase::ended || (phase_ == Phase::format && next_block_ > kLastBlock);
  log_.end = complete ? RunLog::End::complete : RunLog::End::cut;
  if (complete)
    writes_went_through();
  // The reserved blocks no table went to are unused, but for those a cut
  // run, or one stopped before its format pass, had not reached yet: up to
  // the last that any run writes.
  const bool passed = complete && log_.stopped_by.empty();
  for (int t = kFirstTableBlock; t < kSecondRangeFirst; ++t) {
    if (log_.flash[t] == FlashBlock::not_reached && (passed || t > kLastTableBlock))
      log_.flash[t] = FlashBlock::unused;
  }
}

RunLogReader::RunLogReader() : parser_(std::make_unique<RunLogParser>(&log_)) {}

RunLogReader::~RunLogReader() = default;

void RunLogReader::take(const LogLine& line) {
  if (log_.end == RunLog::End::not_a_log || log_.cut_in_line || finished_)
    return;
  if (parser_->take(line.text)) {
    ++log_.lines;
    return;
  }
  // Only the last line can lack its end; if it starts a line that the run
  // prints here, the run was stopped, or the file cut, in the middle of it.
  if (!line.ended && parser_->could_begin(line.text)) {
    log_.cut_in_line = true;
    return;
  }
  log_.end = RunLog::End::not_a_log;
  log_.problem = "LINE " + std::to_string(log_.lines + 1) + ": " + parser_->problem();
}

const RunLog& RunLogReader::finish() {
  if (!finished_ && log_.end != RunLog::End::not_a_log)
    parser_->finish();
  finished_ = true;
  return log_;
}

int count_blocks(const RunLog& log, FlashBlock state) {
  return static_cast<int>(std::count(log.flash.begin(), log.flash.end(), state));
}

int count_driver_blocks(const RunLog& log, DriverBlock state) {
  return static_cast<int>(std::count(log.driver_blocks.begin(), log.driver_blocks.end(), state));
}

RunLog read_run_log(const std::vector<LogLine>& lines) {
  RunLogReader reader;
  for (const LogLine& line : lines)
    reader.take(line);
  return reader.finish();
}
