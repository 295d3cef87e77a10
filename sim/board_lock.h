// What the folder of simulated boards needs from the system: who a board file
// is (so that a file created anew is a board plugged in anew) and a lock on it
// that marks the board in use by one process. The lock is one the system drops
// when its process ends, however it ends, so that a crashed run never leaves a
// board taken. One implementation per system: board_lock-posix.cpp (flock),
// board_lock-win32.cpp (LockFileEx).
#ifndef FLASHPREP_SIM_BOARD_LOCK_H_
#define FLASHPREP_SIM_BOARD_LOCK_H_

#include <cstdint>
#include <string>

namespace sim {

// Which file a path names now. Two ids are equal only for the same file not
// created anew in between; a missing or unreadable file has exists == false.
struct FileId {
  bool exists = false;
  uint64_t device = 0;  // the file system (volume)
  uint64_t index = 0;   // the file in it (inode, file index)
  int64_t changed = 0;  // change (POSIX) or creation (Windows) time, ns or 100 ns
  bool operator==(const FileId& o) const {
    return exists == o.exists && device == o.device && index == o.index && changed == o.changed;
  }
  bool operator!=(const FileId& o) const { return !(*this == o); }
};

FileId file_id(const std::string& path);

// How long, in milliseconds, a board file found in place is taken to stay
// there before the next look: 0 where looking is a cheap system call, more
// where it means opening the file.
extern const int kFileLookMs;

// An exclusive hold on one board file across processes. Released by
// release(), by the destructor, or by the system when the process ends.
class BoardLock {
 public:
  enum class Result { held, busy, gone };

  BoardLock() = default;
  ~BoardLock() { release(); }
  BoardLock(const BoardLock&) = delete;
  BoardLock& operator=(const BoardLock&) = delete;

  // Takes the file at `path` if it is still the file `id`: held; busy when
  // another holder (another process, or another lock in this one) has it;
  // gone when the path names no file or another file now.
  Result acquire(const std::string& path, const FileId& id);
  void release();
  bool held() const;

 private:
  // The board file, open while it is held: the lock goes with it.
#ifdef _WIN32
  void* file_ = nullptr;  // HANDLE
#else
  int fd_ = -1;
#endif
};

}  // namespace sim

#endif  // FLASHPREP_SIM_BOARD_LOCK_H_
