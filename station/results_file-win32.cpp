// The results file on Windows: FILE_APPEND_DATA, one WriteFile,
// FlushFileBuffers; LockFileEx claims it.
#include <windows.h>

#include "station/folder_lock.h"
#include "station/results_file.h"
#include "station/win32_error.h"

ResultsFile::~ResultsFile() {
  close_file();
}

void ResultsFile::close_file() {
  if (file_ != nullptr)
    (void)CloseHandle(file_);  // every record was flushed when it was written
  file_ = nullptr;
}

bool ResultsFile::open(const std::string& path, std::string* error) {
  path_ = path;
  return open_file(error);
}

bool ResultsFile::open_file(std::string* error) {
  close_file();
  // Appending only: every write goes to the end of the file at once, as
  // O_APPEND does. Readers may read it and rotate it while it is open.
  const HANDLE h = CreateFileA(path_.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot write " + path_ + ": " + last_error_text();
    return false;
  }
  std::string why;
  const FileLock lock = lock_file(reinterpret_cast<intptr_t>(h), &why);
  if (lock != FileLock::held) {
    (void)CloseHandle(h);
    *error = lock == FileLock::busy ? path_ + " is held by another flashprep-station"
                                    : "cannot lock " + path_ + ": " + why;
    return false;
  }
  LARGE_INTEGER size = {};
  char last = '\n';
  if (GetFileSizeEx(h, &size) == 0) {
    *error = "cannot read " + path_ + ": " + last_error_text();
    (void)CloseHandle(h);
    return false;
  }
  if (size.QuadPart > 0) {
    OVERLAPPED at = {};
    const LONGLONG offset = size.QuadPart - 1;
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (ReadFile(h, &last, 1, &got, &at) == 0 || got != 1) {
      *error = "cannot read " + path_ + ": " + last_error_text();
      (void)CloseHandle(h);
      return false;
    }
  }
  file_ = h;
  mid_line_ = last != '\n';
  return true;
}

bool ResultsFile::still_named() const {
  // A file removed while open keeps its name until it is closed, marked for
  // deletion; it is then no longer found by its attributes on every system
  // Windows runs on, so the next record makes the file again.
  return GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ResultsFile::append(const std::string& line, std::string* error) {
  if (path_.empty())
    return true;
  if ((file_ == nullptr || !still_named()) && !open_file(error))
    return false;
  const std::string text = (mid_line_ ? "\n" : "") + line + "\n";
  DWORD written = 0;
  if (WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) == 0 ||
      written != text.size()) {
    *error = "cannot write " + path_ + ": " + last_error_text();
    mid_line_ = mid_line_ || written > 0;
    return false;
  }
  mid_line_ = false;
  if (FlushFileBuffers(file_) == 0) {
    *error = "cannot flush " + path_ + ": " + last_error_text();
    return false;
  }
  return true;
}
