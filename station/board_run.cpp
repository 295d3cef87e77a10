#include "station/board_run.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "station/file_handle.h"
#include "station/log_output.h"
#include "station/station.h"

namespace {

constexpr const char* kLogLost = "LOG LOST";

// A reason of the station's comes out as a summary reason does: "LABEL" or
// "LABEL: detail".
std::string signal_reason(const char* label, int signal) {
  return std::string(label) + " " + std::to_string(signal);
}

}  // namespace

BoardRun::BoardRun(Plug plug, std::string log_path, std::string errors_path)
    : plug_(std::move(plug)),
      log_path_(std::move(log_path)),
      errors_path_(std::move(errors_path)),
      log_(log_path_) {}

void BoardRun::note_start() {
  started_steady_ = StationClock::now();
  start_utc_ = WallClock::now();
  start_noted_ = true;
}

bool BoardRun::start(const std::string& program, const std::vector<std::string>& argv,
                     const std::vector<intptr_t>& held, std::string* error, bool* taken) {
  if (!start_noted_)
    note_start();
  started_ = process_.start(program, argv, log_path_, errors_path_, held, error, taken);
  // The log is opened now, not at the first look: the files the station
  // holds are then those the room for boards counted (station/board_room.h).
  if (started_)
    (void)log_.follow();
  return started_;
}

void BoardRun::not_started(const std::string& why) {
  if (!start_noted_)
    note_start();
  log_path_.clear();
  errors_path_.clear();
  finished_ = true;
  end_utc_ = WallClock::now();
  refused_ = true;
  headline_ = "NOT READY";
  status_ = 1;
  reasons_ = {"NOT STARTED: " + why};
}

void BoardRun::follow(StationClock::time_point now) {
  (void)log_.follow();
  // The pass's first sight is what has been read by now, whoever read it:
  // the read at the start may already have taken the first blocks, and a
  // board held at a block adds nothing to read at the next look.
  if (format_begun_)
    return;
  const int reached = blocks_reached();
  if (reached > 0) {
    format_begun_ = true;
    format_seen_ = now;
    format_seen_blocks_ = reached;
  }
}

void BoardRun::stop(int request) {
  if (stop_request_ == 0)
    stop_request_ = request;
  process_.stop(request);
}

std::string BoardRun::first_error_line() const {
  std::ifstream in(errors_path_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
      line.pop_back();
    if (!line.empty())
      return line;
  }
  return "";
}

void BoardRun::finish(StationClock::time_point now) {
  // The end on both clocks at once, before the log is read to its end: the
  // record's times then span its seconds however long that read takes.
  end_utc_ = WallClock::now();
  seconds_ = std::chrono::duration<double>(StationClock::now() - started_steady_).count();
  follow(now);
  // The process's own messages stay beside its log only when it had any.
  std::error_code error;
  if (!errors_path_.empty() && std::filesystem::is_empty(errors_path_, error) && !error &&
      std::filesystem::remove(errors_path_, error))
    errors_path_.clear();
  finished_ = true;
  const Verdict& verdict = log_.finish();
  std::vector<std::string> station;
  const int exit_status = process_.exit_status();
  const int signal = process_.end_signal();
  const LogFailure failure = log_failure_of_status(exit_status);
  busy_ = exit_status == kBoardBusyStatus;
  std::string unsynced;
  if (log_lost()) {
    station.push_back(kLogLost);
  } else if (exit_status == 2) {
    // The program refused the board before a word to it (a simulated
    // board's file that cannot be used): its message says why.
    refused_ = true;
    const std::string why = first_error_line();
    station.push_back("NOT STARTED: " + (why.empty() ? "its process ended with status 2" : why));
  } else if (failure != LogFailure::none) {
    station.push_back(std::string("LOG NOT WRITTEN: ") + log_failure_text(failure));
  } else if (!sync_files(&unsynced)) {
    station.push_back("LOG NOT WRITTEN: " + unsynced);
  }
  const bool ready = verdict.exit_status == 0 && station.empty();
  if (!ready) {
    if (signal != 0)
      station.push_back(
          signal_reason(stop_request_ == signal ? "STOPPED BY SIGNAL" : "ENDED BY SIGNAL", signal));
    else if (exit_status != 0 && exit_status != 2 && failure == LogFailure::none)
      station.push_back("ENDED WITH STATUS " + std::to_string(exit_status));
  }
  conclude(verdict, station);
}

bool BoardRun::log_lost() {
  // Its folder removed (or the log alone): what was read of it still
  // judges the run, but no record names a file that is not there.
  std::error_code error;
  if (log_path_.empty() || std::filesystem::exists(log_path_, error))
    return false;
  log_path_.clear();
  errors_path_.clear();
  return true;
}

bool BoardRun::sync_files(std::string* error) const {
  // What the process wrote is on the disk before its record: a power cut
  // must not leave a record whose log is gone.
  for (const std::string* path : {&log_path_, &errors_path_}) {
    FileHandle file;
    bool created = false;
    if (!path->empty() &&
        (!file.open(*path, FileHandle::Open::existing, &created, error) || !file.sync(error)))
      return false;
  }
  return true;
}

void BoardRun::unplugged_during_run() {
  // Only the reason: whether the pull-out has been told (watching) is the
  // scan's to say, which may come after this.
  if (status_ == 0)
    return;
  reasons_.insert(reasons_.begin(), "UNPLUGGED");
}

void BoardRun::abandon(StationClock::time_point now) {
  end_utc_ = WallClock::now();
  seconds_ = std::chrono::duration<double>(StationClock::now() - started_steady_).count();
  follow(now);
  finished_ = true;
  std::vector<std::string> station;
  if (stop_request_ != 0)
    station.push_back(signal_reason("STOPPED BY SIGNAL", stop_request_));
  station.push_back("NOT WAITED FOR");
  // What the log holds now is what the record is judged by.
  std::string unsynced;
  if (log_lost())
    station.push_back(kLogLost);
  else if (!sync_files(&unsynced))
    station.push_back("LOG NOT WRITTEN: " + unsynced);
  conclude(log_.finish(), station);
}

void BoardRun::conclude(const Verdict& verdict, std::vector<std::string> station_reasons) {
  reasons_ = std::move(station_reasons);
  std::transform(verdict.reasons.begin(), verdict.reasons.end(), std::back_inserter(reasons_),
                 [](const Reason& reason) { return reason_text(reason, true); });
  // What the station knows can only make a run worse than its log says.
  status_ = std::max(verdict.exit_status, reasons_.empty() ? 0 : 1);
  headline_ = status_ == verdict.exit_status ? verdict.headline : "NOT READY";
}

int BoardRun::blocks_reached() const {
  return kFlashBlocks - count_blocks(log_.run(), FlashBlock::not_reached);
}

std::string BoardRun::phase() const {
  if (finished_)
    return headline_;
  const RunLog& run = log_.run();
  if (run.lines == 0)
    return "STARTING";
  if (count_driver_blocks(run, DriverBlock::not_reached) > 0 || run.driver_summary.size() < 4)
    return "DRIVER";
  return blocks_reached() == 0 ? "INIT" : "FORMAT";
}

double BoardRun::seconds_left(StationClock::time_point now) const {
  const int reached = blocks_reached();
  if (!format_begun_ || reached <= format_seen_blocks_)
    return -1;
  // The steps before the format pass take a time of their own that says
  // nothing of its pace.
  const double elapsed = std::chrono::duration<double>(now - format_seen_).count();
  return elapsed * (kFlashBlocks - reached) / (reached - format_seen_blocks_);
}
