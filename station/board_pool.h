// The boards a station prepares, whichever way it runs: what the station
// needs before the first board (the driver image, the logs folder, the
// results file), starting a board's run on a log of its own, following and
// finishing the runs, writing each run's record, and passing a stop on. The
// one-pass station feeds it the boards found at the start; the watching
// station feeds it each board as a look at the buses finds it.
#ifndef FLASHPREP_STATION_BOARD_POOL_H_
#define FLASHPREP_STATION_BOARD_POOL_H_

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "station/board_run.h"
#include "station/folder_lock.h"
#include "station/plugs.h"
#include "station/records.h"
#include "station/run_record.h"
#include "station/station.h"
#include "station/station_view.h"

// Ownership: the pool owns its runs, their processes with them, the claim on
// the logs folder and the results file. `options` and `view` are borrowed
// and must outlive it. Not copyable.
class BoardPool {
 public:
  BoardPool(const StationOptions& options, StationView& view);
  BoardPool(const BoardPool&) = delete;
  BoardPool& operator=(const BoardPool&) = delete;

  // Before any board: checks that the driver image would load as the run
  // loads it, creates the logs folder and claims it, opens and claims the
  // results file. False, with the reason in `error`, when any cannot be had:
  // no board may be started then.
  bool prepare(std::string* error);

  // The board plugged in as `plug`'s next run: its log is
  // LOGS/NAME.YYYYMMDDTHHMMSSZ.log (the start in UTC; _2, _3... added when
  // that name is taken), a file created new, never one that was there; its
  // process's standard error goes to the same name ending in .err. True when
  // the process started. When it could not be (`why`): with `record_refusal`
  // the run is finished at once NOT READY and recorded; otherwise nothing is
  // kept and the caller may try again later (the logs folder may be made
  // writable in between).
  bool start(const Plug& plug, bool record_refusal, std::string* why);
  // A board that is not started (`why`): finished at once NOT READY, told
  // and recorded.
  void refuse(const Plug& plug, const std::string& why);

  // Looks at every run: reads what the logs gained (when `follow`), finishes
  // and records each run whose process ended, tries again to write the
  // records that wait. True when no run is going.
  bool poll(StationClock::time_point now, bool follow);

  // Passes a stop request on to every run going, once, then tells it
  // (STOPPING ON SIGNAL N): the line comes after every board was sent it.
  void stop(int request);
  // Ends without waiting (a second stop request): every run still going is
  // judged by what its log holds now, and recorded.
  void abandon(StationClock::time_point now);

  // Tries once more to write the records that wait, then gives each that
  // never could be to standard error. True when every record was written.
  bool close_records();

  // True when a run of board `name` is still going.
  bool running(const std::string& name) const;
  // The latest run of board `name`; null when none.
  const BoardRun* latest(const std::string& name) const;
  BoardRun* latest(const std::string& name);
  // Records wait to be written: a watching station starts no board then.
  bool records_waiting() const { return records_.waiting(); }
  // Why records wait ("cannot write ..."); "" when none does.
  const std::string& records_problem() const { return records_.problem(); }
  // The same for the live view, with what it means.
  std::string records_notice() const;

  // The latest run of each board, in the order the boards first came.
  BoardLines lines() const;
  StationTally tally() const { return tally_; }

 private:
  BoardRun& keep(std::unique_ptr<BoardRun> run);
  void finish(BoardRun& run, StationClock::time_point now);
  void record(const BoardRun& run);
  bool ready_logs_folder(std::string* why);

  const StationOptions& options_;
  StationView& view_;
  FolderLock folder_lock_;
  Records records_;
  RecordSource source_;
  std::list<std::unique_ptr<BoardRun>> runs_;  // the latest run of each board
  std::vector<std::string> names_;             // in the order they first came
  StationTally tally_;
  size_t reported_waiting_ = 0;  // records told as waiting, to say when they are written
};

#endif  // FLASHPREP_STATION_BOARD_POOL_H_
