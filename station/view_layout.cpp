#include "station/view_layout.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>

namespace {

// Narrower than this, a terminal is taken for this wide: a line cut shorter
// would say nothing.
constexpr size_t kNarrowest = 10;
// The widths a cell's state may take, the richest first; 0: the name alone.
constexpr int kStateWidths[] = {10, 4, 2, 0};

std::string fitted(std::string line, size_t most) {
  if (line.size() > most)
    line.resize(most);
  return line;
}

std::string padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string percent_text(int percent, const char* format) {
  char text[16];
  (void)std::snprintf(text, sizeof text, format, percent);
  return text;
}

// words, four characters, two characters.
std::string choose(int width, const char* words, const char* four, const char* two) {
  return width >= 10 ? words : width >= 4 ? four : two;
}

}  // namespace

bool needs_person(CellState state) {
  return state == CellState::not_ready || state == CellState::stopped || state == CellState::busy;
}

std::string cell_state_text(CellState state, int percent, int width) {
  switch (state) {
    case CellState::starting:
      return choose(width, "STARTING", "strt", "st");
    case CellState::driver:
      return choose(width, "DRIVER", "drv", "dr");
    case CellState::init:
      return choose(width, "INIT", "init", "in");
    case CellState::format:
      return percent_text(percent, width >= 10 ? "FORMAT %d%%" : width >= 4 ? "%3d%%" : "%2d");
    case CellState::ready:
      return choose(width, "READY", "ok", "ok");
    case CellState::empty:
      return choose(width, "EMPTY", "--", "--");
    case CellState::not_ready:
      return choose(width, "NOT READY", "NRDY", "NR");
    case CellState::stopped:
      return choose(width, "STOPPED", "STOP", "SP");
    case CellState::busy:
      return choose(width, "BUSY", "BUSY", "BY");
  }
  return "";
}

std::vector<std::string> lay_out_view(const std::vector<BoardCell>& boards,
                                      const std::vector<std::string>& summary, int columns,
                                      int rows) {
  const size_t width = std::max(static_cast<size_t>(std::max(columns - 1, 0)), kNarrowest);
  const size_t height = static_cast<size_t>(std::max(rows - 1, 1));
  std::vector<std::string> lines;
  const auto cut = [width](const std::string& line) { return fitted(line, width); };
  if (boards.size() + summary.size() <= height) {
    std::transform(boards.begin(), boards.end(), std::back_inserter(lines),
                   [&](const BoardCell& board) { return cut(board.line); });
    std::transform(summary.begin(), summary.end(), std::back_inserter(lines), cut);
    return lines;
  }

  // The counts on top, where the eye starts; a row at least for the cells.
  const size_t header = std::min(summary.size(), std::max<size_t>(height - 1, 1));
  std::transform(summary.begin(), summary.begin() + static_cast<std::ptrdiff_t>(header),
                 std::back_inserter(lines), cut);
  const size_t cell_rows = height - std::min(header, height);
  if (cell_rows == 0 || boards.empty())
    return lines;

  std::vector<const BoardCell*> order;
  for (const BoardCell& board : boards)
    if (needs_person(board.state))
      order.push_back(&board);
  for (const BoardCell& board : boards)
    if (!needs_person(board.state))
      order.push_back(&board);
  size_t name_width = 0;
  for (const BoardCell& board : boards)
    name_width = std::max(name_width, board.name.size());

  int state_width = 0;
  size_t per_row = 1;
  for (const int candidate : kStateWidths) {
    const size_t cell = 1 + name_width + (candidate > 0 ? 1 + static_cast<size_t>(candidate) : 0);
    per_row = std::max<size_t>(width / cell, 1);
    state_width = candidate;
    if (width >= cell && per_row * cell_rows >= order.size())
      break;
  }
  // Too many boards for the screen even by name: the last cell tells how
  // many are not shown.
  const size_t capacity = per_row * cell_rows;
  const size_t shown = order.size() <= capacity ? order.size() : capacity - 1;
  const size_t state_column = static_cast<size_t>(state_width);
  for (size_t first = 0; first < order.size(); first += per_row) {
    std::string line;
    for (size_t i = first; i < first + per_row && i < order.size(); ++i) {
      if (i == shown) {
        line += " +" + std::to_string(order.size() - shown);
        break;
      }
      const BoardCell& board = *order[i];
      line += (needs_person(board.state) ? "!" : " ") + padded(board.name, name_width);
      if (state_column > 0)
        line +=
            " " + padded(cell_state_text(board.state, board.percent, state_width), state_column);
    }
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    lines.push_back(fitted(line, width));
    if (first + per_row > shown)
      break;
  }
  return lines;
}
