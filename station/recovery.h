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
// A note's first line names the results file the run's record is to go to
// (by the system's identity of the file, and its absolute path): the
// record of a run belongs in the file that holds every other record of its
// station. A station that starts with a results file looks at its logs
// folder for notes, as a database replays its log when opened, and takes
// those of its own results file alone: a note of another results file is
// left for a station started with that one (and said once). A note whose
// log a record of the results file names is left over from a station that
// ended right after that record: it is removed. Any other is recovered once: its
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

// A results file as a note names it: its FileHandle::identity() ("" when
// the system gives none) and its absolute path with links resolved. Either
// tells the file: the path the one a station is started with, the identity
// another name of it (a hard link).
struct ResultsFileId {
  std::string identity;
  std::string path;
};

// The ResultsFileId of the results file `path` whose identity is `identity`.
ResultsFileId results_file_id(const std::string& path, const std::string& identity);

// The note of the run whose log is `log_path`.
std::string run_note_path(const std::string& log_path);

// Writes the note of a run whose record is `record_line`, to be recorded in
// `results`, into the new file `path`, syncs it and its folder and locks
// it, left open in `note` for the board's process to hold. False, with the
// reason, when any of that fails (the file is then removed, but for one
// that was there already: `*exists`).
bool write_run_note(const std::string& path, const ResultsFileId& results,
                    const std::string& record_line, FileHandle* note, std::string* error,
                    bool* exists);

// Removes a note once its run's record is on the disk (or the run was never
// one to record); a note that cannot be removed is recovered as done by the
// next station, which finds its record.
void remove_run_note(const std::string& path);

class Recovery {
 public:
  // Finds the notes in `logs` of the results file `results`, which exists;
  // those whose log a record in it names are removed at once, the others
  // wait for recover(). Notes of another results file are left as they are,
  // and listed in left_alone(). False, with the reason, when the results
  // file cannot be read.
  bool find(const std::string& logs, const ResultsFileId& results, std::string* error);
  // Recovers every note whose process has ended: `record` gets its record
  // and says whether it is on the disk (the note is then removed). Notes
  // whose process still runs wait for a later call.
  void recover(const std::function<bool(const RunRecord&)>& record);
  bool waiting() const { return !notes_.empty(); }

  // A note find() left for the station of another results file.
  struct LeftNote {
    std::string note;
    std::string results;  // the path its note names
  };
  const std::vector<LeftNote>& left_alone() const { return left_; }

 private:
  std::vector<std::string> notes_;
  std::vector<LeftNote> left_;
};

#endif  // FLASHPREP_STATION_RECOVERY_H_
