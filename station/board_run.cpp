#include "station/board_run.h"

#include <algorithm>

void BoardRun::begin() {
  start_time = StationClock::now();
  started_at = WallClock::now();
}

void BoardRun::follow(StationClock::time_point now) {
  if (!log.follow() || format_begun)
    return;
  const int reached = blocks_reached();
  if (reached > 0) {
    format_begun = true;
    format_seen = now;
    format_seen_blocks = reached;
  }
}

void BoardRun::finish(StationClock::time_point now) {
  follow(now);
  finished = true;
  ended_at = WallClock::now();
  seconds = std::chrono::duration<double>(now - start_time).count();
  verdict = log.verdict();
}

int BoardRun::blocks_reached() const {
  const auto& flash = log.run().flash;
  return kFlashBlocks -
         static_cast<int>(std::count(flash.begin(), flash.end(), FlashBlock::not_reached));
}

std::string BoardRun::phase() const {
  if (finished)
    return verdict.headline;
  const RunLog& run = log.run();
  if (run.lines == 0)
    return "STARTING";
  if (std::count(run.driver_blocks.begin(), run.driver_blocks.end(), DriverBlock::not_reached) >
          0 ||
      run.driver_summary.size() < 4)
    return "DRIVER";
  return blocks_reached() == 0 ? "INIT" : "FORMAT";
}

double BoardRun::seconds_left(StationClock::time_point now) const {
  const int reached = blocks_reached();
  if (!format_begun || reached <= format_seen_blocks)
    return -1;
  // The steps before the format pass take a time of their own that says
  // nothing of its pace.
  const double elapsed = std::chrono::duration<double>(now - format_seen).count();
  return elapsed * (kFlashBlocks - reached) / (reached - format_seen_blocks);
}

std::string BoardRun::first_reason() const {
  return verdict.reasons.empty() ? std::string() : reason_text(verdict.reasons.front(), true);
}
