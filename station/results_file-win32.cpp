// The results file on Windows: FILE_APPEND_DATA, one WriteFile,
// FlushFileBuffers.
#include <windows.h>

#include "station/results_file.h"

namespace {

std::string last_error() {
  return "Windows error " + std::to_string(GetLastError());
}

}  // namespace

ResultsFile::~ResultsFile() {
  if (file_ != nullptr)
    (void)CloseHandle(file_);
}

bool ResultsFile::open(const std::string& path, std::string* error) {
  path_ = path;
  // Appending only: every write goes to the end of the file at once, as
  // O_APPEND does. Readers may read it and rotate it while it is open.
  const HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot write " + path + ": " + last_error();
    return false;
  }
  file_ = h;
  LARGE_INTEGER size = {};
  char last = '\n';
  if (GetFileSizeEx(h, &size) == 0) {
    *error = "cannot read " + path + ": " + last_error();
    return false;
  }
  if (size.QuadPart > 0) {
    OVERLAPPED at = {};
    const LONGLONG offset = size.QuadPart - 1;
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (ReadFile(h, &last, 1, &got, &at) == 0 || got != 1) {
      *error = "cannot read " + path + ": " + last_error();
      return false;
    }
  }
  mid_line_ = last != '\n';
  return true;
}

bool ResultsFile::append(const std::string& line, std::string* error) {
  if (file_ == nullptr)
    return true;
  const std::string text = (mid_line_ ? "\n" : "") + line + "\n";
  DWORD written = 0;
  if (WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) == 0 ||
      written != text.size()) {
    *error = "cannot write " + path_ + ": " + last_error();
    mid_line_ = mid_line_ || written > 0;
    return false;
  }
  mid_line_ = false;
  if (FlushFileBuffers(file_) == 0) {
    *error = "cannot flush " + path_ + ": " + last_error();
    return false;
  }
  return true;
}
