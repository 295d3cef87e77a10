// A station's claim on its logs folder: one station at a time writes there,
// so that no two stations ever share, empty or interleave a log. The claim
// is a lock on the file .flashprep-station.lock in the folder, which also
// holds the claiming process's id for a second station to name. The system
// drops the lock when its process ends, however it ends (a kill, a power
// cut), so a claim never outlives its station; the file itself stays.
//
// One implementation per system: folder_lock-posix.cpp (flock),
// folder_lock-win32.cpp (LockFileEx).
#ifndef FLASHPREP_STATION_FOLDER_LOCK_H_
#define FLASHPREP_STATION_FOLDER_LOCK_H_

#include <cstdint>
#include <string>

// Takes the system's exclusive lock on the open file `handle` (a file
// descriptor, or a HANDLE) without waiting: the kind of lock both a station's
// claims use, which the system drops when the process ends. On Windows it
// covers a byte far past the file's end, so that reading and appending are
// not held up. `busy` when another holder has it; `failed`, with the reason
// in `error`, when the system would not lock it.
enum class FileLock { held, busy, failed };
FileLock lock_file(intptr_t handle, std::string* error);

// The lock file's name in a logs folder.
constexpr const char* kFolderLockName = ".flashprep-station.lock";

// Ownership: the object owns the lock file's descriptor (handle) and the
// lock with it, released when it is destroyed. Not copyable.
class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock() { release(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Claims the folder `dir` (which must exist): creates the lock file if
  // need be, locks it and writes this process's id into it. False, with the
  // reason in `error`, when another process holds it ("held by
  // flashprep-station process 1234") or the file cannot be made or locked
  // (the folder cannot be written: the same reason a log could not be).
  bool claim(const std::string& dir, std::string* error);
  // True when the claim stands: the lock file is still the one locked (a
  // folder removed or emptied takes the file, and the claim, with it).
  bool holds() const;
  void release();

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a file descriptor, or a HANDLE
  std::string path_;
};

#endif  // FLASHPREP_STATION_FOLDER_LOCK_H_
