// The results file: one line per finished board, appended, so that the
// line's quality system can read it while the station runs.
//
// Each line reaches the file whole: it is handed to the system in one write
// on a file opened for appending (O_APPEND; FILE_APPEND_DATA on Windows),
// so no other writer's bytes land inside it. A stop request never cuts one
// (it is served between records). A kill lands before or after the one
// write of a few hundred bytes, but for the rare write that crosses a page
// of the system's cache, which a kill can cut between its pages; the rule
// below keeps the rest of the file readable. A file that ends in the middle
// of a line (cut by something else: a full disk, a power cut, which may also
// leave NUL bytes) gets a newline before the next record, so the damaged
// line stays alone and every record after it is a line of its own.
//
// A line is on the disk once sync() has said so: the file's bytes, and for a
// file this object made, its entry in its folder, which a power cut would
// otherwise take with it. A line written whose sync failed stays written: a
// later good sync puts it on the disk, and it is never written again.
//
// One station at a time appends to a file: open() claims it with a lock the
// system drops when the station ends, however it ends. A file removed (or
// replaced) while the station runs is made again, and claimed again, at the
// next record.
#ifndef FLASHPREP_STATION_RESULTS_FILE_H_
#define FLASHPREP_STATION_RESULTS_FILE_H_

#include <string>

#include "station/file_handle.h"

// Ownership: the object owns the open file and closes it when destroyed.
class ResultsFile {
 public:
  ResultsFile() = default;
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  // Opens `path` for appending, creating it when missing, and claims it.
  // False, with the reason in `error`, when it cannot be opened or read
  // back, or another station holds it ("... is held by flashprep-station
  // process 1234" where the system tells who).
  bool open(const std::string& path, std::string* error);

  // Appends `line` (no newline in it) and a newline; makes the file again
  // first when it was removed (after a sync of the lines already written to
  // the one removed). True when the whole line was written: it is on the
  // disk after the next good sync(). False, with the reason in `error`, when
  // it was not: nothing of the line is in the file then, or a part of it
  // that the next line's newline leaves alone on its line.
  bool write(const std::string& line, std::string* error);

  // Puts every line written so far on the disk, trying twice. True when
  // they are (or none waits); false, with the reason, when the system says
  // they may not be: the lines stay written, and a later sync() that
  // succeeds puts them on the disk.
  bool sync(std::string* error);

  const std::string& path() const { return path_; }
  // The identity of the file the lines go to now (FileHandle::identity()).
  std::string identity() const { return file_.identity(); }

 private:
  bool open_file(std::string* error);

  FileHandle file_;
  bool mid_line_ = false;         // the file does not end with a newline
  bool unsynced_ = false;         // lines written since the last good sync
  bool folder_unsynced_ = false;  // the file was made and its folder not synced since
  std::string path_;
};

#endif  // FLASHPREP_STATION_RESULTS_FILE_H_
