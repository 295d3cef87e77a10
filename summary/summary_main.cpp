// flashprep-summary [--svg FILE] [LOG]: the verdict on one flashprep run from
// its saved output, a short summary of it and, with --svg, a map of the flash.
// flashprep-summary --results FILE... [--since TIME] [--until TIME] [--tz ZONE]
// [--include-simulated] [--html FILE] [--csv FILE]: the report of a shift
// from stations' results files.
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
#include "summary/local_time.h"
#include "summary/output_guard.h"
#include "summary/shift_output.h"
#include "summary/shift_report.h"
#include "summary/shift_tally.h"
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

enum Option { kSvg = 1, kResults, kSince, kUntil, kHtml, kCsv, kTz, kIncludeSimulated };

ProgramSyntax summary_syntax() {
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
      "(one JSON record per run, docs/results-record.schema.json; records of flashprep 1.0 "
      "too) and prints a report of the shift: the boards, their first-pass and final yield and "
      "those still NOT READY at the end; the runs, READY, NOT READY, retests and those the "
      "station ended, overall and per station and port; runs per hour and the median and 95th "
      "percentile of the seconds per run; the failures by reason; the ports that stand out; "
      "the blocks that failed on more than one board; the driver images in use, and when a "
      "station changed its image.",
      "A run is a record; records alike in station, boot, board and start are one (a file "
      "given twice, overlapping pieces of one file), the copies counted. Runs of simulated "
      "boards (bus sim) are left out unless --include-simulated, and counted. A run the station "
      "ended (STOPPED BY SIGNAL, NOT STARTED, NOT WAITED FOR, BUSY, STATION ENDED, LOG LOST) is "
      "no verdict: counted apart, never a failure.",
      "A board is its serial, or without one its station, port and plug (boot, devnum). "
      "First-pass yield: boards READY on their first run judged; final yield: boards whose last "
      "run judged is READY; a board whose last run judged is NOT READY, or with none, is NOT "
      "READY at the end. Two boots of one station name whose runs overlap on one port are two "
      "stations (STATION NAME USED BY TWO STATIONS).",
      "Runs per hour: the runs judged over the hours at work, from the first start to the last "
      "end less every gap of 10 minutes or more with no run in progress; each bar of the page's "
      "timeline over its own time at work. The 95th percentile is the value at rank "
      "ceil(0.95 n). A failure counts under its reason's label (the text before the first "
      "colon; RUN STOPPED keeps its FAIL line).",
      "A port stands out when it has at least 3 NOT READY runs, a failure rate at least twice "
      "that of all the other ports together, and the chance that a port failing at their rate "
      "fails as many of its runs or more (binomial) is below 1 % divided by the number of "
      "ports: chance alone flags a port in fewer than 1 in 100 reports.",
      "A block counts once per board. The line's driver image is the one most runs were "
      "started with; a station that used another is flagged.",
      "A line that is no whole record (the start of one only, left by a station stopped while "
      "writing or by a power cut; a blank line; NUL bytes; anything else; a record of a newer "
      "schema than this flashprep-summary knows) is skipped, counted and named (file and line) "
      "in the SKIPPED line, and the report goes on.",
  };
  for (const char* paragraph : report_paragraphs)
    more += wrapped(paragraph, "  ") + "\n";
  more +=
      "Files written: --svg, --html and --csv write FILE only when it is new or a map,\n"
      "page or CSV that flashprep-summary wrote (it marks them), and never over a file\n"
      "they read.\n"
      "\nExit status: 0 READY, 1 NOT READY, 2 NOT A FLASHPREP LOG, and 2 as well for\n"
      "bad arguments, a LOG that cannot be read or a FILE that cannot be written.\n"
      "With --results: 0 when every line of every file was a record, 1 when the report\n"
      "is whole but damaged lines were skipped, 2 when a file cannot be read or the\n"
      "times asked for are none.\n";
  return {
      "flashprep-summary",
      {"[--svg FILE] [LOG]",
       "--results RESULTS... [--since TIME] [--until TIME] [--tz ZONE] [--include-simulated] "
       "[--html FILE] [--csv FILE]"},
      kAnyOperands,
      about,
      {
          {kSvg, "svg", "FILE",
           "also writes FILE, a map of the 4096 flash blocks (SVG), unless the text is no log"},
          {kResults, "results", nullptr,
           "the operands are results files: a shift's report instead (below)"},
          {kSince, "since", "TIME",
           "with --results, counts only the runs whose start is at or after TIME: YYYY-MM-DD "
           "(its midnight), YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, the seconds with a fraction "
           "if wanted (.5), then Z, an offset (+01:00) or nothing for a time in ZONE"},
          {kUntil, "until", "TIME", "with --results, only the runs whose start is before TIME"},
          {kTz, "tz", "ZONE",
           "with --results, the time zone of the report's times and of a TIME without offset "
           "(default: the machine's): a name of the zone database (Europe/Berlin, UTC) or a "
           "fixed offset (CET-1); on Windows a fixed offset only"},
          {kIncludeSimulated, "include-simulated", nullptr,
           "with --results, counts the runs of simulated boards (bus sim) too"},
          {kHtml, "html", "FILE",
           "with --results, also writes FILE, one page with all of the report and charts of the "
           "yield and the boards per hour over the shift and of the failures by reason and by "
           "port, that any browser shows without a network"},
          {kCsv, "csv", "FILE",
           "with --results, also writes FILE, one row per run (copies dropped): the record's "
           "members and how the report counted it"},
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
  std::string csv_path;
  std::string since;  // as given; read once the zone is known
  std::string until;
  std::string zone;
  bool with_simulated = false;
};

// The second reading: each record kept, but the copies, as a row.
bool write_runs_csv(const Options& o, const ShiftTally& tally, const TimeZone& zone,
                    std::string* why) {
  std::ofstream out(o.csv_path, std::ios::binary | std::ios::trunc);
  if (!out) {
    *why = "cannot write " + o.csv_path;
    return false;
  }
  out << runs_csv_header();
  std::vector<uint64_t> kept(o.results_paths.size(), 0);
  uint64_t rows = 0;
  RunFacts facts;
  ReadNotes notes;
  const bool read = read_results(
      o.results_paths,
      [&](const ResultRecord& record) {
        if (tally.inside(record) && tally.facts(record.file, kept[record.file]++, &facts) &&
            !facts.copy)
          out << runs_csv_row(++rows, o.results_paths[record.file], record, facts, zone);
      },
      &notes, why);
  out.close();
  if (read && out.fail())
    *why = "cannot write " + o.csv_path;
  return read && !out.fail();
}

// The report's times, read in its zone.
bool read_times(const Options& o, const TimeZone& zone, TallyOptions* t, std::string* why) {
  t->since_given = !o.since.empty();
  t->until_given = !o.until.empty();
  if (t->since_given && !parse_report_time(o.since, zone, &t->since_ms, why)) {
    *why = "--since " + *why;
    return false;
  }
  if (t->until_given && !parse_report_time(o.until, zone, &t->until_ms, why)) {
    *why = "--until " + *why;
    return false;
  }
  if (t->since_given && t->until_given && t->until_ms <= t->since_ms) {
    *why = "--until " + o.until + " is not after --since " + o.since + ": no time to report on";
    return false;
  }
  return true;
}

int shift_report(const ProgramSyntax& syntax, const Options& o) {
  std::string why;
  TimeZone zone;
  TallyOptions t;
  t.with_simulated = o.with_simulated;
  if (!zone.open(o.zone, &why) || !read_times(o, zone, &t, &why))
    return refuse_command_line(syntax, why);
  if ((!o.html_path.empty() &&
       !may_write_over(o.html_path, kShiftPageMark, "report page", o.results_paths, &why)) ||
      (!o.csv_path.empty() &&
       !may_write_over(o.csv_path, kRunsCsvMark, "runs CSV", o.results_paths, &why)))
    return trouble(why);
  ShiftTally tally(t);
  ReadNotes notes;
  if (!read_results(
          o.results_paths, [&](const ResultRecord& record) { tally.add(record); }, &notes, &why))
    return trouble(why);
  const ShiftReport report = tally.report(o.results_paths, notes, zone);
  // The files are written before the report is printed, as the map is.
  if (!o.html_path.empty() && !write_file(o.html_path, shift_html(report, zone, FLASHPREP_VERSION)))
    return trouble("cannot write " + o.html_path);
  if (!o.csv_path.empty() && !write_runs_csv(o, tally, zone, &why))
    return trouble(why);
  write_shift_text(report, zone, std::cout);
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

// The options that take a value, each given once at most: a second one is
// refused rather than silently taking the place of the first.
struct ValueOption {
  int id;
  const char* name;
  std::string Options::*value;
};
const ValueOption kValueOptions[] = {
    {kSvg, "svg", &Options::svg_path},  {kHtml, "html", &Options::html_path},
    {kCsv, "csv", &Options::csv_path},  {kSince, "since", &Options::since},
    {kUntil, "until", &Options::until}, {kTz, "tz", &Options::zone},
};

// False when `arg` is no option with a value; *why is set when it is one
// given twice or empty.
bool take_value(const CommandLineArg& arg, Options* o, std::string* why) {
  for (const ValueOption& option : kValueOptions) {
    if (option.id != arg.id)
      continue;
    std::string& value = o->*option.value;
    if (!value.empty() || arg.value.empty())
      *why = std::string("--") + option.name + (value.empty() ? " needs a value" : " given twice");
    value = arg.value;
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const ProgramSyntax syntax = summary_syntax();
  const CommandLine command = read_command_line(syntax, argc, argv);
  if (!command.run)
    return command.status;
  Options o;
  std::string why;
  for (const CommandLineArg& arg : command.args) {
    if (take_value(arg, &o, &why)) {
      if (!why.empty())
        return refuse_command_line(syntax, why);
    } else if (arg.id == kResults) {
      o.results = true;
    } else if (arg.id == kIncludeSimulated) {
      o.with_simulated = true;
    } else if (o.results) {
      o.results_paths.push_back(arg.value);
    } else if (!o.log_path.empty()) {
      return refuse_command_line(syntax, "more than one LOG");
    } else {
      o.log_path = arg.value;
    }
  }
  if (o.results) {
    if (!o.log_path.empty() || !o.svg_path.empty())
      return refuse_command_line(syntax, "a LOG or --svg goes without --results");
    if (o.results_paths.empty())
      return refuse_command_line(syntax, "--results needs at least one results file");
    return shift_report(syntax, o);
  }
  if (!o.html_path.empty() || !o.csv_path.empty() || !o.since.empty() || !o.until.empty() ||
      !o.zone.empty() || o.with_simulated)
    return refuse_command_line(
        syntax, "--html, --csv, --since, --until, --tz and --include-simulated go with --results");
  return run_summary(o);
}
