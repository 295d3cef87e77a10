#include "station/board_pool.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "records/record_text.h"
#include "station/driver_image.h"
#include "station/host.h"

namespace {

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

bool still_plugged(const Plug& plug) {
  const std::vector<Plug> now = plugs_now();
  return std::any_of(now.begin(), now.end(), [&](const Plug& p) { return p.same_plug(plug); });
}

}  // namespace

BoardPool::BoardPool(const StationOptions& options, StationView& view)
    : options_(options), view_(view) {
  source_.station = options.station;
  source_.version = options.version;
  source_.boot = boot_id();
}

bool BoardPool::prepare(std::string* error) {
  DriverImage image;
  if (!read_driver_image(options_.driver, &image, error))
    return false;
  return ready_logs_folder(error) && records_.open(options_.results, error);
}

bool BoardPool::ready_logs_folder(std::string* why) {
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

bool BoardPool::start(const Plug& plug, bool record_refusal, std::string* why) {
  if (std::find(names_.begin(), names_.end(), plug.name) == names_.end())
    names_.push_back(plug.name);
  const std::string stem = (std::filesystem::path(options_.logs) /
                            (plug.name + "." + compact_time(utc_time(WallClock::now()))))
                               .string();
  std::unique_ptr<BoardRun> run;
  bool started = false;
  if (ready_logs_folder(why)) {
    DriverImage image;
    std::string image_why;
    const bool image_known = read_driver_image(options_.driver, &image, &image_why);
    for (int n = 1; n <= kMostNamesTried && !started; ++n) {
      const std::string name = n == 1 ? stem : stem + "_" + std::to_string(n);
      run = std::make_unique<BoardRun>(plug, name + ".log", name + ".err");
      // The image's sha256 needs the file's bytes, which a broken image
      // still has.
      run->set_image(image, image_known || !image.sha256.empty());
      bool taken = false;
      started = run->start({options_.program, kRunBoardOption, plug.place.bus, plug.place.device},
                           why, &taken);
      if (!started && !taken)
        break;
    }
  }
  if (!started) {
    if (record_refusal)
      refuse(plug, *why);
    return false;
  }
  view_.started(*run);
  keep(std::move(run));
  ++tally_.running;
  return true;
}

void BoardPool::refuse(const Plug& plug, const std::string& why) {
  if (std::find(names_.begin(), names_.end(), plug.name) == names_.end())
    names_.push_back(plug.name);
  auto run = std::make_unique<BoardRun>(plug, "", "");
  run->not_started(why);
  const BoardRun& kept = keep(std::move(run));
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
  // A run that did not end READY may have lost its board: asked once, now,
  // while the bus still shows whether the board is there.
  if (run.status() != 0 && !still_plugged(run.plug()))
    run.unplugged_during_run();
  --tally_.running;
  (run.status() == 0 ? tally_.ready : tally_.not_ready) += 1;
  record(run);
}

void BoardPool::record(const BoardRun& run) {
  const RunRecord r = record_of(run, source_);
  // The record first: a FINISHED line read by a script means the record is
  // in the results file, or told as not written right after.
  const bool written = records_.add(record_text(r));
  view_.finished(run, journal_fields(r));
  if (!written) {
    view_.record_not_written(run.plug().name, records_.problem());
    reported_waiting_ = records_.waiting_count();
  }
}

bool BoardPool::poll(StationClock::time_point now, bool follow) {
  bool idle = true;
  for (const std::unique_ptr<BoardRun>& run : runs_) {
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
