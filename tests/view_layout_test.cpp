// The live view on a terminal of any size: while the screen can hold their
// names every board is on it at once, in a line of its own while the lines
// fit and in a grid of cells after that; nothing is drawn into the last
// column or on the last row (a wrap or a scroll would leave copies behind);
// the boards that need a person come first and are marked, and no other is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "station/view_layout.h"

namespace {

const CellState kStates[] = {CellState::starting,  CellState::driver,  CellState::init,
                             CellState::format,    CellState::ready,   CellState::empty,
                             CellState::not_ready, CellState::stopped, CellState::busy};

// `n` boards named PREFIX001..., each given a state by `state_of(i)`.
template <typename StateOf>
std::vector<BoardCell> boards(int n, const std::string& prefix, StateOf state_of) {
  std::vector<BoardCell> cells;
  for (int i = 0; i < n; ++i) {
    char name[32];
    (void)std::snprintf(name, sizeof name, "%s%03d", prefix.c_str(), i + 1);
    BoardCell cell;
    cell.name = name;
    cell.line = cell.name + "  FORMAT   [####....] 1234/4096  0:42 left";
    cell.state = state_of(i);
    cell.percent = (i * 37) % 100;
    cells.push_back(cell);
  }
  return cells;
}

std::vector<BoardCell> mixed(int n, const std::string& prefix = "sim2-b") {
  return boards(n, prefix, [](int i) { return kStates[(i * 7) % 9]; });
}

// A board as the screen shows it: its mark, the words after its name (one
// space between them), how often it is there, and where in reading order.
struct Seen {
  char mark = ' ';
  std::string state;
  int times = 0;
  size_t order = 0;
};

// Reads the boards back from the screen: a word that is a board's name, or
// one with a mark in front, starts that board's cell; the words up to the
// next name are its state. A mark may follow a state with no space between.
std::map<std::string, Seen> read_screen(const std::vector<std::string>& lines,
                                        const std::vector<BoardCell>& cells) {
  std::set<std::string> names;
  for (const BoardCell& cell : cells)
    names.insert(cell.name);
  std::map<std::string, Seen> seen;
  size_t order = 0;
  for (const std::string& line : lines) {
    Seen* current = nullptr;
    std::string spaced;
    for (const char c : line)
      spaced += c == '!' ? std::string(" !") : std::string(1, c);
    std::istringstream words(spaced);
    std::string word;
    while (words >> word) {
      const bool marked = word[0] == '!';
      const std::string bare = marked ? word.substr(1) : word;
      if (names.count(bare) > 0) {
        current = &seen[bare];
        current->mark = marked ? '!' : ' ';
        current->order = order++;
        ++current->times;
      } else if (current != nullptr) {
        current->state += (current->state.empty() ? "" : " ") + word;
      }
    }
  }
  return seen;
}

// `text` with its spaces as read_screen() leaves them.
std::string words_of(const std::string& text) {
  std::istringstream in(text);
  std::string word;
  std::string out;
  while (in >> word)
    out += (out.empty() ? "" : " ") + word;
  return out;
}

TEST(ViewLayout, ALineForEachBoardWhileTheLinesFit) {
  const std::vector<BoardCell> cells = mixed(8, "001-");
  const std::vector<std::string> summary = {"0 of 8 done: 0 READY, 0 NOT READY, 8 running"};
  const std::vector<std::string> lines = lay_out_view(cells, summary, 80, 24);
  ASSERT_EQ(lines.size(), 9U);
  for (size_t i = 0; i < cells.size(); ++i)
    EXPECT_EQ(lines[i], cells[i].line) << "in the boards' own order, unsorted";
  EXPECT_EQ(lines.back(), summary[0]);
  // Exactly as many lines as the screen holds less one: still lines.
  EXPECT_EQ(lay_out_view(mixed(22, "001-"), summary, 80, 24).size(), 23U);
  // One more and they would reach the last row: a grid.
  const std::vector<std::string> grid = lay_out_view(mixed(23, "001-"), summary, 80, 24);
  EXPECT_EQ(grid.front(), summary[0]);
  EXPECT_LT(grid.size(), 23U);
  // Cut one short of the width, never wrapped.
  EXPECT_EQ(lay_out_view(cells, summary, 30, 24)[0], cells[0].line.substr(0, 29));
}

// The two screens a station's operator is likeliest to have, with 120
// boards over several buses.
TEST(ViewLayout, AHundredAndTwentyBoardsOnTheCommonTerminals) {
  const std::vector<BoardCell> cells = mixed(120);
  const std::vector<std::string> summary = {"9 of 120 done: 4 READY, 5 NOT READY, 111 running",
                                            "STOPPING ON SIGNAL 2: each board ends its exchange"};
  struct Case {
    int columns, rows, state_width;
  };
  for (const Case c : {Case{80, 24, 2}, Case{200, 50, 10}}) {
    SCOPED_TRACE(std::to_string(c.columns) + "x" + std::to_string(c.rows));
    const std::vector<std::string> lines = lay_out_view(cells, summary, c.columns, c.rows);
    EXPECT_LE(lines.size(), static_cast<size_t>(c.rows - 1));
    EXPECT_EQ(lines[0], summary[0]) << "the counts on top";
    EXPECT_EQ(lines[1], summary[1]);
    const std::map<std::string, Seen> seen = read_screen(lines, cells);
    for (const BoardCell& cell : cells) {
      const auto it = seen.find(cell.name);
      ASSERT_NE(it, seen.end()) << cell.name << " not on the screen";
      EXPECT_EQ(it->second.times, 1) << cell.name;
      EXPECT_EQ(it->second.mark, needs_person(cell.state) ? '!' : ' ') << cell.name;
      EXPECT_EQ(it->second.state,
                words_of(cell_state_text(cell.state, cell.percent, c.state_width)))
          << cell.name;
    }
  }
}

// Terminals from tiny to wide, from 1 board to 150: the screen is never
// overrun, no board is drawn twice, the boards not shown are counted, the
// ones that need a person come first and only they are marked, and every
// board is shown wherever a grid of bare names would have held them all.
TEST(ViewLayout, EveryTerminalSizeAndBoardCount) {
  const std::vector<std::string> summary = {"the counts", "a notice for the operator"};
  for (const int n : {1, 2, 7, 23, 49, 64, 120, 150}) {
    const std::vector<BoardCell> cells = mixed(n);
    const size_t name = cells[0].name.size();
    for (int columns = 1; columns <= 240; columns += 7) {
      for (int rows = 1; rows <= 60; rows += 3) {
        SCOPED_TRACE(std::to_string(n) + " boards, " + std::to_string(columns) + "x" +
                     std::to_string(rows));
        const std::vector<std::string> lines = lay_out_view(cells, summary, columns, rows);
        const size_t width = static_cast<size_t>(std::max(columns - 1, 10));
        const size_t height = static_cast<size_t>(std::max(rows - 1, 1));
        ASSERT_LE(lines.size(), height);
        for (const std::string& line : lines)
          ASSERT_LE(line.size(), width) << line;
        const std::map<std::string, Seen> seen = read_screen(lines, cells);
        size_t last_marked = 0;
        size_t first_unmarked = cells.size();
        const bool grid = cells.size() + summary.size() > height;
        for (const auto& [board, s] : seen) {
          ASSERT_EQ(s.times, 1) << board;
          const BoardCell& cell = *std::find_if(
              cells.begin(), cells.end(), [&](const BoardCell& c) { return c.name == board; });
          ASSERT_TRUE(!grid || (s.mark == '!') == needs_person(cell.state)) << board;
          if (s.mark == '!')
            last_marked = std::max(last_marked, s.order);
          else
            first_unmarked = std::min(first_unmarked, s.order);
        }
        ASSERT_TRUE(!grid || first_unmarked == cells.size() || last_marked < first_unmarked)
            << "a board that needs a person after another";
        // Rows for cells below the summary (none on a screen of one row,
        // which shows the counts), each holding width / (name + mark) bare
        // names: room enough means nobody left out.
        const size_t cell_rows = height - std::min(summary.size(), std::max<size_t>(height - 1, 1));
        const size_t left_out = cells.size() - seen.size();
        if (left_out > 0 && cell_rows > 0) {
          const std::string& last = lines.back();
          ASSERT_NE(last.rfind('+'), std::string::npos) << last;
          ASSERT_EQ(last.substr(last.rfind('+')), "+" + std::to_string(left_out));
        }
        ASSERT_TRUE((width / (name + 1)) * cell_rows < cells.size() || left_out == 0);
      }
    }
  }
}

// A state fits the width it is written in, and at each width no two states
// read alike: on a crowded screen the operator still tells a board that
// failed from one that formats. Only the states that need a person are
// written in upper case, so that they stand out among the short forms.
TEST(ViewLayout, StateTextsFitAndDiffer) {
  for (const int width : {10, 4, 2}) {
    std::set<std::string> texts;
    for (const CellState state : kStates) {
      for (int percent = 0; percent < 100; ++percent) {
        const std::string text = cell_state_text(state, percent, width);
        ASSERT_LE(text.size(), static_cast<size_t>(width)) << text;
        ASSERT_FALSE(text.empty());
        if (state != CellState::format && percent > 0)
          continue;
        ASSERT_TRUE(texts.insert(text).second) << "'" << text << "' twice at width " << width;
        const bool lower = std::any_of(text.begin(), text.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        });
        ASSERT_TRUE(width == 10 || lower == !needs_person(state)) << text;
      }
    }
  }
  EXPECT_EQ(cell_state_text(CellState::format, 7, 10), "FORMAT 7%");
  EXPECT_EQ(cell_state_text(CellState::format, 7, 4), "  7%");
  EXPECT_EQ(cell_state_text(CellState::format, 7, 2), " 7");
  EXPECT_EQ(cell_state_text(CellState::not_ready, 0, 10), "NOT READY");
}

}  // namespace
