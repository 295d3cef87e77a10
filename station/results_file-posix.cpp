// The results file on POSIX: O_APPEND, one write(), fsync; flock claims it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "station/folder_lock.h"
#include "station/results_file.h"

namespace {

// The process that holds a flock on the file `st`, from Linux's list of
// locks ("1: FLOCK  ADVISORY  WRITE 1234 fe:00:11100169 0 EOF"); "" where
// the system does not tell.
std::string flock_holder(const struct stat& st) {
  std::ifstream in("/proc/locks");
  char device[64];
  (void)std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string field[6];  // number, kind, advisory, mode, pid, file
    if (fields >> field[0] >> field[1] >> field[2] >> field[3] >> field[4] >> field[5] &&
        field[1] == "FLOCK" && field[5] == device)
      return field[4];
  }
  return "";
}

}  // namespace

ResultsFile::~ResultsFile() {
  close_file();
}

void ResultsFile::close_file() {
  if (fd_ >= 0)
    (void)close(fd_);  // every record was flushed when it was written
  fd_ = -1;
}

bool ResultsFile::open(const std::string& path, std::string* error) {
  path_ = path;
  return open_file(error);
}

bool ResultsFile::open_file(std::string* error) {
  close_file();
  const int fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
  std::string why;
  const FileLock lock = lock_file(fd, &why);
  if (lock != FileLock::held) {
    struct stat st = {};
    const std::string holder = fstat(fd, &st) == 0 ? flock_holder(st) : "";
    (void)close(fd);
    *error = lock == FileLock::failed ? "cannot lock " + path_ + ": " + why
             : holder.empty()         ? path_ + " is held by another flashprep-station"
                                      : path_ + " is held by flashprep-station process " + holder;
    return false;
  }
  const off_t size = lseek(fd, 0, SEEK_END);
  char last = '\n';
  if (size < 0 || (size > 0 && pread(fd, &last, 1, size - 1) != 1)) {
    *error = "cannot read " + path_ + ": " + std::strerror(errno);
    (void)close(fd);
    return false;
  }
  fd_ = fd;
  mid_line_ = last != '\n';
  return true;
}

bool ResultsFile::still_named() const {
  struct stat held = {};
  struct stat named = {};
  return fstat(fd_, &held) == 0 && stat(path_.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool ResultsFile::append(const std::string& line, std::string* error) {
  if (path_.empty())
    return true;
  // A file removed (rotated away, deleted by hand) would swallow every
  // record from then on: the next one goes to the file made again.
  if ((fd_ < 0 || !still_named()) && !open_file(error))
    return false;
  const std::string text = (mid_line_ ? "\n" : "") + line + "\n";
  // One write: with O_APPEND the system puts the whole of it at the end at
  // once. A short write (a full disk) leaves the file mid-line.
  const ssize_t n = write(fd_, text.data(), text.size());
  if (n != static_cast<ssize_t>(text.size())) {
    *error = "cannot write " + path_ + ": " + (n < 0 ? std::strerror(errno) : "disk full");
    mid_line_ = mid_line_ || n > 0;
    return false;
  }
  mid_line_ = false;
  // A pipe or a terminal has nothing to flush (EINVAL).
  if (fsync(fd_) != 0 && errno != EINVAL && errno != ENOTSUP) {
    *error = "cannot flush " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
