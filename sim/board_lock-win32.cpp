// Windows: LockFileEx on one byte far beyond the end of the board file. A lock
// there keeps other processes from taking the board while they can still read
// its settings (Windows locks forbid reading the bytes they cover); the file
// is opened with every sharing mode so that it can still be deleted (pulled
// out) while a run holds it.
#include <windows.h>

#include "sim/board_lock.h"

namespace sim {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;  // no board file gets there

HANDLE open_board(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

FileId id_of(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileId();
  FileId id;
  id.exists = true;
  id.device = info.dwVolumeSerialNumber;
  id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.changed =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftCreationTime.dwHighDateTime) << 32) |
                           info.ftCreationTime.dwLowDateTime);
  return id;
}

}  // namespace

// Opening a file at every transfer made a run some twenty times slower under
// Wine; a board pulled out is noticed within this time instead.
const int kFileLookMs = 100;

FileId file_id(const std::string& path) {
  HANDLE h = open_board(path);
  if (h == INVALID_HANDLE_VALUE)
    return FileId();  // missing, or deleted and still held open (delete pending)
  const FileId id = id_of(h);
  (void)CloseHandle(h);  // read only
  return id;
}

BoardLock::Result BoardLock::acquire(const std::string& path, const FileId& id) {
  release();
  HANDLE h = open_board(path);
  if (h == INVALID_HANDLE_VALUE)
    return Result::gone;
  if (id_of(h) != id) {
    (void)CloseHandle(h);
    return Result::gone;
  }
  OVERLAPPED at = {};
  at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    (void)CloseHandle(h);
    return Result::busy;
  }
  file_ = h;
  return Result::held;
}

void BoardLock::release() {
  if (file_ == nullptr)
    return;
  (void)CloseHandle(file_);  // closing the handle drops its locks
  file_ = nullptr;
}

bool BoardLock::held() const {
  return file_ != nullptr;
}

}  // namespace sim
