// The results file on POSIX: O_APPEND, one write(), fsync.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "station/results_file.h"

ResultsFile::~ResultsFile() {
  if (fd_ >= 0)
    (void)close(fd_);
}

bool ResultsFile::open(const std::string& path, std::string* error) {
  path_ = path;
  fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const off_t size = lseek(fd_, 0, SEEK_END);
  char last = '\n';
  if (size < 0 || (size > 0 && pread(fd_, &last, 1, size - 1) != 1)) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  mid_line_ = last != '\n';
  return true;
}

bool ResultsFile::append(const std::string& line, std::string* error) {
  if (fd_ < 0)
    return true;
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
  if (fsync(fd_) != 0) {
    *error = "cannot flush " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
