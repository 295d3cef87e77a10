// The command line of every program of the project, read one way: by
// getopt_long (glibc's and mingw-w64's alike), options and operands in the
// order given, `--` before operands that start with '-'. Every program takes
// -h and --help alike, and --version; each describes its other options in
// one table (ProgramSyntax::options), from which its --help lists them.
//
// A command line is read whole before anything is done: one that is wrong
// anywhere is refused, whatever else it asks, with "PROGRAM: WHY", the usage
// and a pointer to --help on standard error and exit status 2, so that no
// program ever acts on a command line it did not understand. Options are
// taken only by their whole names (getopt_long would take a unique
// abbreviation): a mistyped option is refused rather than guessed.
#ifndef FLASHPREP_UTIL_COMMAND_LINE_H_
#define FLASHPREP_UTIL_COMMAND_LINE_H_

#include <string>
#include <vector>

// The exit status of a command line that was refused.
constexpr int kBadCommandLine = 2;

// One option of a program's table.
struct OptionSyntax {
  int id;             // what the program tells it by; never kOperand
  const char* name;   // the long name, without "--"
  const char* value;  // what the value is called in the help ("DIR"); nullptr: takes none
  const char* help;   // what it does; --help wraps it beside the option
};

// What a program takes, and its --help.
struct ProgramSyntax {
  std::string name;                        // as the program's messages start: "flashprep-summary"
  std::vector<std::string> usage;          // its forms, after the name: "[--svg FILE] [LOG]"; the
                                           // usage adds "-h | --help | --version" to them
  int most_operands = 0;                   // at the most; kAnyOperands for no limit
  std::string about = {};                  // --help's text before the options, as printed
  std::vector<OptionSyntax> options = {};  // all but -h, --help and --version
  std::string more = {};                   // --help's text after the options
};

constexpr int kAnyOperands = -1;
constexpr int kOperand = 0;  // the id of an operand in CommandLineArg

// One item of the command line: an option of the table with its value ("" for
// an option that takes none), or an operand (id kOperand).
struct CommandLineArg {
  int id;
  std::string value;
};

struct CommandLine {
  bool run = false;                  // the program is to run with `args`
  int status = 0;                    // otherwise, the status it is to end with now
  std::vector<CommandLineArg> args;  // in the order given
};

// Reads argv[1] to argv[argc - 1] by `syntax`. The program is to run when the
// line is understood and asks for neither help nor version; every option
// of the table may come more than once (the program says what that means).
// Otherwise it is to end at once with `status`: 0 once the help (-h,
// --help) or the version (--version) is written on standard output (1 when
// it could not be written), kBadCommandLine once the command line was
// refused (refuse_command_line()): an option not in the table, an option
// without its value or with an empty one, a value given to an option that
// takes none, more operands than syntax.most_operands.
CommandLine read_command_line(const ProgramSyntax& syntax, int argc, char** argv);

// Refuses the command line for the reason `why`: "NAME: WHY", the usage and
// "(NAME --help tells more)" on standard error. Returns kBadCommandLine, for
// the program to end with.
int refuse_command_line(const ProgramSyntax& syntax, const std::string& why);

// The text --help writes: the usage, syntax.about, the options (the table's,
// then -h/--help and --version) and syntax.more.
std::string help_text(const ProgramSyntax& syntax);

// `text` with its words wrapped at 78 columns, each line starting with
// `indent`; ends with a newline. For help texts made of paragraphs.
std::string wrapped(const std::string& text, const std::string& indent);

#endif  // FLASHPREP_UTIL_COMMAND_LINE_H_
