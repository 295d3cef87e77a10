// A station's claims: on its logs folder, so that no two stations ever
// share, empty or interleave a log, and on its results file. A claim is the
// system's lock on an open file (for the logs folder, the file
// .flashprep-station.lock in it, which also holds the claiming process's id
// for a second station to name). The system drops the lock when its process
// ends, however it ends (a kill, a power cut), so a claim never outlives its
// station; the file itself stays.
#ifndef FLASHPREP_STATION_FOLDER_LOCK_H_
#define FLASHPREP_STATION_FOLDER_LOCK_H_

#include <string>

#include "station/file_handle.h"

// Claims the open file `file` for this station. False, with the reason in
// `error`, when another process holds it ("WHAT is held by
// flashprep-station process 1234", "WHAT is held by another
// flashprep-station" where the system does not tell who) or the system would
// not lock it; `file` is closed then.
bool claim_file(FileHandle* file, const std::string& what, std::string* error);

// The lock file's name in a logs folder.
constexpr const char* kFolderLockName = ".flashprep-station.lock";

// Ownership: the object owns the lock file's handle and the lock with it,
// released when it is destroyed. Not copyable.
class FolderLock {
 public:
  FolderLock() = default;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Claims the folder `dir` (which must exist): creates the lock file if
  // need be, locks it, syncs the folder and writes this process's id into
  // the file. False, with the reason in `error`, when another process
  // holds it ("held by flashprep-station process 1234") or the file cannot
  // be made or locked (the folder cannot be written: the same reason a log
  // could not be).
  bool claim(const std::string& dir, std::string* error);
  // True when the claim stands: the lock file is still the one locked (a
  // folder removed or emptied takes the file, and the claim, with it).
  bool holds() const;
  void release() { file_.close(); }  // closing drops the lock

 private:
  FileHandle file_;
  std::string path_;
};

#endif  // FLASHPREP_STATION_FOLDER_LOCK_H_
