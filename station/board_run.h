// One board's run in the station: which plug-in it is, the process preparing
// it, its log as read so far, its times, and in the end its verdict: the one
// flashprep-summary gives its log, with what only the station knows put
// before the log's own reasons (the board was pulled out, its run stopped by
// a signal, its log could not be written, its process refused it).
#ifndef FLASHPREP_STATION_BOARD_RUN_H_
#define FLASHPREP_STATION_BOARD_RUN_H_

#include <chrono>
#include <string>
#include <vector>

#include "runlog/verdict.h"
#include "station/board_claim.h"
#include "station/board_log.h"
#include "station/driver_image.h"
#include "station/file_handle.h"
#include "station/host.h"
#include "station/plugs.h"

using StationClock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// Ownership: the run owns its process and its log reader. Neither copyable
// nor movable (its process stays where it was started).
class BoardRun {
 public:
  // A run of `plug` whose log is `log_path` ("" when none could be made) and
  // whose process's standard error is `errors_path`.
  BoardRun(Plug plug, std::string log_path, std::string errors_path);
  BoardRun(const BoardRun&) = delete;
  BoardRun& operator=(const BoardRun&) = delete;

  // Notes the start on both clocks now (start() does, if not done before).
  void note_start();
  // Starts `program` with `argv` on the run's files, `held` kept open in
  // it (see BoardProcess::start), noting the start on both clocks. False,
  // with `error` and `taken` as there.
  bool start(const std::string& program, const std::vector<std::string>& argv,
             const std::vector<intptr_t>& held, std::string* error, bool* taken);
  // The run could not be started (`why`); it is finished at once, NOT
  // READY, with no log.
  void not_started(const std::string& why);
  // Reads what the board's process added to its log.
  void follow(StationClock::time_point now);
  // Passes a stop request on to the process, once.
  void stop(int request);
  // True once the process has ended; does not block.
  bool ended() { return process_.ended(); }
  // The process has ended: reads the rest of the log and judges the run.
  void finish(StationClock::time_point now);
  // The board was found gone when its run ended NOT READY: UNPLUGGED comes
  // first among the reasons.
  void unplugged_during_run();
  // The station ends without waiting for the process (a second stop
  // request): judges the run by what the log holds now.
  void abandon(StationClock::time_point now);

  const Plug& plug() const { return plug_; }
  const std::string& log_path() const { return log_path_; }
  const std::string& errors_path() const { return errors_path_; }
  bool started() const { return started_; }
  bool finished() const { return finished_; }
  WallClock::time_point start_utc() const { return start_utc_; }
  WallClock::time_point end_utc() const { return end_utc_; }
  double seconds() const { return seconds_; }

  // The driver image the run was started with (known: it could be read).
  void set_image(const DriverImage& image, bool known) {
    image_ = image;
    image_known_ = known;
  }
  const DriverImage& image() const { return image_; }
  bool image_known() const { return image_known_; }

  // Once finished: READY, NOT READY or NOT A FLASHPREP LOG; 0, 1 or 2 as
  // flashprep-summary's exit status; every reason as text (the station's
  // first); the first of them ("" for READY).
  const std::string& headline() const { return headline_; }
  int status() const { return status_; }
  const std::vector<std::string>& reasons() const { return reasons_; }
  std::string first_reason() const { return reasons_.empty() ? "" : reasons_.front(); }
  // The process refused the board before touching it (it ended with status
  // 2): the reason, from its standard error.
  bool refused() const { return refused_; }
  // The log as the summary's reader sees it (whole lines so far; once
  // finished, the whole log).
  const RunLog& log() const { return log_.run(); }

  // Watching: the board was seen pulled out since its run started, and
  // told so.
  bool unplugged() const { return unplugged_; }
  void set_unplugged() { unplugged_ = true; }

  // The station's claim on the board (held from before the run starts until
  // the board is pulled out or found busy) and the run's note
  // (station/recovery.h), kept open while the run goes.
  BoardClaim& claim() { return claim_; }
  FileHandle& note() { return note_; }
  const std::string& note_path() const { return note_path_; }
  void set_note_path(std::string path) { note_path_ = std::move(path); }
  // Once finished: its process found the board held by another process
  // before a word to it (nothing to record).
  bool busy() const { return busy_; }

  // Flash blocks the log has reached so far (formatted, failed or tables).
  int blocks_reached() const;
  // Where the run is: STARTING, DRIVER, INIT or FORMAT; once finished, the
  // headline.
  std::string phase() const;
  // Seconds left at the pace so far, or -1 before that pace is known.
  double seconds_left(StationClock::time_point now) const;

 private:
  // True, and the log forgotten, when the log is no longer there.
  bool log_lost();
  // Puts the log and the process's messages on the disk. False, with the
  // system's words, when it could not.
  bool sync_files(std::string* error) const;
  void conclude(const Verdict& verdict, std::vector<std::string> station_reasons);
  std::string first_error_line() const;

  Plug plug_;
  std::string log_path_;
  std::string errors_path_;
  BoardProcess process_;
  BoardLog log_;
  bool started_ = false;
  bool finished_ = false;
  bool refused_ = false;
  bool unplugged_ = false;
  bool busy_ = false;
  bool start_noted_ = false;
  BoardClaim claim_;
  FileHandle note_;
  std::string note_path_;
  int stop_request_ = 0;
  StationClock::time_point started_steady_;  // times the run
  WallClock::time_point start_utc_;          // for the record
  WallClock::time_point end_utc_;
  double seconds_ = 0;
  DriverImage image_;
  bool image_known_ = false;
  // When lines of the format pass were first read, and how many blocks they
  // had reached then: the pace is measured from there.
  StationClock::time_point format_seen_;
  int format_seen_blocks_ = 0;
  bool format_begun_ = false;
  std::string headline_;
  int status_ = 0;
  std::vector<std::string> reasons_;
};

#endif  // FLASHPREP_STATION_BOARD_RUN_H_
