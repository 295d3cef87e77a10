// flashprep-summary [--svg FILE] [LOG]: the verdict on one flashprep run from
// its saved output, a short summary of it and, with --svg, a map of the flash.
// flashprep-summary --results FILE... [--since TIME] [--until TIME]
// [--html FILE]: the report of a shift from stations' results files.
// Standard C++ and nlohmann/json only, so that it builds wherever flashprep
// does.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "records/record_time.h"
#include "records/results_reader.h"
#include "runlog/log_lines.h"
#include "runlog/run_log.h"
#include "runlog/verdict.h"
#include "summary/flash_map.h"
#include "summary/output_guard.h"
#include "summary/shift_output.h"
#include "summary/shift_report.h"
#include "summary/summary_report.h"
#include "summary/terminal.h"
#include "util/command_line.h"
#include "util/write_file.h"

namespace {

// Far more than any run prints (about 150 KB, twice that as UTF-16): a longer
// input is no log, and the lines read up to here already show it.
constexpr std::streamsize kMostBytes = 1 << 20;
constexpr int kStatusTrouble = 2;  // as for a text that is no log
// The report is whole, but lines that were no record were skipped: a script
// that files the report learns that a results file was damaged.
constexpr int kStatusLinesSkipped = 1;
constexpr const char* kTimeForms = " as YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS (UTC)";

enum Option { kSvg = 1, kResults, kSince, kUntil, kHtml };

ProgramSpec summary_spec() {
  std::string about = wrapped(
      "Reads what one flashprep run printed, from LOG or, without LOG or with -, from "
      "standard input, and prints READY, NOT READY or NOT A FLASHPREP LOG, a REASON "
      "line for each rule below that holds, the driver summary the run printed and "
      "the counts of driver, flash and table blocks.",
      "");
  about += "\nRules:\n";
  for (const RuleText& rule : all_rules()) {
    about += "  " + std::string(rule.label) + " (exit status " + std::to_string(rule.exit_status) +
             ")\n" + wrapped(rule.text, "      ");
  }
  std::string more = "Shift report:\n";
  const char* const report_paragraphs[] = {
      "With --results, reads the results files of one or more flashprep-station --results "
      "(one JSON record per board, docs/results-record.schema.json; records of flashprep 1.0 "
      "too) and prints a report of the shift: boards, READY, NOT READY and the yield, overall "
      "and per station and port; boards per hour and the median and 95th percentile of the "
      "seconds per board; the failures by reason, most frequent first; the ports that stand "
      "out; the blocks that failed on more than one board; the driver images in use, with each "
      "station that used another than the line's; and the boards (by serial) prepared more than "
      "once, with their last verdict.",
      "NOT READY counts every verdict but READY. A board's station is its record's station "
      "(unknown for flashprep 1.0) and its port the record's port or, where it has none, the "
      "name the station gave the board's place. Boards per hour: boards over the hours from the "
      "first start to the last end; the 95th percentile is the value at rank ceil(0.95 n). A "
      "failure counts under its reason's label (the text before the first colon; RUN STOPPED "
      "keeps its FAIL line).",
      "A port stands out when it has at least 3 NOT READY boards, a failure rate at least twice "
      "that of all the other ports together, and the chance that a port failing at their rate "
      "fails as many of its boards or more (binomial) is below 1 % divided by the number of "
      "ports: chance alone flags a port in fewer than 1 in 100 reports.",
      "A block counts once per board (by serial, else per record). The line's driver image is "
      "the one most boards were prepared with; a station that used another is flagged.",
      "A line that is no whole record (the start of one only, left by a station stopped while "
      "writing or by a power cut; a blank line; NUL bytes; anything else; a record of a newer "
      "schema than this flashprep-summary knows) is skipped, counted and named (file and line) "
      "in the SKIPPED line, and the report goes on.",
  };
  for (const char* paragraph : report_paragraphs)
    more += wrapped(paragraph, "  ") + "\n";
  more +=
      "Files written: --svg and --html write FILE only when it is new or a map or page\n"
      "that flashprep-summary wrote (it marks them), and never over a file they read.\n"
      "\nExit status: 0 READY, 1 NOT READY, 2 NOT A FLASHPREP LOG, and 2 as well for\n"
      "bad arguments, a LOG that cannot be read or a FILE that cannot be written.\n"
      "With --results: 0 when every line of every file was a record, 1 when the report\n"
      "is whole but damaged lines were skipped, 2 when a file cannot be read.\n";
  return {
      "flashprep-summary",
      {"[--svg FILE] [LOG]", "--results RESULTS... [--since TIME] [--until TIME] [--html FILE]"},
      kAnyOperands,
      about,
      {
          {kSvg, "svg", "FILE",
           "also writes FILE, a map of the 4096 flash blocks (SVG), unless the text is no log"},
          {kResults, "results", nullptr,
           "the operands are results files: a shift's report instead (below)"},
          {kSince, "since", "TIME",
           "with --results, counts only the boards whose start is at or after TIME: UTC, as "
           "YYYY-MM-DD (its midnight), YYYY-MM-DDTHH:MM, YYYY-MM-DDTHH:MM:SS or with .mmm, a "
           "final Z allowed"},
          {kUntil, "until", "TIME", "with --results, only the boards whose start is before TIME"},
          {kHtml, "html", "FILE",
           "with --results, also writes FILE, one page with all of the report and charts of the "
           "yield and the boards per hour over the shift and of the failures by reason and by "
           "port, that any browser shows without a network"},
      },
      more};
}

int trouble(const std::string& message) {
  std::cerr << "flashprep-summary: " << message << "\n";
  return kStatusTrouble;
}

// Reads at most kMostBytes; false when the stream fails before its end.
bool read_most(std::istream& in, std::string* bytes) {
  bytes->assign(static_cast<size_t>(kMostBytes), '\0');
  in.read(bytes->data(), kMostBytes);
  bytes->resize(static_cast<size_t>(in.gcount()));
  return !in.bad();
}

struct Options {
  std::string log_path;
  std::string svg_path;
  bool results = false;
  std::vector<std::string> results_paths;
  std::string html_path;
  bool since_given = false;
  bool until_given = false;
  int64_t since_ms = 0;
  int64_t until_ms = 0;
};

int shift_report(const Options& o) {
  std::string why;
  if (!o.html_path.empty() &&
      !may_write_over(o.html_path, kShiftPageMark, "report page", o.results_paths, &why))
    return trouble(why);
  ShiftTally tally(o.since_given, o.since_ms, o.until_given, o.until_ms);
  ReadNotes notes;
  if (!read_results(
          o.results_paths, [&](const ResultRecord& record) { tally.add(record); }, &notes, &why))
    return trouble(why);
  const ShiftReport report = tally.report(o.results_paths, notes);
  // The page is written before the report is printed, as the map is.
  if (!o.html_path.empty() && !write_file(o.html_path, shift_html(report, FLASHPREP_VERSION)))
    return trouble("cannot write " + o.html_path);
  write_shift_text(report, std::cout);
  std::cout.flush();
  return notes.skipped_count == 0 ? 0 : kStatusLinesSkipped;
}

int run_summary(const Options& o) {
  const bool from_input = o.log_path.empty() || o.log_path == "-";
  // Before anything is read: `--svg run.log`, the map's name forgotten,
  // stops here rather than waiting for standard input and writing over the log.
  std::string why;
  if (!o.svg_path.empty() &&
      !may_write_over(
          o.svg_path, kFlashMapMark, "map",
          from_input ? std::vector<std::string>{} : std::vector<std::string>{o.log_path}, &why))
    return trouble(why);

  // Files are read as bytes so that line ends reach the reader as they were
  // saved. Standard input is left as it is: on Windows, in text mode, it has
  // already turned CR LF into LF.
  std::string bytes;
  bool read_ok = false;
  if (from_input) {
    // A user who gave no LOG at a terminal learns what is awaited.
    if (standard_input_is_terminal())
      std::cerr << "flashprep-summary: reading a run's output from standard input (end it with "
                << kEndOfInputKeys << "; --help tells more)\n";
    read_ok = read_most(std::cin, &bytes);
  } else {
    std::ifstream in(o.log_path, std::ios::binary);
    read_ok = in.is_open() && read_most(in, &bytes);
  }
  if (!read_ok)
    return trouble("cannot read " + (from_input ? std::string("standard input") : o.log_path));

  const RunLog log = read_run_log(split_log_lines(bytes));
  const Verdict verdict = judge(log);

  // The map is written before the verdict is printed, so that a script never
  // sees a verdict from a run whose map could not be kept.
  if (!o.svg_path.empty() && log.end != RunLog::End::not_a_log &&
      !write_file(o.svg_path, flash_map_svg(log, verdict)))
    return trouble("cannot write " + o.svg_path);
  write_summary(log, verdict, std::cout);
  std::cout.flush();
  return verdict.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
  const ProgramSpec spec = summary_spec();
  const CommandLine command = read_command_line(spec, argc, argv);
  if (!command.run)
    return command.status;
  const std::vector<CommandLineArg>& args = command.args;
  Options o;
  for (const CommandLineArg& arg : args) {
    if (arg.id == kSvg) {
      o.svg_path = arg.value;
    } else if (arg.id == kHtml) {
      o.html_path = arg.value;
    } else if (arg.id == kSince || arg.id == kUntil) {
      const bool since = arg.id == kSince;
      if (!parse_time_argument(arg.value, since ? &o.since_ms : &o.until_ms)) {
        return refuse_command_line(spec, std::string(since ? "--since " : "--until ") + arg.value +
                                             ": not a time" + kTimeForms);
      }
      (since ? o.since_given : o.until_given) = true;
    } else if (arg.id == kResults) {
      o.results = true;
    } else if (o.results) {
      o.results_paths.push_back(arg.value);
    } else if (!o.log_path.empty()) {
      return refuse_command_line(spec, "more than one LOG");
    } else {
      o.log_path = arg.value;
    }
  }
  if (o.results) {
    if (!o.log_path.empty() || !o.svg_path.empty())
      return refuse_command_line(spec, "a LOG or --svg goes without --results");
    if (o.results_paths.empty())
      return refuse_command_line(spec, "--results needs at least one results file");
    return shift_report(o);
  }
  if (!o.html_path.empty() || o.since_given || o.until_given)
    return refuse_command_line(spec, "--html, --since and --until go with --results");
  return run_summary(o);
}
