#include "station/station_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>

#include "station/host.h"
#include "station/journal.h"
#include "station/view_layout.h"

namespace {

constexpr int kBarWidth = 24;
// syslog's priorities, which the journal keeps: a board NOT READY is worth a
// warning, one READY is information.
constexpr int kJournalWarning = 4;
constexpr int kJournalInfo = 6;

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

size_t name_width(const BoardLines& runs) {
  size_t width = 4;  // "NAME"
  for (const BoardRun* run : runs)
    width = std::max(width, run->plug().name.size());
  return width;
}

std::string bus_full_line(const std::string& bus, int devices) {
  return "BUS FULL " + bus + ": " + std::to_string(devices) +
         " devices, every address taken; a board plugged in there is not seen";
}

std::string finished_line(const BoardRun& run) {
  const std::string reason = run.first_reason();
  return "FINISHED " + run.plug().name + " " + one_decimal(run.seconds()) + " " + run.headline() +
         (reason.empty() ? "" : ": " + reason);
}

}  // namespace

void StationView::check_output() {
  if (output_ok_ && !out_) {
    output_ok_ = false;
    // Once, where it can still be read; the boards go on, and so do their
    // records.
    const char* const notice = "flashprep-station: cannot write standard output";
    std::cerr << notice << std::endl;
    if (journal_)
      (void)journal_send(notice, kJournalWarning, {});  // standard error said it too
  }
}

void StationView::event(const std::string& line) {
  if (terminal_)
    return;
  // Flushed at once: whoever reads the pipe sees each event as it happens.
  out_ << line << std::endl;
  check_output();
}

void StationView::found(const std::string& name) {
  event("FOUND " + name);
}

void StationView::already_prepared(const std::string& name) {
  event("ALREADY PREPARED " + name);
}

void StationView::started(const BoardRun& run) {
  told_.erase(run.plug().name);
  event("STARTED " + run.plug().name + " " + run.log_path());
}

void StationView::not_started(const std::string& name, const std::string& why) {
  tell_once(name, "NOT STARTED " + name + ": " + why);
}

void StationView::busy(const std::string& name) {
  tell_once(name, "BUSY " + name + ": held by another process");
}

void StationView::tell_once(const std::string& name, const std::string& line) {
  // A board that waits is looked at again every second: its cause is told
  // when it comes and when it changes, not at every look.
  std::string& told = told_[name];
  if (told == line)
    return;
  told = line;
  event(line);
}

void StationView::recovered(const RunRecord& record, const std::vector<std::string>& fields) {
  char seconds[32];
  (void)std::snprintf(seconds, sizeof seconds, "%.1f", record.seconds);
  const std::string line = "RECOVERED " + record.board + " " + seconds + " " + record.verdict +
                           (record.reasons.empty() ? "" : ": " + record.reasons.front());
  if (!terminal_ && journal_ && journal_send(line, kJournalWarning, fields))
    return;
  event(line);
}

void StationView::logs_gone(const std::string& folder) {
  event("LOGS GONE " + folder);
}

void StationView::stopping(int request) {
  stop_request_ = request;
  event("STOPPING ON SIGNAL " + std::to_string(request));
}

void StationView::finished(const BoardRun& run, const std::vector<std::string>& fields) {
  if (run.refused() && run.first_reason().rfind("NOT STARTED: ", 0) == 0) {
    // Its process refused the board before a word to it: as a board that
    // could not be started.
    not_started(run.plug().name, run.first_reason().substr(13));
    return;
  }
  told_.erase(run.plug().name);
  const std::string line = finished_line(run);
  if (!terminal_ && journal_ &&
      journal_send(line, run.status() == 0 ? kJournalInfo : kJournalWarning, fields))
    return;
  event(line);
}

void StationView::unplugged(const std::string& name) {
  told_.erase(name);
  event("UNPLUGGED " + name);
}

void StationView::record_not_written(const std::string& name, const std::string& why) {
  event("RECORD NOT WRITTEN " + name + ": " + why);
}

void StationView::records_written(size_t count) {
  event("RECORDS WRITTEN " + std::to_string(count));
}

void StationView::buses(const std::vector<BusUse>& buses) {
  std::map<std::string, int> full;
  for (const BusUse& bus : buses)
    if (bus.full())
      full[bus.bus] = bus.devices;
  for (const auto& [bus, devices] : full)
    if (full_buses_.count(bus) == 0)
      event(bus_full_line(bus, devices));
  full_buses_ = std::move(full);
}

std::string StationView::board_line(const BoardRun& run, size_t width,
                                    StationClock::time_point now) {
  std::string line = padded(run.plug().name, width) + "  ";
  if (run.finished() && run.unplugged()) {
    // Watching: the port waits for its next board.
    line +=
        padded("EMPTY", 10) + " last: " + run.headline() + " " + one_decimal(run.seconds()) + " s";
  } else if (run.finished()) {
    line += padded(run.headline(), 10) + " " + one_decimal(run.seconds()) + " s";
    const std::string reason = run.first_reason();
    if (!reason.empty())
      line += "  " + reason;
  } else {
    const int reached = run.blocks_reached();
    const int filled = reached * kBarWidth / kFlashBlocks;
    line += padded(run.phase(), 8) + " [" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] " +
            std::to_string(reached) + "/" + std::to_string(kFlashBlocks);
    const double left = run.seconds_left(now);
    if (left >= 0)
      line += "  " + minutes_seconds(left) + " left";
  }
  return line;
}

