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
#include "station/recovery.h"
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
  // results file, and recovers the runs a station that ended left. 0 when
  // all is ready; kCannotRun (the image) or kCannotRunNow (the folder, the
  // results) with the reason in `error` when not: no board may be started
  // then.
  int prepare(std::string* error);

  // The board plugged in as `plug`'s next run: its log is
  // LOGS/NAME.YYYYMMDDTHHMMSSZ.log (the start in UTC; _2, _3... added when
  // that name is taken), a file created new, never one that was there; its
  // process's standard error goes to the same name ending in .err. True when
  // the process started. When it could not be (`why`): with `record_refusal`
  // the run is finished at once NOT READY and recorded; otherwise nothing is
  // kept and the caller may try again later (the logs folder may be made
  // writable in between).
  //
  // Before its log is made the board is claimed (station/board_claim.h):
  // one another process holds is busy, not started and not recorded
  // (`why`: "held by another process"), whatever `record_refusal` says; so
  // is one whose process finds another holding it (told and dropped by
  // poll()). A board found busy is looked at without a process (its claim
  // and a try to open it) until it is free.
  enum class Start : uint8_t { started, busy, refused };
  Start start(const Plug& plug, bool record_refusal, std::string* why);
  // A board that is not started (`why`): finished at once NOT READY, told
  // and recorded.
  void refuse(const Plug& plug, const std::string& why);

  // Looks at every run: reads what the logs gained (when `follow`), finishes
  // and records each run whose process ended, tries again to write the
  // records that wait, recovers the runs a station that ended left (when
  // their processes have ended, station/recovery.h) and, when `follow`,
  // tells once that the logs folder was removed. True when no run is going
  // and no run waits to be recovered.
  bool poll(StationClock::time_point now, bool follow);

  // Passes a stop request on to every run going, once, then tells it
  // (STOPPING ON SIGNAL N): the line comes after every board was sent it.
  void stop(int request);
  // Ends without waiting (a second stop request): every run still going is
  // judged by what its log holds now, and recorded.
  void abandon(StationClock::time_point now);

  // The claim on board `name` is let go (it was pulled out).
  void release(const std::string& name);

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
  // One pass: a board found busy at its start counts as not prepared.
  void count_busy() { ++tally_.busy; }

 private:
  BoardRun& keep(std::unique_ptr<BoardRun> run);
  void finish(BoardRun& run, StationClock::time_point now);
  void record(BoardRun& run);
  bool ready_logs_folder(std::string* why);
  // Claims the board for `run`; false when another process holds it.
  bool claim(BoardRun& run, const Plug& plug);
  bool still_busy(const Plug& plug);
  bool start_run(BoardRun& run, const Plug& plug, std::string* why, bool* taken);
  void recover();

  const StationOptions& options_;
  StationView& view_;
  FolderLock folder_lock_;
  Records records_;
  RecordSource source_;
  std::list<std::unique_ptr<BoardRun>> runs_;  // the latest run of each board
  std::vector<std::string> names_;             // in the order they first came
  StationTally tally_;
  size_t reported_waiting_ = 0;       // records told as waiting, to say when they are written
  std::string claims_folder_;         // "" once claims could not be had (said once)
  std::map<std::string, Plug> busy_;  // boards their process found held, by name
  Recovery recovery_;
  bool logs_gone_told_ = false;
};

#endif  // FLASHPREP_STATION_BOARD_POOL_H_
