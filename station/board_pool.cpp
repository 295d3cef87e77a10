#include "station/board_pool.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "records/record_text.h"
#include "station/driver_image.h"
#include "station/file_handle.h"
#include "station/host.h"

namespace {

// Why a board is not started when another process holds it.
constexpr const char* kHeldElsewhere = "held by another process";

// Names tried for one run's log before giving up: more runs of one board in
// one second than a person can plug.
constexpr int kMostNamesTried = 100;

// "2026-12-08T13:05:01.234Z" -> "20261208T130501Z".
std::string compact_time(const std::string& iso) {
  std::string out;
  for (const char c : iso.substr(0, 19))
    if (c != '-' && c != ':')
      out += c;
  return out + "Z";
}

// `text` with each `from` in it made `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

bool still_plugged(const Plug& plug) {
  const std::vector<Plug> now = plugs_now();
  return std::any_of(now.begin(), now.end(), [&](const Plug& p) { return p.same_plug(plug); });
}

}  // namespace

BoardPool::BoardPool(const StationOptions& options, StationView& view)
    : options_(options), view_(view), claims_folder_(board_claims_folder()) {
  source_.station = options.station;
  source_.version = options.version;
  source_.boot = boot_id();
}

int BoardPool::prepare(std::string* error) {
  DriverImage image;
  if (!read_driver_image(options_.driver, &image, error))
    return kCannotRun;
  if (!ready_logs_folder(error) || !records_.open(options_.results, error))
    return kCannotRunNow;
  // Only a station with a results file writes notes, and recovers them
  // into it.
  if (!options_.results.empty() &&
      !recovery_.find(options_.logs, results_file_id(options_.results, records_.identity()), error))
    return kCannotRunNow;
  for (const Recovery::LeftNote& left : recovery_.left_alone())
    std::cerr << "flashprep-station: " << left.note << " is a run of the results file "
              << left.results << ", left for a station started with that file" << std::endl;
  recover();
  return 0;
}

void BoardPool::recover() {
  recovery_.recover([this](const RunRecord& r) {
    const bool written = records_.add(record_text(r));
    view_.recovered(r, journal_fields(r));
    if (!written) {
      view_.record_not_written(r.board, records_.problem());
      reported_waiting_ = records_.waiting_count();
    }
    return written;
  });
}

bool BoardPool::claim(BoardRun& run, const Plug& plug) {
  if (claims_folder_.empty())
    return true;
  std::string why;
  switch (run.claim().claim(claims_folder_, plug.name, &why)) {
    case BoardClaim::Result::held:
      return true;
    case BoardClaim::Result::busy:
      return false;
    case BoardClaim::Result::failed:
      break;
  }
  // Without claims a second station is still told apart by its runs'
  // failing to claim the board, only less surely.
  std::cerr << "flashprep-station: boards are not claimed against other stations: " << why
            << std::endl;
  claims_folder_.clear();
  return true;
}

bool BoardPool::still_busy(const Plug& plug) {
  const auto found = busy_.find(plug.name);
  if (found == busy_.end())
    return false;
  if (!found->second.same_plug(plug)) {
    busy_.erase(found);
    return false;
  }
  // Asked without starting a process (and making its log) every second: a
  // try to open the board as a run would.
  if (board_held_elsewhere(plug.place))
    return true;
  busy_.erase(found);
  return false;
}

bool BoardPool::ready_logs_folder(std::string* why) {
  logs_gone_told_ = false;
  // Made again when it was removed while watching: a board's log must have
  // somewhere to go. The claim goes with the folder and is made again too.
  std::error_code error;
  std::filesystem::create_directories(options_.logs, error);
  if (error) {
    *why = "cannot create " + options_.logs + ": " + error.message();
    return false;
  }
  return folder_lock_.holds() || folder_lock_.claim(options_.logs, why);
}

