#include "util/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace {

constexpr size_t kHelpWidth = 78;
constexpr size_t kWidestOption = 20;  // a longer option has its text on the next line

// What getopt_long returns besides the options of the table: an operand (the
// optstring's leading '-' keeps them in order), -h, a missing value (its
// ':') and --version. The table's options come back from kFirstTableValue on,
// clear of every short option's character.
constexpr int kOperandValue = 1;
constexpr int kHelpValue = 'h';
constexpr int kMissingValue = ':';
constexpr int kVersionValue = 256;
constexpr int kFirstTableValue = 257;
constexpr const char* kShortOptions = "-:h";

// The option an argument names, as the whole name after "--" (before any
// '='); "" for an argument that is no long option.
std::string long_name(const char* arg) {
  if (std::strncmp(arg, "--", 2) != 0)
    return "";
  const char* equal = std::strchr(arg + 2, '=');
  return equal == nullptr ? std::string(arg + 2) : std::string(arg + 2, equal);
}

const OptionSyntax* find_option(const ProgramSyntax& syntax, const std::string& name) {
  const auto it = std::find_if(syntax.options.begin(), syntax.options.end(),
                               [&](const OptionSyntax& option) { return name == option.name; });
  return it == syntax.options.end() ? nullptr : &*it;
}

// Why `arg`, which getopt_long did not take or took for another option, is
// refused. `short_option` is the character of a short option getopt_long did
// not know.
std::string why_refused(const ProgramSyntax& syntax, const char* arg, int short_option) {
  if (std::strncmp(arg, "--", 2) != 0)
    return std::string("unknown option -") + static_cast<char>(short_option);
  const std::string name = long_name(arg);
  const bool has_value = std::strchr(arg, '=') != nullptr;
  const OptionSyntax* option = find_option(syntax, name);
  if (option == nullptr && name != "help" && name != "version")
    return "unknown option --" + name;
  if (option != nullptr && option->value != nullptr)
    return "--" + name + " needs a " + option->value;
  if (has_value)
    return "--" + name + " takes no value";
  return std::string("unknown option ") + arg;
}

// The program's forms, then the one every program has.
std::string usage_lines(const ProgramSyntax& syntax) {
  std::string text;
  for (const std::string& form : syntax.usage) {
    text += text.empty() ? "usage: " : "       ";
    text += syntax.name + (form.empty() ? "" : " ") + form + "\n";
  }
  return text + "       " + syntax.name + " -h | --help | --version\n";
}

}  // namespace

std::string wrapped(const std::string& text, const std::string& indent) {
  std::string out;
  std::string line = indent;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos)
      end = text.size();
    const std::string word = text.substr(pos, end - pos);
    if (line.size() > indent.size() && line.size() + 1 + word.size() > kHelpWidth) {
      out += line + "\n";
      line = indent;
    }
    line += (line.size() > indent.size() ? " " : "") + word;
    pos = end + 1;
  }
  return out + line + "\n";
}

std::string help_text(const ProgramSyntax& syntax) {
  std::vector<std::pair<std::string, std::string>> rows(syntax.options.size());
  std::transform(
      syntax.options.begin(), syntax.options.end(), rows.begin(), [](const OptionSyntax& o) {
        return std::make_pair(
            std::string("--") + o.name + (o.value == nullptr ? "" : std::string(" ") + o.value),
            std::string(o.help));
      });
  rows.emplace_back("-h, --help", "this text");
  rows.emplace_back("--version", "the version");
  size_t column = 0;
  for (const auto& row : rows) {
    if (row.first.size() <= kWidestOption && row.first.size() > column)
      column = row.first.size();
  }
  const std::string indent(2 + column + 2, ' ');

  std::string text = usage_lines(syntax) + "\n";
  if (!syntax.about.empty())
    text += syntax.about + "\n";
  text += "Options:\n";
  for (const auto& row : rows) {
    const std::string option = "  " + row.first;
    const std::string help = wrapped(row.second, indent);
    // An option too wide for the column has its text on the next line.
    text += option;
    text += row.first.size() > column ? "\n" + help : help.substr(option.size());
  }
  if (!syntax.more.empty())
    text += "\n" + syntax.more;
  return text;
}

int refuse_command_line(const ProgramSyntax& syntax, const std::string& why) {
  std::cerr << syntax.name << ": " << why << "\n"
            << usage_lines(syntax) << "(" << syntax.name << " --help tells more)\n";
  return kBadCommandLine;
}

CommandLine read_command_line(const ProgramSyntax& syntax, int argc, char** argv) {
  CommandLine line;
  std::vector<option> options;
  for (size_t i = 0; i < syntax.options.size(); ++i) {
    const OptionSyntax& o = syntax.options[i];
    options.push_back({o.name, o.value == nullptr ? no_argument : required_argument, nullptr,
                       kFirstTableValue + static_cast<int>(i)});
  }
  options.push_back({"help", no_argument, nullptr, kHelpValue});
  options.push_back({"version", no_argument, nullptr, kVersionValue});
  options.push_back({nullptr, 0, nullptr, 0});

  // Both getopt_longs start afresh at optind 0 (glibc reads its settings
  // again, mingw-w64 sets optreset), so that a second reading in one
  // process starts at argv[1] too.
  optind = 0;
  opterr = 0;
  const auto refuse = [&](const std::string& why) {
    line.status = refuse_command_line(syntax, why);
    line.args.clear();
    return line;
  };
  int asked = 0;  // -h, --help or --version, the first one given
  int operands = 0;
  for (;;) {
    // The argument getopt_long is about to read; an option's value may be
    // the one after it.
    const int at = optind == 0 ? 1 : optind;
    const int c = getopt_long(argc, argv, kShortOptions, options.data(), nullptr);
    if (c == -1)
      break;
    const char* arg = at < argc ? argv[at] : "";
    if (c == kOperandValue) {
      line.args.push_back({kOperand, optarg});
      ++operands;
      continue;
    }
    if (c == '?' || c == kMissingValue)
      return refuse(why_refused(syntax, arg, optopt));
    const bool long_option = std::strncmp(arg, "--", 2) == 0;
    if (c == kHelpValue || c == kVersionValue) {
      if (long_option && long_name(arg) != (c == kHelpValue ? "help" : "version"))
        return refuse("unknown option --" + long_name(arg));
      if (asked == 0)
        asked = c;
      continue;
    }
    const OptionSyntax& option = syntax.options[static_cast<size_t>(c - kFirstTableValue)];
    if (long_name(arg) != option.name)
      return refuse("unknown option --" + long_name(arg));
    const std::string value = option.value == nullptr ? "" : optarg;
    if (option.value != nullptr && value.empty())
      return refuse(std::string("--") + option.name + " needs a " + option.value);
    line.args.push_back({option.id, value});
  }
  // After `--`, every argument is an operand.
  for (int i = optind; i < argc; ++i) {
    line.args.push_back({kOperand, argv[i]});
    ++operands;
  }
  if (syntax.most_operands != kAnyOperands && operands > syntax.most_operands) {
    int seen = 0;
    const auto extra = std::find_if(
        line.args.begin(), line.args.end(),
        [&](const CommandLineArg& a) { return a.id == kOperand && ++seen > syntax.most_operands; });
    return refuse("unexpected argument " + extra->value);
  }
  if (asked == kHelpValue) {
    std::cout << help_text(syntax);
  } else if (asked == kVersionValue) {
    std::cout << syntax.name << " " << FLASHPREP_VERSION << "\n";
  } else {
    line.run = true;
    return line;
  }
  line.status = std::cout.flush() ? 0 : 1;
  line.args.clear();
  return line;
}
