// flashprep-summary [--svg FILE] [LOG]: the verdict on one flashprep run from
// its saved output, a short summary of it and, with --svg, a map of the flash.
// Standard C++ only, so that it builds wherever flashprep does.
#include <fstream>
#include <iostream>
#include <string>

#include "runlog/log_lines.h"
#include "runlog/run_log.h"
#include "runlog/verdict.h"
#include "summary/flash_map.h"
#include "summary/summary_report.h"
#include "summary/terminal.h"

namespace {

// Far more than any run prints (about 150 KB, twice that as UTF-16): a longer
// input is no log, and the lines read up to here already show it.
constexpr std::streamsize kMostBytes = 1 << 20;
constexpr int kStatusTrouble = 2;  // as for a text that is no log
constexpr size_t kHelpWidth = 78;

void print_wrapped(std::ostream& out, const std::string& text, const std::string& indent) {
  std::string line = indent;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos)
      end = text.size();
    const std::string word = text.substr(pos, end - pos);
    if (line.size() > indent.size() && line.size() + 1 + word.size() > kHelpWidth) {
      out << line << '\n';
      line = indent;
    }
    line += (line.size() > indent.size() ? " " : "") + word;
    pos = end + 1;
  }
  out << line << '\n';
}

void print_help(std::ostream& out) {
  out << "usage: flashprep-summary [--svg FILE] [LOG]\n\n";
  print_wrapped(out,
                "Reads what one flashprep run printed, from LOG or, without LOG or with -, from "
                "standard input, and prints READY, NOT READY or NOT A FLASHPREP LOG, a REASON "
                "line for each rule below that holds, the driver summary the run printed and "
                "the counts of driver, flash and table blocks. With --svg it also writes FILE, "
                "a map of the 4096 flash blocks (SVG), unless the text is no log.",
                "");
  out << "\nRules:\n";
  for (const RuleText& rule : all_rules()) {
    out << "  " << rule.label << " (exit status " << rule.exit_status << ")\n";
    print_wrapped(out, rule.text, "      ");
  }
  out << "\nExit status: 0 READY, 1 NOT READY, 2 NOT A FLASHPREP LOG, and 2 as well for\n"
         "bad arguments, a LOG that cannot be read or a FILE that cannot be written.\n";
}

int usage_error(const std::string& message) {
  std::cerr << "flashprep-summary: " << message << "\n"
            << "usage: flashprep-summary [--svg FILE] [LOG]   (--help tells more)\n";
  return kStatusTrouble;
}

// Reads at most kMostBytes; false when the stream fails before its end.
bool read_most(std::istream& in, std::string* bytes) {
  bytes->assign(static_cast<size_t>(kMostBytes), '\0');
  in.read(bytes->data(), kMostBytes);
  bytes->resize(static_cast<size_t>(in.gcount()));
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::string log_path;
  std::string svg_path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_help(std::cout);
      return 0;
    }
    if (arg == "--svg") {
      if (++i == argc)
        return usage_error("--svg needs a FILE");
      svg_path = argv[i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option " + arg);
    } else if (!log_path.empty()) {
      return usage_error("more than one LOG");
    } else {
      log_path = arg;
    }
  }

  // Files are read as bytes so that line ends reach the reader as they were
  // saved. Standard input is left as it is: on Windows, in text mode, it has
  // already turned CR LF into LF.
  std::string bytes;
  bool read_ok = false;
  if (log_path.empty() || log_path == "-") {
    // A user who gave no LOG at a terminal learns what is awaited.
    if (standard_input_is_terminal())
      std::cerr << "flashprep-summary: reading a run's output from standard input (end it with "
                << kEndOfInputKeys << "; --help tells more)\n";
    read_ok = read_most(std::cin, &bytes);
  } else {
    std::ifstream in(log_path, std::ios::binary);
    read_ok = in.is_open() && read_most(in, &bytes);
  }
  if (!read_ok) {
    std::cerr << "flashprep-summary: cannot read "
              << (log_path.empty() || log_path == "-" ? "standard input" : log_path) << "\n";
    return kStatusTrouble;
  }

  const RunLog log = read_run_log(split_log_lines(bytes));
  const Verdict verdict = judge(log);

  // The map is written before the verdict is printed, so that a script never
  // sees a verdict from a run whose map could not be kept.
  if (!svg_path.empty() && log.end != RunLog::End::not_a_log) {
    // Binary, so the map has the same bytes on every system.
    std::ofstream svg(svg_path, std::ios::binary);
    svg << flash_map_svg(log, verdict);
    svg.close();
    if (svg.fail()) {
      std::cerr << "flashprep-summary: cannot write " << svg_path << "\n";
      return kStatusTrouble;
    }
  }
  write_summary(log, verdict, std::cout);
  std::cout.flush();
  return verdict.exit_status;
}