std::string StationView::overall_line(const StationTally& tally) const {
  const std::string counts = std::to_string(tally.ready) + " READY, " +
                             std::to_string(tally.not_ready) + " NOT READY, " +
                             std::to_string(tally.running) + " running";
  if (!watching_)
    return std::to_string(tally.done()) + " of " + std::to_string(tally.done() + tally.running) +
           " done: " + counts;
  if (tally.running == 0 && stop_request_ == 0)
    return "WATCHING: " + std::to_string(tally.done()) + " prepared (" +
           std::to_string(tally.ready) + " READY, " + std::to_string(tally.not_ready) +
           " NOT READY); plug a board in";
  return "WATCHING: " + std::to_string(tally.done()) + " done: " + counts;
}

BoardCell StationView::cell_of(const BoardRun& run, size_t width, StationClock::time_point now) {
  BoardCell cell;
  cell.name = run.plug().name;
  cell.line = board_line(run, width, now);
  if (run.finished() && run.unplugged())
    cell.state = CellState::empty;
  else if (run.finished() && run.status() == 0)
    cell.state = CellState::ready;
  else if (run.finished())
    cell.state = run.first_reason().rfind("STOPPED BY SIGNAL", 0) == 0 ? CellState::stopped
                                                                       : CellState::not_ready;
  else if (const std::string phase = run.phase(); phase == "FORMAT")
    cell.state = CellState::format;
  else if (phase == "INIT")
    cell.state = CellState::init;
  else if (phase == "DRIVER")
    cell.state = CellState::driver;
  // 100% only once the run is over.
  cell.percent = std::min(run.blocks_reached() * 100 / kFlashBlocks, 99);
  return cell;
}

void StationView::draw(const BoardLines& runs, const StationTally& tally, const std::string& notice,
                       StationClock::time_point now) {
  if (!terminal_)
    return;
  // Asked at every drawing: the terminal may have been resized since.
  const TerminalSize size = terminal_size();
  std::vector<BoardCell> cells;
  const size_t width = name_width(runs);
  std::transform(runs.begin(), runs.end(), std::back_inserter(cells),
                 [&](const BoardRun* run) { return cell_of(*run, width, now); });
  std::vector<std::string> summary = {overall_line(tally)};
  if (stop_request_ != 0)
    summary.push_back("STOPPING ON SIGNAL " + std::to_string(stop_request_) +
                      ": each board ends its exchange, then the station ends");
  for (const auto& [bus, devices] : full_buses_)
    summary.push_back(bus_full_line(bus, devices));
  if (!notice.empty())
    summary.push_back(notice);
  // Never more lines than the screen holds, none as wide as the terminal
  // (it would wrap): the next drawing goes back over exactly these lines.
  const std::vector<std::string> lines = lay_out_view(cells, summary, size.columns, size.rows);
  std::string text;
  if (drawn_ > 0 && (size.columns != size_.columns || size.rows != size_.rows)) {
    // Resized: the old lines may have been reflowed or pushed off the top;
    // draw again from the top of the screen rather than guess where they
    // went. Each line is cleared on its own: clearing the whole screen
    // would push it into the terminal's history at every resize.
    text += "\x1b[H";
  } else if (drawn_ > 0) {
    text += "\x1b[" + std::to_string(drawn_) + "A";  // back to the first line
  }
  for (const std::string& line : lines)
    text += "\r\x1b[2K" + line + "\n";
  text += "\x1b[J";  // anything below, from a longer drawing
  out_ << text << std::flush;
  check_output();
  drawn_ = static_cast<int>(lines.size());
  size_ = size;
}

void StationView::close(const BoardLines& runs, const StationTally& tally, int stopped_by,
                        StationClock::time_point now) {
  const std::string done = "DONE " + std::to_string(tally.ready) + " READY, " +
                           std::to_string(tally.not_ready) + " NOT READY" +
                           (tally.busy > 0 ? ", " + std::to_string(tally.busy) + " BUSY" : "");
  if (!terminal_) {
    event(done);
    return;
  }
  stop_request_ = 0;  // the drawing's last state has no stop under way
  draw(runs, tally, "", now);
  const size_t width = name_width(runs);
  // The logs share their folder: the table names each by its file alone,
  // so that a row fits a narrow terminal.
  std::string folder;
  size_t log_width = 3;
  for (const BoardRun* run : runs) {
    const std::filesystem::path log(run->log_path());
    log_width = std::max(log_width, log.filename().string().size());
    if (folder.empty() && !run->log_path().empty())
      folder = log.parent_path().string();
  }
  out_ << "\n";
  if (!folder.empty())
    out_ << "Logs in " << folder << "\n";
  out_ << padded("NAME", width) << "  " << padded("VERDICT", 10) << "  SECONDS  "
       << padded("LOG", log_width) << "  REASON\n";
  for (const BoardRun* run : runs) {
    const std::string verdict = run->finished() ? run->headline() : "NOT STARTED";
    out_ << padded(run->plug().name, width) << "  " << padded(verdict, 10) << "  "
         << padded(one_decimal(run->seconds()), 7) << "  "
         << padded(std::filesystem::path(run->log_path()).filename().string(), log_width) << "  "
         << run->first_reason() << "\n";
  }
  if (stopped_by != 0)
    out_ << "STOPPED BY SIGNAL " << stopped_by << "\n";
  out_ << done << std::endl;
  check_output();
}
