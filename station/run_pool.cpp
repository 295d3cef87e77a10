#include "station/run_pool.h"

#include <algorithm>
#include <thread>

#include "app/interrupt.h"
#include "station/station.h"

namespace {

// The processes are looked at this often; the logs are read and the view
// drawn every kDrawTicks of them (4 times a second), which costs little next
// to a board's own pace.
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr int kDrawTicks = 5;

}  // namespace

int run_pool(BoardPool& pool, StationView& view, const PoolLoop& loop, int* request) {
  const long look_ticks = std::max(1L, static_cast<long>(loop.look_every / kTick));
  bool stopping = false;
  for (long tick = 0;; ++tick) {
    const StationClock::time_point now = StationClock::now();
    // The stop goes to every board before a second request abandons them:
    // two signals at once must not leave boards formatting unrecorded.
    if (interrupt_requested() && !stopping) {
      stopping = true;
      pool.stop(interrupt_request());
    }
    if (interrupt_count() >= 2) {
      pool.abandon(now);
      break;
    }
    const bool draw = tick % kDrawTicks == 0;
    const bool idle = pool.poll(now, draw);
    if (idle && (loop.end_when_idle || stopping))
      break;
    if (!stopping && loop.look && tick % look_ticks == 0)
      loop.look();
    if (draw)
      view.draw(pool.lines(), pool.tally(), pool.records_notice(), now);
    std::this_thread::sleep_for(kTick);
  }
  const bool recorded = pool.close_records();
  view.close(pool.lines(), pool.tally(), interrupt_request(), StationClock::now());
  *request = interrupt_request();
  if (!recorded)
    return kCannotRun;
  // A busy board was not prepared by this station: not every board is
  // READY, though none is recorded as failed.
  return pool.tally().not_ready == 0 && pool.tally().busy == 0 ? kAllReady : kSomeNotReady;
}
