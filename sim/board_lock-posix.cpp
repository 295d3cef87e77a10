// POSIX: flock() on the board file itself, so that a file created anew under
// the same name is a new, free board.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sim/board_lock.h"

namespace sim {
namespace {

FileId id_of(const struct stat& st) {
  FileId id;
  id.exists = true;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.index = static_cast<uint64_t>(st.st_ino);
  id.changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

}  // namespace

const int kFileLookMs = 0;  // a stat() costs about a microsecond

FileId file_id(const std::string& path) {
  struct stat st = {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return FileId();
  return id_of(st);
}

BoardLock::Result BoardLock::acquire(const std::string& path, const FileId& id) {
  release();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return Result::gone;
  struct stat st = {};
  if (fstat(fd, &st) != 0 || id_of(st) != id) {
    (void)::close(fd);  // read only: nothing to lose
    return Result::gone;
  }
  int locked = 0;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    (void)::close(fd);
    return Result::busy;
  }
  fd_ = fd;
  return Result::held;
}

void BoardLock::release() {
  if (fd_ < 0)
    return;
  (void)::close(fd_);  // closing drops the lock
  fd_ = -1;
}

bool BoardLock::held() const {
  return fd_ >= 0;
}

}  // namespace sim
