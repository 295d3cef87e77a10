// The loop of a station, whichever way it runs: it follows the pool's runs,
// draws the view, passes a stop request on and, watching, looks at the buses
// for new boards. What differs between one pass and watching is given as
// plain values: the look at the buses, how often, and when the loop ends.
#ifndef FLASHPREP_STATION_RUN_POOL_H_
#define FLASHPREP_STATION_RUN_POOL_H_

#include <chrono>
#include <functional>

#include "station/board_pool.h"
#include "station/station_view.h"

struct PoolLoop {
  // Looks at the buses and starts the boards found there in the pool: at the
  // loop's first turn, then every `look_every`, until a stop request. Empty
  // for a pool that got its boards before the loop (one pass).
  std::function<void()> look;
  std::chrono::milliseconds look_every{1000};
  // True: the loop ends as soon as no run is going (one pass). False: only
  // a stop request ends it, once its runs have stopped (watching).
  bool end_when_idle = true;
};

// Runs the loop until it ends: the processes are looked at every 50 ms, the
// logs read and the view drawn 4 times a second. The first stop request
// (app/interrupt.h) goes to every run once; a second abandons the runs,
// each recorded as far as its log tells. Then writes the records that wait
// and closes the view. Returns kAllReady when every run was READY,
// kSomeNotReady otherwise, kCannotRun when a record was never written; the
// first stop request is left in `*request` (0 for none).
//
// REQUIRES: `pool` was prepared, and InterruptHandlers that record a second
// request live while it runs.
int run_pool(BoardPool& pool, StationView& view, const PoolLoop& loop, int* request);

#endif  // FLASHPREP_STATION_RUN_POOL_H_
