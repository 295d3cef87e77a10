// The station watching: boards prepared as they are plugged in, until a stop
// request.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <map>
#include <set>

#include "app/interrupt.h"
#include "station/board_pool.h"
#include "station/board_room.h"
#include "station/host.h"
#include "station/journal.h"
#include "station/prepared_plugs.h"
#include "station/run_pool.h"
#include "station/station.h"

namespace {

// The buses are looked at once a second. libusb 0.1 tells of no plug-in,
// and a look costs a walk of the buses: once a second is soon enough for a
// person plugging a board in and keeps an idle station near no CPU at all.
constexpr std::chrono::milliseconds kLookEvery(1000);

class Watch {
 public:
  Watch(BoardPool& pool, StationView& view, std::map<std::string, UsbPlace> prepared)
      : pool_(pool), view_(view), prepared_(std::move(prepared)) {}

  // Looks at the buses: starts a run for each board plugged in since the
  // last look, notes the boards pulled out.
  void scan() {
    std::vector<BusUse> buses;
    std::vector<Plug> plugs = plugs_now(&buses);
    view_.buses(buses);
    for (Plug& plug : plugs)
      keep_name(&plug);
    std::set<std::string> present;
    for (const Plug& plug : plugs)
      present.insert(plug.name);
    for (const BoardLines::value_type run : pool_.lines()) {
      BoardRun* latest = pool_.latest(run->plug().name);
      const bool there = std::any_of(plugs.begin(), plugs.end(),
                                     [&](const Plug& p) { return p.same_plug(latest->plug()); });
      if (!there && !latest->unplugged()) {
        latest->set_unplugged();
        // Its claim goes with it; a run still going keeps its process's.
        pool_.release(latest->plug().name);
        view_.unplugged(latest->plug().name);
      }
    }
    for (auto it = skipped_.begin(); it != skipped_.end();) {
      const bool there = std::any_of(plugs.begin(), plugs.end(),
                                     [&](const Plug& p) { return p.same_plug(it->second); });
      if (there) {
        ++it;
        continue;
      }
      view_.unplugged(it->first);
      it = skipped_.erase(it);
    }
    // The room for boards is counted once for the boards new at this look
    // (the count reads the system's tables), when the first is started.
    room_wanted_ = static_cast<int>(std::count_if(plugs.begin(), plugs.end(), [&](const Plug& p) {
      const BoardRun* latest = pool_.latest(p.name);
      return latest == nullptr || !latest->plug().same_plug(p) || latest->unplugged();
    }));
    room_ = -1;
    for (const Plug& plug : plugs)
      look_at(plug);
    // A board told as waiting and pulled out before it could start: its
    // cause is gone with it, and told so.
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (present.count(it->first) != 0) {
        ++it;
        continue;
      }
      view_.unplugged(it->first);
      it = waiting_.erase(it);
    }
  }

 private:
  // A plug keeps the name it was given: as a board is pulled out, the system
  // stops telling its port a moment before libusb stops listing it, and the
  // board must not come back then as a new one named by its bus and device.
  void keep_name(Plug* plug) const {
    const auto& runs = pool_.lines();
    const auto run = std::find_if(runs.begin(), runs.end(),
                                  [&](const BoardRun* r) { return r->plug().same_plug(*plug); });
    if (run != runs.end()) {
      *plug = (*run)->plug();
      return;
    }
    const auto skipped = std::find_if(skipped_.begin(), skipped_.end(), [&](const auto& entry) {
      return entry.second.same_plug(*plug);
    });
    if (skipped != skipped_.end())
      *plug = skipped->second;
  }

