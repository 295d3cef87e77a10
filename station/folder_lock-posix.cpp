// POSIX: flock() on the lock file. flock belongs to the open file, not to
// the process's other descriptors of it, and a child started with
// posix_spawn does not inherit it (the descriptor is close-on-exec).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "station/folder_lock.h"

namespace {

// The process id written in the lock file, as text; "" when unreadable.
std::string holder_of(int fd) {
  char text[32] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0)
    return "";
  std::string id(text, static_cast<size_t>(n));
  const size_t end = id.find_first_not_of("0123456789");
  return id.substr(0, end);
}

}  // namespace

FileLock lock_file(intptr_t handle, std::string* error) {
  int locked = 0;
  do {
    locked = flock(static_cast<int>(handle), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0)
    return FileLock::held;
  if (errno == EWOULDBLOCK)
    return FileLock::busy;
  *error = std::strerror(errno);
  return FileLock::failed;
}

bool FolderLock::claim(const std::string& dir, std::string* error) {
  release();
  const std::string path = dir + "/" + kFolderLockName;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::string why;
  const FileLock lock = lock_file(fd, &why);
  if (lock != FileLock::held) {
    const std::string holder = holder_of(fd);
    (void)close(fd);
    *error = lock == FileLock::busy ? dir + " is held by flashprep-station process " +
                                          (holder.empty() ? "(unknown)" : holder)
                                    : "cannot lock " + path + ": " + why;
    return false;
  }
  const std::string id = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, id.data(), id.size(), 0) != static_cast<ssize_t>(id.size())) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    (void)close(fd);
    return false;
  }
  handle_ = fd;
  path_ = path;
  return true;
}

bool FolderLock::holds() const {
  if (handle_ == kNone)
    return false;
  struct stat held = {};
  struct stat named = {};
  return fstat(static_cast<int>(handle_), &held) == 0 && stat(path_.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void FolderLock::release() {
  if (handle_ == kNone)
    return;
  (void)close(static_cast<int>(handle_));  // closing drops the lock
  handle_ = kNone;
}
