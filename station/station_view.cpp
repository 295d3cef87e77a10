#include "station/station_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

constexpr int kBarWidth = 24;

std::string one_decimal(double seconds) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string minutes_seconds(double seconds) {
  const long s = std::lround(seconds);
  char text[32];
  (void)std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

size_t name_width(const BoardLines& boards) {
  size_t width = 4;  // "NAME"
  for (const BoardRun* b : boards)
    width = std::max(width, b->slot.name.size());
  return width;
}

BoardLines lines_of(const std::deque<BoardRun>& boards) {
  BoardLines lines;
  lines.reserve(boards.size());
  std::transform(boards.begin(), boards.end(), std::back_inserter(lines),
                 [](const BoardRun& b) { return &b; });
  return lines;
}

}  // namespace

void StationView::event(const std::string& line) {
  if (terminal_)
    return;
  // Flushed at once: whoever reads the pipe sees each event as it happens.
  out_ << line << std::endl;
}

void StationView::found(const BoardRun& board) {
  event("FOUND " + board.slot.name);
}

void StationView::started(const BoardRun& board) {
  event("STARTED " + board.slot.name + " " + board.log_path);
}

void StationView::not_started(const BoardRun& board, const std::string& why) {
  event("NOT STARTED " + board.slot.name + ": " + why);
}

void StationView::stopping(int request) {
  event("STOPPING ON SIGNAL " + std::to_string(request));
}

void StationView::finished(const BoardRun& board) {
  const std::string reason = board.first_reason();
  event("FINISHED " + board.slot.name + " " + one_decimal(board.seconds) + " " +
        board.verdict.headline + (reason.empty() ? "" : ": " + reason));
}

void StationView::unplugged(const BoardRun& board) {
  event("UNPLUGGED " + board.slot.name);
}

std::string StationView::board_line(const BoardRun& board, size_t width,
                                    StationClock::time_point now) const {
  std::string line = padded(board.slot.name, width) + "  ";
  if (board.finished && board.unplugged) {
    // Watching: the port waits for its next board.
    line += padded("EMPTY", 10) + " last: " + board.verdict.headline + " " +
            one_decimal(board.seconds) + " s";
  } else if (board.finished) {
    line += padded(board.verdict.headline, 10) + " " + one_decimal(board.seconds) + " s";
    const std::string reason = board.first_reason();
    if (!reason.empty())
      line += "  " + reason;
  } else {
    const int reached = board.blocks_reached();
    const int filled = reached * kBarWidth / kFlashBlocks;
    line += padded(board.phase(), 8) + " [" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] " +
            std::to_string(reached) + "/" + std::to_string(kFlashBlocks);
    const double left = board.seconds_left(now);
    if (left >= 0)
      line += "  " + minutes_seconds(left) + " left";
  }
  // A line longer than the terminal would wrap and break the redrawing.
  const size_t most = static_cast<size_t>(std::max(columns_ - 1, 10));
  if (line.size() > most)
    line.resize(most);
  return line;
}

void StationView::draw(const std::deque<BoardRun>& boards, StationClock::time_point now) {
  draw(lines_of(boards), now);
}

void StationView::draw(const BoardLines& boards, StationClock::time_point now) {
  if (!terminal_)
    return;
  const size_t width = name_width(boards);
  std::string text;
  if (drawn_ > 0)
    text += "\x1b[" + std::to_string(drawn_) + "A";  // back to the first board's line
  for (const BoardRun* b : boards)
    text += "\r\x1b[2K" + board_line(*b, width, now) + "\n";
  out_ << text << std::flush;
  drawn_ = static_cast<int>(boards.size());
}

void StationView::close(const std::deque<BoardRun>& boards, StationClock::time_point now) {
  const int ready =
      static_cast<int>(std::count_if(boards.begin(), boards.end(), [](const BoardRun& b) {
        return b.finished && b.verdict.exit_status == 0;
      }));
  close(lines_of(boards), now, ready, static_cast<int>(boards.size()) - ready);
}

void StationView::close(const BoardLines& boards, StationClock::time_point now, int ready,
                        int not_ready) {
  const std::string done =
      "DONE " + std::to_string(ready) + " READY, " + std::to_string(not_ready) + " NOT READY";
  if (!terminal_) {
    event(done);
    return;
  }
  draw(boards, now);
  const size_t width = name_width(boards);
  size_t log_width = 3;
  for (const BoardRun* b : boards)
    log_width = std::max(log_width, b->log_path.size());
  out_ << "\n"
       << padded("NAME", width) << "  " << padded("VERDICT", 10) << "  SECONDS  "
       << padded("LOG", log_width) << "  REASON\n";
  for (const BoardRun* b : boards) {
    const std::string verdict = b->finished ? b->verdict.headline : "NOT STARTED";
    out_ << padded(b->slot.name, width) << "  " << padded(verdict, 10) << "  "
         << padded(one_decimal(b->seconds), 7) << "  " << padded(b->log_path, log_width) << "  "
         << b->first_reason() << "\n";
  }
  out_ << done << std::endl;
}
