// The results file: one line per finished board, appended, so that the
// line's quality system can read it while the station runs.
//
// Each line reaches the file whole: it is handed to the system in one write
// on a file opened for appending (O_APPEND; FILE_APPEND_DATA on Windows),
// so no other writer's bytes land inside it, and it is on the disk (fsync;
// FlushFileBuffers) before append() returns, so before the next board's.
// A stop request never cuts one (it is served between records). A kill
// lands before or after the one write of a few hundred bytes, but for the
// rare write that crosses a page of the system's cache, which a kill can cut
// between its pages; the rule below keeps the rest of the file readable. A
// file that ends in the middle of a line (cut by something else: a full
// disk, a crash of the machine) gets a newline before the next record, so
// the cut line stays alone and every record after it is a line of its own.
//
// One station at a time appends to a file: open() claims it with a lock the
// system drops when the station ends, however it ends. A file removed (or
// replaced) while the station runs is made again, and claimed again, at the
// next record.
#ifndef FLASHPREP_STATION_RESULTS_FILE_H_
#define FLASHPREP_STATION_RESULTS_FILE_H_

#include <string>

// Ownership: the object owns the open file and closes it when destroyed.
class ResultsFile {
 public:
  ResultsFile() = default;
  ~ResultsFile();
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  // Opens `path` for appending, creating it when missing, and claims it.
  // False, with the reason in `error`, when it cannot be opened or read
  // back, or another station holds it ("... is held by flashprep-station
  // process 1234" where the system tells who).
  bool open(const std::string& path, std::string* error);

  // Appends `line` (no newline in it) and a newline, and waits until it is
  // on the disk; makes the file again first when it was removed. True when
  // the whole line was written and flushed; false (the reason in `error`)
  // otherwise: nothing of the line may then be in the file, a part of it
  // that the next record's newline leaves alone on its line, or (when only
  // the flush failed) the whole line, which a caller that writes it again
  // then has twice. Without a file named: nothing, true.
  bool append(const std::string& line, std::string* error);

  const std::string& path() const { return path_; }

 private:
  bool open_file(std::string* error);
  void close_file();
  // False when the file named path_ is no longer the open one.
  bool still_named() const;

#ifdef _WIN32
  void* file_ = nullptr;  // HANDLE
#else
  int fd_ = -1;
#endif
  bool mid_line_ = false;  // the file does not end with a newline
  std::string path_;
};

#endif  // FLASHPREP_STATION_RESULTS_FILE_H_
