// A log read as it grows: whatever pieces its bytes come in (the station
// reads what a board's process appended since its last look), the lines and
// the reader's verdict are those of the whole log read at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runlog/log_lines.h"
#include "runlog/run_log.h"
#include "runlog/verdict.h"

namespace {

struct Split {
  std::vector<std::string> texts;
  std::vector<bool> ended;
  bool operator==(const Split& o) const { return texts == o.texts && ended == o.ended; }
};

Split as_split(const std::vector<LogLine>& lines) {
  Split s;
  for (const LogLine& l : lines) {
    s.texts.push_back(l.text);
    s.ended.push_back(l.ended);
  }
  return s;
}

// `bytes` given to a splitter in pieces of `piece` bytes.
Split in_pieces(const std::string& bytes, size_t piece) {
  LogLineSplitter splitter;
  std::vector<LogLine> lines;
  for (size_t at = 0; at < bytes.size(); at += piece)
    splitter.add(bytes.data() + at, std::min(piece, bytes.size() - at), &lines);
  splitter.end(&lines);
  return as_split(lines);
}

std::string utf16le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST(LogLines, AnyPiecesGiveTheLinesOfTheWhole) {
  const struct {
    std::string bytes;
    Split lines;
  } cases[] = {
      {"", {}},
      {"A\nB\n", {{"A", "B"}, {true, true}}},
      {"A\r\nB\r\n", {{"A", "B"}, {true, true}}},
      {"A\nB", {{"A", "B"}, {true, false}}},
      {"A\r", {{"A"}, {false}}},
      {"\xEF\xBB\xBF"
       "A\nB\n",
       {{"A", "B"}, {true, true}}},
      {"\xEF\xBB", {{"\xEF\xBB"}, {false}}},
      {"\xFF", {{"\xFF"}, {false}}},
      {utf16le("A\r\nB\r\n"), {{"A", "B"}, {true, true}}},
      {utf16le("A\nB") + "\x42", {{"A", "B\xFF"}, {true, false}}},
      {"\n\n", {{"", ""}, {true, true}}},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{4096}})
      EXPECT_EQ(in_pieces(c.bytes, piece), c.lines) << "piece " << piece << ": " << c.bytes;
    EXPECT_EQ(as_split(split_log_lines(c.bytes)), c.lines) << c.bytes;
  }
}

// The reader fed line by line as the pieces come: the verdict of a cut, a
// foreign and a whole log is the one of the whole text read at once.
TEST(LogLines, AReaderFedAsTheLogGrowsJudgesAsTheWhole) {
  std::string whole =
      "BYTES  : 256\nSTART  : 20000000\nEND    : 200000FF\nBLOCKS : 1\n"
      "BLOCK 0 DOWNLOADED\n";
  for (int n = 0; n <= 4095; ++n) {
    if (n >= 2528 && n <= 2559)
      continue;
    whole += "BLOCK " + std::to_string(n) + " FORMATTED\n";
  }
  const std::vector<std::string> texts = {whole, whole.substr(0, whole.size() - 7),
                                          whole.substr(0, 300) + "BLOCK 99 FORMATTED\n",
                                          whole + "extra\n"};
  for (const std::string& text : texts) {
    const Verdict expected = judge(read_run_log(split_log_lines(text)));
    for (size_t piece : {size_t{1}, size_t{13}, size_t{65536}}) {
      LogLineSplitter splitter;
      RunLogReader reader;
      std::vector<LogLine> lines;
      for (size_t at = 0; at < text.size(); at += piece) {
        lines.clear();
        splitter.add(text.data() + at, std::min(piece, text.size() - at), &lines);
        for (const LogLine& line : lines)
          reader.take(line);
      }
      lines.clear();
      splitter.end(&lines);
      for (const LogLine& line : lines)
        reader.take(line);
      const Verdict got = judge(reader.finish());
      EXPECT_STREQ(got.headline, expected.headline) << piece;
      ASSERT_EQ(got.reasons.size(), expected.reasons.size()) << piece;
      for (size_t i = 0; i < got.reasons.size(); ++i)
        EXPECT_EQ(reason_text(got.reasons[i], true), reason_text(expected.reasons[i], true));
    }
  }
  EXPECT_STREQ(judge(read_run_log(split_log_lines(whole))).headline, "READY");
}

}  // namespace
