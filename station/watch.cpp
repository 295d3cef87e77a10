// The station watching: boards prepared as they are plugged in, until a stop
// request.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <list>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>

#include "app/interrupt.h"
#include "station/board_list.h"
#include "station/board_run.h"
#include "station/host.h"
#include "station/results_file.h"
#include "station/run_record.h"
#include "station/station.h"
#include "station/station_view.h"

namespace {

// As in run_station: processes looked at 20 times a second, logs read and
// the view drawn 4 times a second; the buses are looked at once a second.
// libusb 0.1 tells of no plug-in, and a look costs a walk of the buses: once
// a second is soon enough for a person plugging a board in and keeps an
// idle station near no CPU at all.
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr int kDrawTicks = 5;
constexpr int kScanTicks = 20;

// One board plugged in once: its place on the bus and libusb's device
// number, which a re-plug changes (on Linux the kernel numbers devices
// afresh; a simulated board's file created anew gets another number).
using Plug = std::tuple<std::string, std::string, int>;

Plug plug_of(const BoardSlot& slot) {
  return {slot.place.bus, slot.place.device, slot.devnum};
}

// "2026-12-08T13:05:01.234Z" -> "20261208T130501Z".
std::string compact_time(const std::string& iso) {
  std::string out;
  for (const char c : iso.substr(0, 19))
    if (c != '-' && c != ':')
      out += c;
  return out + "Z";
}

// A log of its own for each run, so that the next board on a port never
// writes over the last one's: the port, the start in UTC, and a count when
// one port had two runs starting in one second.
std::string log_path_for(const std::string& logs, const std::string& name,
                         WallClock::time_point start) {
  const std::string stem = name + "." + compact_time(utc_time(start));
  std::filesystem::path path = std::filesystem::path(logs) / (stem + ".log");
  std::error_code error;
  for (int n = 2; std::filesystem::exists(path, error); ++n)
    path = std::filesystem::path(logs) / (stem + "-" + std::to_string(n) + ".log");
  return path.string();
}

class Watch {
 public:
  Watch(const StationOptions& options, StationView& view, ResultsFile& results)
      : options_(options), view_(view), results_(results) {}

  // Looks at the buses: starts a run for each board plugged in since the
  // last look, notes the boards pulled out.
  void scan() {
    const std::vector<BoardSlot> slots = list_boards();
    std::set<Plug> now;
    for (const BoardSlot& slot : slots)
      now.insert(plug_of(slot));
    for (const Port& port : ports_) {
      if (!port.run->unplugged && now.count(port.plug) == 0) {
        port.run->unplugged = true;
        view_.unplugged(*port.run);
      }
    }
    std::set<Plug> seen;
    for (const BoardSlot& slot : slots) {
      const Plug plug = plug_of(slot);
      if (seen_.count(plug) != 0) {
        seen.insert(plug);
        continue;
      }
      Port* port = port_named(slot.name);
      // A board plugged in again while the run of its last plug-in still
      // ends (its transfers failing one after the other): it waits for the
      // next look, so that one port has one process at a time.
      if (port != nullptr && !port->run->finished)
        continue;
      seen.insert(plug);
      start(slot, port);
    }
    seen_ = seen;
  }

  // Looks at the processes; reads the logs every `follow` call. True when
  // none is running.
  bool poll(StationClock::time_point now, bool follow) {
    bool idle = true;
    for (const Port& port : ports_) {
      BoardRun& run = *port.run;
      if (run.finished)
        continue;
      if (run.process.ended()) {
        finish(run, now);
      } else {
        idle = false;
        if (follow)
          run.follow(now);
      }
    }
    return idle;
  }

  void stop(int request) {
    view_.stopping(request);
    for (const Port& port : ports_)
      port.run->process.stop(request);
  }

  void draw(StationClock::time_point now) { view_.draw(lines(), now); }
  void close(StationClock::time_point now) { view_.close(lines(), now, ready_, not_ready_); }
  int status() const { return not_ready_ == 0 ? kAllReady : kSomeNotReady; }

 private:
  // The latest run on one port; a port's line stays in the view all day.
  struct Port {
    std::unique_ptr<BoardRun> run;
    Plug plug;
  };

  Port* port_named(const std::string& name) {
    const auto it = std::find_if(ports_.begin(), ports_.end(),
                                 [&](const Port& port) { return port.run->slot.name == name; });
    return it == ports_.end() ? nullptr : &*it;
  }

  void start(const BoardSlot& slot, Port* port) {
    const WallClock::time_point at = WallClock::now();
    auto run = std::make_unique<BoardRun>(slot, log_path_for(options_.logs, slot.name, at));
    run->begin();
    run->started_at = at;
    view_.found(*run);
    std::string why;
    if (!interrupt_requested() &&
        run->process.start({options_.program, kRunBoardOption, slot.place.bus, slot.place.device},
                           run->log_path, &why)) {
      run->started = true;
      view_.started(*run);
    } else {
      if (why.empty())
        why = "stopped before it started";
      std::cerr << "flashprep-station: " << slot.name << ": " << why << "\n";
      view_.not_started(*run, why);
    }
    // The last run's log stays on the disk; only its line goes.
    BoardRun& kept = *run;
    if (port == nullptr) {
      ports_.push_back(Port{std::move(run), plug_of(slot)});
    } else {
      port->run = std::move(run);
      port->plug = plug_of(slot);
    }
    if (!kept.started)
      finish(kept, kept.start_time);
  }

  void finish(BoardRun& run, StationClock::time_point now) {
    run.finish(now);
    view_.finished(run);
    record_run(results_, run, options_.version);
    (run.verdict.exit_status == 0 ? ready_ : not_ready_) += 1;
  }

  BoardLines lines() const {
    BoardLines lines;
    std::transform(ports_.begin(), ports_.end(), std::back_inserter(lines),
                   [](const Port& port) { return port.run.get(); });
    return lines;
  }

  const StationOptions& options_;
  StationView& view_;
  ResultsFile& results_;
  std::list<Port> ports_;  // in the order their first board came
  std::set<Plug> seen_;    // boards listed at the last look and taken care of
  int ready_ = 0;
  int not_ready_ = 0;
};

}  // namespace

int run_watch(const StationOptions& options, std::ostream& out, int* request) {
  InterruptHandlers interrupts;
  *request = 0;
  ResultsFile results;
  if (!open_station_outputs(options, &results)) {
    *request = interrupt_request();
    return kNoBoardOrUsage;
  }

  int columns = 80;
  const bool terminal = output_is_terminal(&columns);
  StationView view(out, terminal, columns);
  Watch watch(options, view, results);
  bool stopping = false;
  for (int tick = 0;; ++tick) {
    const StationClock::time_point now = StationClock::now();
    if (interrupt_requested() && !stopping) {
      stopping = true;
      watch.stop(interrupt_request());
    }
    const bool idle = watch.poll(now, tick % kDrawTicks == 0);
    if (stopping && idle)
      break;
    if (!stopping && tick % kScanTicks == 0)
      watch.scan();
    if (tick % kDrawTicks == 0)
      watch.draw(now);
    std::this_thread::sleep_for(kTick);
  }
  watch.close(StationClock::now());
  *request = interrupt_request();
  return watch.status();
}
