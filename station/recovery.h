// Runs a station left without their record: a station killed (kill -9, a
// crash, the OOM killer) or a power cut between a board's start and its
// record. Each run has a note beside its log, NAME.TIME.run for
// NAME.TIME.log: the record the run would get were nothing more known of it
// (station/run_record.h's starting_record_of), written and synced, with its
// folder, before the board's process starts, and removed once the run's
// record is on the disk. So a power cut at any moment leaves either no note
// (nothing was started), a note that is no whole record (nothing was
// started either: it is removed), or a whole note: enough to recover from.
//
// A station that starts with a results file looks at its logs folder for
// notes, as a database replays its log when opened. A note whose log a
// record of the results file names is left over from a station that ended
// right after that record: it is removed. Any other is recovered once: its
// record is the note's, judged by what its log holds now (the verdict is the
// log's: READY only for a whole READY run), STATION ENDED the first reason,
// its end the log's last change. The note is locked by the station and the
// board's process alike (BoardProcess::start's `held`), so a run still going
// in a process its killed station left is recovered only once that process
// has ended and the system has dropped its lock. Runs made without a results
// file, or by a station that wrote no notes (an older one), have no note and
// are never recovered.
#ifndef FLASHPREP_STATION_RECOVERY_H_
#define FLASHPREP_STATION_RECOVERY_H_

#include <functional>
#include <string>
#include <vector>

#include "records/record.h"
#include "station/file_handle.h"

// The note of the run whose log is `log_path`.
std::string run_note_path(const std::string& log_path);

// Writes `record_line` into the new file `path`, syncs it and its folder and
// locks it, left open in `note` for the board's process to hold. False,
// with the reason, when any of that fails (the file is then removed, but
// for one that was there already: `*exists`).
bool write_run_note(const std::string& path, const std::string& record_line, FileHandle* note,
                    std::string* error, bool* exists);

// Removes a note once its run's record is on the disk (or the run was never
// one to record); a note that cannot be removed is recovered as done by the
// next station, which finds its record.
void remove_run_note(const std::string& path);

class Recovery {
 public:
  // Finds the notes in `logs`; those whose log a record in `results` names
  // are removed at once, the others wait for recover(). False, with the
  // reason, when the results file exists but cannot be read.
  bool find(const std::string& logs, const std::string& results, std::string* error);
  // Recovers every note whose process has ended: `record` gets its record
  // and says whether it is on the disk (the note is then removed). Notes
  // whose process still runs wait for a later call.
  void recover(const std::function<bool(const RunRecord&)>& record);
  bool waiting() const { return !notes_.empty(); }

 private:
  std::vector<std::string> notes_;
};

#endif  // FLASHPREP_STATION_RECOVERY_H_
