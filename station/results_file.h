// The results file: one line per finished board, appended, so that the
// line's quality system can read it while the station runs.
//
// Each line reaches the file whole: it is handed to the system in one write
// on a file opened for appending (O_APPEND; FILE_APPEND_DATA on Windows),
// so no other writer's bytes land inside it, and it is on the disk (fsync;
// FlushFileBuffers) before append() returns, so before the next board's.
// A stop request never cuts one (it is served between records) and a
// killed station leaves at most a record it had not begun. A file that ends
// in the middle of a line (cut by something else: a full disk, a crash of
// the machine) gets a newline before the next record, so the cut line stays
// alone and every record after it is a line of its own.
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

  // Opens `path` for appending, creating it when missing. False, with the
  // reason in `error`, when it cannot be opened or read back.
  bool open(const std::string& path, std::string* error);

  // Appends `line` (no newline in it) and a newline, and waits until it is
  // on the disk. True when the whole line was written and flushed; false
  // (the reason in `error`) otherwise, and the next record then starts on a
  // line of its own. Without an open file: nothing, true.
  bool append(const std::string& line, std::string* error);

 private:
#ifdef _WIN32
  void* file_ = nullptr;  // HANDLE
#else
  int fd_ = -1;
#endif
  bool mid_line_ = false;  // the file does not end with a newline
  std::string path_;
};

#endif  // FLASHPREP_STATION_RESULTS_FILE_H_
