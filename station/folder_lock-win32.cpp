// Windows: LockFileEx on a byte far past the lock file's end, so that the
// process id at its start stays readable to a second station.
#include <windows.h>

#include "station/folder_lock.h"
#include "station/win32_error.h"

namespace {

constexpr DWORD kLockOffsetHigh = 0x40000000;  // far past any text in the file

std::string holder_of(HANDLE h) {
  char text[32] = {};
  DWORD got = 0;
  OVERLAPPED at = {};
  if (ReadFile(h, text, sizeof text - 1, &got, &at) == 0 || got == 0)
    return "";
  std::string id(text, got);
  return id.substr(0, id.find_first_not_of("0123456789"));
}

}  // namespace

FileLock lock_file(intptr_t handle, std::string* error) {
  OVERLAPPED at = {};
  at.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(reinterpret_cast<HANDLE>(handle),
                 LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0)
    return FileLock::held;
  const DWORD code = GetLastError();
  if (code == ERROR_LOCK_VIOLATION)
    return FileLock::busy;
  *error = win32_error_text(code);
  return FileLock::failed;
}

bool FolderLock::claim(const std::string& dir, std::string* error) {
  release();
  const std::string path = dir + "\\" + kFolderLockName;
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot write " + dir + ": " + last_error_text();
    return false;
  }
  std::string why;
  const FileLock lock = lock_file(reinterpret_cast<intptr_t>(h), &why);
  if (lock != FileLock::held) {
    const std::string holder = holder_of(h);
    (void)CloseHandle(h);
    *error = lock == FileLock::busy ? dir + " is held by flashprep-station process " +
                                          (holder.empty() ? "(unknown)" : holder)
                                    : "cannot lock " + path + ": " + why;
    return false;
  }
  const std::string id = std::to_string(GetCurrentProcessId()) + "\r\n";
  DWORD written = 0;
  OVERLAPPED start = {};
  if (SetEndOfFile(h) == 0 ||
      WriteFile(h, id.data(), static_cast<DWORD>(id.size()), &written, &start) == 0 ||
      written != id.size()) {
    *error = "cannot write " + path + ": " + last_error_text();
    (void)CloseHandle(h);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  path_ = path;
  return true;
}

bool FolderLock::holds() const {
  // A file held open cannot be removed under Windows' sharing rules unless
  // FILE_SHARE_DELETE lets it be marked for deletion; the name then stays
  // until it is closed. Looking the name up tells whether it is still there.
  return handle_ != kNone && GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void FolderLock::release() {
  if (handle_ == kNone)
    return;
  (void)CloseHandle(reinterpret_cast<HANDLE>(handle_));  // closing drops the lock
  handle_ = kNone;
}
