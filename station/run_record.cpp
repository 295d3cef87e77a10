#include "station/run_record.h"

RunRecord record_of(const BoardRun& run, const RecordSource& source) {
  RunRecord r;
  const Plug& plug = run.plug();
  r.board = plug.name;
  r.start = run.start_utc();
  r.end = run.end_utc();
  r.seconds = run.seconds();
  r.verdict = run.headline();
  r.reasons = run.reasons();
  r.log = run.log_path();
  r.version = source.version;
  r.station = source.station;
  r.port = plug.port;
  r.bus = plug.place.bus;
  r.device = plug.place.device;
  r.devnum = plug.place.devnum;
  r.boot = source.boot;
  r.serial = plug.serial;
  r.image_known = run.image_known();
  r.image = run.image();
  count_log(run.log(), &r);
  return r;
}

RunRecord starting_record_of(const BoardRun& run, const RecordSource& source) {
  RunRecord r = record_of(run, source);
  r.end = r.start;
  r.seconds = 0;
  r.verdict = "NOT READY";
  r.reasons = {kStationEnded};
  count_log(RunLog(), &r);
  return r;
}

void count_log(const RunLog& log, RunRecord* record) {
  RunRecord& r = *record;
  r.failed_blocks.clear();
  r.driver_downloaded = count_driver_blocks(log, DriverBlock::downloaded);
  r.driver_refused = count_driver_blocks(log, DriverBlock::refused);
  r.flash_formatted = count_blocks(log, FlashBlock::formatted);
  r.flash_failed = count_blocks(log, FlashBlock::failed);
  r.table_written = count_blocks(log, FlashBlock::table_written);
  r.table_refused = count_blocks(log, FlashBlock::table_refused);
  for (int n = 0; n < kFlashBlocks; ++n) {
    if (log.flash[n] != FlashBlock::failed)
      continue;
    if (!r.failed_blocks.empty() && r.failed_blocks.back().second == n - 1)
      r.failed_blocks.back().second = n;
    else
      r.failed_blocks.emplace_back(n, n);
  }
}