BoardPool::Start BoardPool::start(const Plug& plug, bool record_refusal, std::string* why) {
  if (std::find(names_.begin(), names_.end(), plug.name) == names_.end())
    names_.push_back(plug.name);
  // Claimed before its log is made: a board another station prepares gets
  // no log and no record here.
  auto run = std::make_unique<BoardRun>(plug, "", "");
  if (still_busy(plug) || !claim(*run, plug)) {
    *why = kHeldElsewhere;
    view_.busy(plug.name);
    return Start::busy;
  }
  BoardClaim claimed = std::move(run->claim());
  const std::string stem = (std::filesystem::path(options_.logs) /
                            (plug.name + "." + compact_time(utc_time(WallClock::now()))))
                               .string();
  bool started = false;
  if (ready_logs_folder(why)) {
    DriverImage image;
    std::string image_why;
    const bool image_known = read_driver_image(options_.driver, &image, &image_why);
    std::string name;
    for (int n = 1; n <= kMostNamesTried && !started; ++n) {
      name = n == 1 ? stem : stem + "_" + std::to_string(n);
      run = std::make_unique<BoardRun>(plug, name + ".log", name + ".err");
      // The image's sha256 needs the file's bytes, which a broken image
      // still has.
      run->set_image(image, image_known || !image.sha256.empty());
      run->claim() = std::move(claimed);
      bool taken = false;
      started = start_run(*run, plug, why, &taken);
      claimed = std::move(run->claim());
      if (!started && !taken)
        break;
    }
    // The cause without the time in the log's name: a watching station
    // tells a cause once, not once a second as the name changes.
    if (!started)
      *why =
          replaced(*why, name, (std::filesystem::path(options_.logs) / plug.name).string() + ".*");
  }
  if (!started) {
    if (record_refusal)
      refuse(plug, *why);
    return Start::refused;
  }
  run->claim() = std::move(claimed);
  view_.started(*run);
  keep(std::move(run));
  ++tally_.running;
  return Start::started;
}

bool BoardPool::start_run(BoardRun& run, const Plug& plug, std::string* why, bool* taken) {
  // With a results file, the run's note before its process: a station that
  // ends before the record leaves enough for the next one to record it.
  const std::string note = run_note_path(run.log_path());
  std::vector<intptr_t> held;
  if (run.claim().held())
    held.push_back(run.claim().native());
  if (!options_.results.empty()) {
    run.note_start();
    bool exists = false;
    if (!write_run_note(note, results_file_id(options_.results, records_.identity()),
                        record_text(starting_record_of(run, source_)), &run.note(), why, &exists)) {
      *taken = exists;
      return false;
    }
    held.push_back(run.note().native());
    run.set_note_path(note);
  }
  const bool started = run.start(
      options_.program_file, {options_.program, kRunBoardOption, plug.place.bus, plug.place.device},
      held, why, taken);
  if (!started && run.note().is_open()) {
    run.note().close();
    remove_run_note(note);
  }
  return started;
}

void BoardPool::refuse(const Plug& plug, const std::string& why) {
  if (std::find(names_.begin(), names_.end(), plug.name) == names_.end())
    names_.push_back(plug.name);
  auto run = std::make_unique<BoardRun>(plug, "", "");
  run->not_started(why);
  BoardRun& kept = keep(std::move(run));
  ++tally_.not_ready;
  record(kept);
}

BoardRun& BoardPool::keep(std::unique_ptr<BoardRun> run) {
  // The run of this board before is over (the caller waits for that): its
  // line in the view goes, its log and record stay.
  const std::string& name = run->plug().name;
  runs_.remove_if([&](const std::unique_ptr<BoardRun>& r) { return r->plug().name == name; });
  runs_.push_back(std::move(run));
  return *runs_.back();
}

void BoardPool::finish(BoardRun& run, StationClock::time_point now) {
  run.finish(now);
  --tally_.running;
  if (run.busy()) {
    // Another process held the board before a word to it: no run of this
    // station's, so its files go, and the board waits to be free.
    ++tally_.busy;
    view_.busy(run.plug().name);
    busy_[run.plug().name] = run.plug();
    run.claim().release();
    run.note().close();
    for (const std::string& path : {run.note_path(), run.log_path(), run.errors_path()}) {
      std::error_code error;
      if (!path.empty())
        std::filesystem::remove(path, error);  // one left is a run's files no record names
    }
    const std::string name = run.plug().name;
    runs_.remove_if([&](const std::unique_ptr<BoardRun>& r) { return r.get() == &run; });
    if (latest(name) == nullptr)
      names_.erase(std::remove(names_.begin(), names_.end(), name), names_.end());
    return;
  }
  // A run that did not end READY may have lost its board: asked once, now,
  // while the bus still shows whether the board is there.
  if (run.status() != 0 && !still_plugged(run.plug())) {
    run.unplugged_during_run();
    run.claim().release();
  }
  (run.status() == 0 ? tally_.ready : tally_.not_ready) += 1;
  record(run);
}

