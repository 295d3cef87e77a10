// Standard output on Windows: WriteFile on its handle, each LF as CR LF, as a
// console program's text-mode standard output writes it (flashprep's own
// lines on Windows), so that a board's log equals flashprep's byte for byte.
#include <windows.h>

#include <string>

#include "station/log_output.h"

namespace {

// ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers leave out.
constexpr DWORD kDiskQuotaExceeded = 1295;

LogFailure failure_of(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return LogFailure::no_space;
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
      return LogFailure::io_error;
    case ERROR_FILE_TOO_LARGE:
      return LogFailure::too_large;
    case kDiskQuotaExceeded:
      return LogFailure::quota;
    default:
      return LogFailure::other;
  }
}

}  // namespace

bool write_standard_output(const char* bytes, size_t n, LogFailure* failure) {
  std::string text;
  text.reserve(n + n / 8);
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] == '\n')
      text += '\r';
    text += bytes[i];
  }
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  size_t at = 0;
  while (at < text.size()) {
    DWORD written = 0;
    if (WriteFile(out, text.data() + at, static_cast<DWORD>(text.size() - at), &written, nullptr) ==
        0) {
      *failure = failure_of(GetLastError());
      return false;
    }
    if (written == 0) {
      *failure = LogFailure::no_space;
      return false;
    }
    at += written;
  }
  return true;
}
