// What the station shows while it works.
//
// On a terminal: one line per board (name, phase, a bar over its flash
// blocks, time left, then the verdict and its first reason), an overall line
// (boards done, READY, NOT READY, still running; watching, that it watches),
// and a line for what the operator must know (a stop under way, records that
// cannot be written), redrawn in place and cut to the terminal's width; when
// the boards' lines would not fit the screen, the overall line on top and a
// grid of compact cells instead, the boards that need a person first
// (station/view_layout.h): every board stays on the screen and nothing
// scrolls. Then a closing table. Elsewhere (a file, a pipe, a journal) one plain line per
// event, whose words scripts may rely on:
//
//   FOUND NAME
//   STARTED NAME LOG
//   NOT STARTED NAME: WHY
//   STOPPING ON SIGNAL N
//   FINISHED NAME SECONDS READY
//   FINISHED NAME SECONDS NOT READY: FIRST REASON
//   FINISHED NAME SECONDS NOT A FLASHPREP LOG: FIRST REASON
//   RECORD NOT WRITTEN NAME: WHY
//   RECORDS WRITTEN N
//   BUS FULL BUS: N devices, every address taken; a board plugged in there is not seen
//   DONE R READY, N NOT READY[, B BUSY]
//   BUSY NAME: held by another process
//   RECOVERED NAME SECONDS VERDICT[: FIRST REASON]
//   LOGS GONE DIR
//
// A board that cannot be started, or is busy, is told when its cause comes
// and when it changes, not at every look; STARTED, UNPLUGGED or FINISHED
// tell that it cleared. RECOVERED is the record of a run a station that
// ended left unrecorded (station/recovery.h); LOGS GONE, the logs folder
// removed while boards ran (their records then say LOG LOST).
//
// and, watching:
//
//   UNPLUGGED NAME
//   ALREADY PREPARED NAME
//
// NAME holds no space; SECONDS has one decimal. Under systemd, with the
// journal as standard output, a FINISHED line goes to the journal as one
// structured entry (station/journal.h) instead of a plain line.
#ifndef FLASHPREP_STATION_STATION_VIEW_H_
#define FLASHPREP_STATION_STATION_VIEW_H_

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "records/record.h"
#include "station/board_run.h"
#include "station/host.h"
#include "station/view_layout.h"
#include "usb/board_bus.h"

// The runs the view shows, one line each, in this order. Not owned.
using BoardLines = std::vector<const BoardRun*>;

// The station's count of its runs so far.
struct StationTally {
  int ready = 0;
  int not_ready = 0;
  int running = 0;
  int busy = 0;  // held by another process: neither started nor recorded
  int done() const { return ready + not_ready; }
};

class StationView {
 public:
  // `out` is the station's standard output; `terminal` chooses the live
  // view; `watching` the overall line's words; `journal` sends FINISHED to
  // the journal.
  StationView(std::ostream& out, bool terminal, bool watching, bool journal)
      : out_(out), terminal_(terminal), watching_(watching), journal_(journal) {}

  void found(const std::string& name);
  void already_prepared(const std::string& name);
  void started(const BoardRun& run);
  void not_started(const std::string& name, const std::string& why);
  void stopping(int request);
  // FINISHED (NOT STARTED for a board its process refused); `fields` go
  // with it to the journal.
  void finished(const BoardRun& run, const std::vector<std::string>& fields);
  void unplugged(const std::string& name);
  // BUSY: another process holds the board; nothing is recorded.
  void busy(const std::string& name);
  // RECOVERED; `fields` go with it to the journal.
  void recovered(const RunRecord& record, const std::vector<std::string>& fields);
  void logs_gone(const std::string& folder);
  void record_not_written(const std::string& name, const std::string& why);
  void records_written(size_t count);
  // What a look at the buses found: a bus that has run out of addresses is
  // told once each time it does (BUS FULL), and said in the live view while
  // it stays so.
  void buses(const std::vector<BusUse>& buses);

  // Redraws the live view (a terminal only). `notice` is shown below the
  // overall line when not empty.
  void draw(const BoardLines& runs, const StationTally& tally, const std::string& notice,
            StationClock::time_point now);
  // The last drawing and the closing table, or the DONE line. `stopped_by`
  // is the stop request that ended the station (0 for none).
  void close(const BoardLines& runs, const StationTally& tally, int stopped_by,
             StationClock::time_point now);

  // False once standard output could not be written; the station said so
  // once on standard error.
  bool output_ok() const { return output_ok_; }

 private:
  void event(const std::string& line);
  void tell_once(const std::string& name, const std::string& line);
  void check_output();
  static std::string board_line(const BoardRun& run, size_t name_width,
                                StationClock::time_point now);
  static BoardCell cell_of(const BoardRun& run, size_t name_width, StationClock::time_point now);
  std::string overall_line(const StationTally& tally) const;

  std::ostream& out_;
  bool terminal_;
  bool watching_;
  bool journal_;
  bool output_ok_ = true;
  int drawn_ = 0;      // lines of the last drawing, to go back over
  TerminalSize size_;  // the terminal it was drawn for
  int stop_request_ = 0;
  std::map<std::string, int> full_buses_;    // told as full: name -> devices
  std::map<std::string, std::string> told_;  // each waiting board's line, told once
};

#endif  // FLASHPREP_STATION_STATION_VIEW_H_