void BoardPool::record(BoardRun& run) {
  const RunRecord r = record_of(run, source_);
  // The record first: a FINISHED line read by a script means the record is
  // in the results file, or told as not written right after.
  const bool written = records_.add(record_text(r));
  view_.finished(run, journal_fields(r));
  // Its note goes once the record is on the disk; while the record waits,
  // the note stays for a station started after this one ends.
  if (run.note().is_open()) {
    run.note().close();
    if (written)
      remove_run_note(run.note_path());
  }
  if (!written) {
    view_.record_not_written(run.plug().name, records_.problem());
    reported_waiting_ = records_.waiting_count();
  }
}

bool BoardPool::poll(StationClock::time_point now, bool follow) {
  bool idle = true;
  // finish() may drop a busy run from the list: each is looked at through a
  // copy of the list.
  std::vector<BoardRun*> runs(runs_.size());
  std::transform(runs_.begin(), runs_.end(), runs.begin(),
                 [](const std::unique_ptr<BoardRun>& run) { return run.get(); });
  for (BoardRun* run : runs) {
    if (run->finished())
      continue;
    if (run->ended()) {
      finish(*run, now);
    } else {
      idle = false;
      if (follow)
        run->follow(now);
    }
  }
  if (follow && !idle && !logs_gone_told_) {
    std::error_code error;
    if (!std::filesystem::exists(options_.logs, error) && !error) {
      logs_gone_told_ = true;
      view_.logs_gone(options_.logs);
    }
  }
  if (recovery_.waiting()) {
    recover();
    idle = idle && !recovery_.waiting();
  }
  if (reported_waiting_ > 0 && records_.retry()) {
    view_.records_written(reported_waiting_);
    reported_waiting_ = 0;
  }
  return idle;
}

void BoardPool::stop(int request) {
  // Told once passed on, so that a reader of the line (a test) knows every
  // board running was sent the request.
  for (const std::unique_ptr<BoardRun>& run : runs_)
    if (!run->finished())
      run->stop(request);
  view_.stopping(request);
}

void BoardPool::abandon(StationClock::time_point now) {
  for (const std::unique_ptr<BoardRun>& run : runs_) {
    if (run->finished())
      continue;
    run->abandon(now);
    --tally_.running;
    ++tally_.not_ready;
    record(*run);
  }
}

bool BoardPool::close_records() {
  if (records_.waiting() && records_.retry(/*at_once=*/true) && reported_waiting_ > 0) {
    view_.records_written(reported_waiting_);
    reported_waiting_ = 0;
  }
  for (const std::string& line : records_.unsynced_records())
    std::cerr << "flashprep-station: record written, never known to be on the disk ("
              << records_.problem() << "): " << line << std::endl;
  for (const std::string& line : records_.waiting_records())
    std::cerr << "flashprep-station: record never written (" << records_.problem() << "): " << line
              << std::endl;
  return !records_.waiting();
}

void BoardPool::release(const std::string& name) {
  if (BoardRun* run = latest(name))
    run->claim().release();
}

bool BoardPool::running(const std::string& name) const {
  const BoardRun* run = latest(name);
  return run != nullptr && !run->finished();
}

const BoardRun* BoardPool::latest(const std::string& name) const {
  const auto it =
      std::find_if(runs_.begin(), runs_.end(),
                   [&](const std::unique_ptr<BoardRun>& run) { return run->plug().name == name; });
  return it == runs_.end() ? nullptr : it->get();
}

BoardRun* BoardPool::latest(const std::string& name) {
  const auto it =
      std::find_if(runs_.begin(), runs_.end(),
                   [&](const std::unique_ptr<BoardRun>& run) { return run->plug().name == name; });
  return it == runs_.end() ? nullptr : it->get();
}

std::string BoardPool::records_notice() const {
  if (!records_.waiting())
    return "";
  return "RECORDS NOT WRITTEN (" + std::to_string(records_.waiting_count()) +
         "): " + records_.problem() + "; no board is started until they are";
}

BoardLines BoardPool::lines() const {
  BoardLines lines;
  for (const std::string& name : names_)
    if (const BoardRun* run = latest(name))
      lines.push_back(run);
  return lines;
}
