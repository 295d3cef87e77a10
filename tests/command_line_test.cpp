// The command-line reader on its own, with a made-up program: the same cases
// run against glibc's getopt_long here and mingw-w64's under Wine. The
// programs' own command lines are tested through the programs (tests/e2e).
#include "util/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum Option { kLogs = 1, kWatch, kLogsFolder };

ProgramSyntax syntax(int most_operands = 2) {
  return {"prog",
          {"[--watch] [--logs DIR] [A [B]]"},
          most_operands,
          "About it.\n",
          {{kLogs, "logs", "DIR", "where the logs go"},
           {kWatch, "watch", nullptr, "keeps running"},
           {kLogsFolder, "logs-folder-of-a-long-name", "DIR", "a name too long for the column"}},
          "After the options.\n"};
}

struct Read {
  bool run = false;
  int status = -1;
  std::vector<CommandLineArg> args;
  std::string out;
  std::string err;
};

Read read(std::vector<std::string> words, const ProgramSyntax& s = syntax()) {
  words.insert(words.begin(), "prog");
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  Read r;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const CommandLine line = read_command_line(s, static_cast<int>(words.size()), argv.data());
  r.run = line.run;
  r.status = line.status;
  r.args = line.args;
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

std::string refusal(const std::string& why) {
  return "prog: " + why +
         "\nusage: prog [--watch] [--logs DIR] [A [B]]\n       prog -h | --help | --version\n"
         "(prog --help tells more)\n";
}

TEST(CommandLine, OptionsAndOperandsComeInTheOrderGiven) {
  const Read r = read({"a", "--logs", "x", "--watch", "--logs=y", "-", "--", "--watch"}, syntax(3));
  ASSERT_TRUE(r.run) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  const std::vector<std::pair<int, std::string>> want = {{kOperand, "a"}, {kLogs, "x"},
                                                         {kWatch, ""},    {kLogs, "y"},
                                                         {kOperand, "-"}, {kOperand, "--watch"}};
  ASSERT_EQ(r.args.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(r.args[i].id, want[i].first) << i;
    EXPECT_EQ(r.args[i].value, want[i].second) << i;
  }
  // A value that starts with '-' is still the option's.
  const Read dash = read({"--logs", "-x"});
  ASSERT_TRUE(dash.run) << dash.err;
  ASSERT_EQ(dash.args.size(), 1u);
  EXPECT_EQ(dash.args[0].value, "-x");
  EXPECT_TRUE(read({}).run);
}

// Anything wrong anywhere refuses the whole line, whatever else it asks:
// nothing on standard output, the reason, the usage, status 2.
TEST(CommandLine, RefusesWhatItDoesNotUnderstand) {
  const struct {
    std::vector<std::string> words;
    std::string why;
  } cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"-x"}, "unknown option -x"},
      {{"-hx"}, "unknown option -x"},
      {{"--log", "x"}, "unknown option --log"},  // an abbreviation is no name
      {{"--wat"}, "unknown option --wat"},
      {{"--vers"}, "unknown option --vers"},
      {{"--he"}, "unknown option --he"},
      {{"--logs"}, "--logs needs a DIR"},
      {{"--logs="}, "--logs needs a DIR"},
      {{"--logs", ""}, "--logs needs a DIR"},
      {{"--watch=yes"}, "--watch takes no value"},
      {{"--help=yes"}, "--help takes no value"},
      {{"a", "b", "c"}, "unexpected argument c"},
      {{"a", "--", "b", "c"}, "unexpected argument c"},
      {{"--help", "--bogus"}, "unknown option --bogus"},
      {{"--version", "a", "b", "c"}, "unexpected argument c"},
  };
  for (const auto& c : cases) {
    const Read r = read(c.words);
    SCOPED_TRACE(c.words[0]);
    EXPECT_FALSE(r.run);
    EXPECT_EQ(r.status, kBadCommandLine);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refusal(c.why));
  }
  const Read none = read({"a"}, syntax(0));
  EXPECT_EQ(none.err, refusal("unexpected argument a"));
  EXPECT_TRUE(read({"a", "b", "c", "d"}, syntax(kAnyOperands)).run);
}

TEST(CommandLine, HelpAndVersionAnswerAndEndTheProgram) {
  for (const char* help : {"-h", "--help"}) {
    const Read r = read({"--watch", help, "--version"});
    SCOPED_TRACE(help);
    EXPECT_FALSE(r.run);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help_text(syntax()));
    EXPECT_EQ(r.err, "");
  }
  const Read version = read({"--version", "--help"});
  EXPECT_FALSE(version.run);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("prog ") + FLASHPREP_VERSION + "\n");
}

TEST(CommandLine, HelpListsTheTableWithTheTextBesideIt) {
  const std::string want =
      "usage: prog [--watch] [--logs DIR] [A [B]]\n"
      "       prog -h | --help | --version\n"
      "\n"
      "About it.\n"
      "\n"
      "Options:\n"
      "  --logs DIR  where the logs go\n"
      "  --watch     keeps running\n"
      "  --logs-folder-of-a-long-name DIR\n"
      "              a name too long for the column\n"
      "  -h, --help  this text\n"
      "  --version   the version\n"
      "\n"
      "After the options.\n";
  EXPECT_EQ(help_text(syntax()), want);
}

TEST(CommandLine, WrapsWordsAt78Columns) {
  std::string text;
  for (int i = 0; i < 40; ++i)
    text += (i == 0 ? "" : " ") + std::string("word") + std::to_string(i % 10);
  const std::string out = wrapped(text, "    ");
  size_t start = 0;
  int lines = 0;
  std::string words;
  while (start < out.size()) {
    const size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = out.substr(start, end - start);
    EXPECT_LE(line.size(), 78u) << line;
    EXPECT_EQ(line.rfind("    word", 0), 0u) << line;
    // Full lines: the next word would not have fitted.
    if (end + 1 < out.size()) {
      EXPECT_GT(line.size() + 1 + 5, 78u) << line;
    }
    words += (words.empty() ? "" : " ") + line.substr(4);
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(words, text);
  EXPECT_EQ(lines, 4);
}

}  // namespace
