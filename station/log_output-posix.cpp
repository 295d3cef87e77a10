// Standard output on POSIX: write(), again after a signal or a short write.
#include <unistd.h>

#include <cerrno>

#include "station/log_output.h"

namespace {

LogFailure failure_of(int error) {
  switch (error) {
    case ENOSPC:
      return LogFailure::no_space;
    case EIO:
      return LogFailure::io_error;
    case EFBIG:
      return LogFailure::too_large;
    case EDQUOT:
      return LogFailure::quota;
    default:
      return LogFailure::other;
  }
}

}  // namespace

bool write_standard_output(const char* bytes, size_t n, LogFailure* failure) {
  while (n > 0) {
    const ssize_t done = write(STDOUT_FILENO, bytes, n);
    if (done < 0 && errno == EINTR)
      continue;
    if (done <= 0) {
      *failure = done < 0 ? failure_of(errno) : LogFailure::no_space;
      return false;
    }
    bytes += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}