  void look_at(const Plug& plug) {
    const BoardRun* latest = pool_.latest(plug.name);
    // Taken care of: this very plug-in had its run. A board seen pulled out
    // since is another plug-in even at the same device number, which a bus
    // short of addresses gives the next board it takes.
    if (latest != nullptr && latest->plug().same_plug(plug) && !latest->unplugged())
      return;
    // A board plugged in again while the run of its last plug-in still ends
    // (its transfers failing one after the other): it waits for the next
    // look, so that one board name has one process at a time.
    if (latest != nullptr && !latest->finished())
      return;
    // Prepared by this station before it was started again, in this boot,
    // and plugged since: once per plug-in, across a restart too.
    const auto earlier = prepared_.find(plug.name);
    if (earlier != prepared_.end()) {
      const bool same =
          earlier->second.same_place(plug.place) && earlier->second.devnum == plug.place.devnum;
      prepared_.erase(earlier);
      if (same && latest == nullptr) {
        view_.found(plug.name);
        view_.already_prepared(plug.name);
        skipped_[plug.name] = plug;
        return;
      }
    }
    // scan() has already let go of a skipped port whose plug changed, so a
    // port still skipped holds the very board prepared before the restart.
    if (skipped_.count(plug.name) != 0)
      return;
    std::string why;
    const auto told = waiting_.find(plug.name);
    if (told == waiting_.end())
      view_.found(plug.name);
    // While records cannot be kept, no board is started: the operator is
    // told why, and the boards wait plugged in. So does a board the system
    // has no room for (started, it would fail half way), and one whose node
    // the station may not write yet: udev gives it to plugdev moments later
    // (at boot the station may look first), and a run started now could
    // not open it, yet would count as this plug's run.
    BoardPool::Start started = BoardPool::Start::refused;
    if (pool_.records_waiting())
      why = "records wait to be written: " + pool_.records_problem();
    else if (board_node_writable(plug.place.bus, plug.place.device, &why) && room_for_one(&why) &&
             (started = pool_.start(plug, /*record_refusal=*/false, &why)) ==
                 BoardPool::Start::started) {
      waiting_.erase(plug.name);
      return;
    }
    // Told BUSY by the pool: it waits, looked at again at the next looks.
    if (started == BoardPool::Start::busy) {
      waiting_[plug.name] = why;
      return;
    }
    // Its log could not be made (the logs folder cannot be written, the
    // disk is full): told once, tried again at the next looks.
    if (told == waiting_.end() || told->second != why)
      view_.not_started(plug.name, why);
    waiting_[plug.name] = why;
  }

  // Whether one more board may start at this look; `why` when not.
  bool room_for_one(std::string* why) {
    if (room_ < 0)
      room_ = room_for_boards(room_wanted_, pool_.tally().running, &room_why_);
    if (room_ == 0) {
      *why = room_why_;
      return false;
    }
    --room_;
    return true;
  }

  BoardPool& pool_;
  StationView& view_;
  std::map<std::string, UsbPlace> prepared_;    // before a restart, this boot
  std::map<std::string, Plug> skipped_;         // plugs prepared before a restart
  std::map<std::string, std::string> waiting_;  // boards not started yet, and why
  int room_wanted_ = 0;                         // boards new at this look
  int room_ = -1;  // how many more may start at this look; -1: not counted yet
  std::string room_why_;
};

}  // namespace

int run_watch(const StationOptions& options, std::ostream& out, int* request) {
  InterruptHandlers interrupts(/*record_second=*/true);
  *request = 0;
  StationView view(out, output_is_terminal(), /*watching=*/true, output_is_journal());
  BoardPool pool(options, view);
  std::string why;
  std::map<std::string, UsbPlace> prepared;
  std::string skipped;
  int cannot = pool.prepare(&why);
  if (cannot == 0 && !options.results.empty() &&
      !read_prepared_plugs(options.results, boot_id(), &prepared, &skipped, &why))
    cannot = kCannotRunNow;
  if (cannot != 0) {
    std::cerr << "flashprep-station: " << why << std::endl;
    *request = interrupt_request();
    return cannot;
  }
  // Standard error: standard output's lines are the events alone.
  if (!skipped.empty())
    std::cerr << "flashprep-station: " << skipped << std::endl;

  Watch watch(pool, view, std::move(prepared));
  PoolLoop loop;
  loop.look = [&watch] { watch.scan(); };
  loop.look_every = kLookEvery;
  loop.end_when_idle = false;
  return run_pool(pool, view, loop, request);
}
