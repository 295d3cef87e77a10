// Where the live view puts its boards on a terminal of a given size, so that
// every board is on the screen at once and nothing scrolls: one line per
// board while they fit, the summary lines below them; otherwise the summary
// lines on top and a grid of compact cells (a mark, the board's name, its
// state and progress), the boards that need a person first.
//
// A cell's state is shortened to what the width allows: words ("FORMAT 37%",
// "NOT READY") where they fit, four characters ("37%", "NRDY") where they do
// not, two ("37", "NR") on a crowded screen, the name alone last. A board that
// needs a person is marked with '!' in front of its name, and such states are
// written in upper case while the others' short forms are in lower case.
#ifndef FLASHPREP_STATION_VIEW_LAYOUT_H_
#define FLASHPREP_STATION_VIEW_LAYOUT_H_

#include <cstdint>
#include <string>
#include <vector>

// What a board's cell can say. The ones from not_ready on need a person: the
// board cannot be left as it is (NOT READY, stopped before its end, held by
// another process).
enum class CellState : uint8_t {
  starting,
  driver,
  init,
  format,  // with a percentage
  ready,
  empty,  // watching: the board was pulled out after its run
  not_ready,
  stopped,
  busy,
};

bool needs_person(CellState state);

struct BoardCell {
  std::string name;
  std::string line;  // the board's whole line, for a screen with a line per board
  CellState state = CellState::starting;
  int percent = 0;  // of the format pass, for CellState::format (0 to 99)
};

// The lines to draw, none longer than `columns` - 1 (a line as wide as the
// terminal would wrap) and at most `rows` - 1 of them (the cursor rests on
// the line below the drawing, which must not scroll the screen). `summary`
// is what the view says besides the boards (the counts first). When not
// every board fits even by name alone, the last cell says how many are left
// out ("+N"): the terminal is too small for them.
std::vector<std::string> lay_out_view(const std::vector<BoardCell>& boards,
                                      const std::vector<std::string>& summary, int columns,
                                      int rows);

// A cell's state as the grid shows it in `width` characters (10, 4 or 2).
std::string cell_state_text(CellState state, int percent, int width);

#endif  // FLASHPREP_STATION_VIEW_LAYOUT_H_
