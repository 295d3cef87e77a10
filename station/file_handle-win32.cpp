// The station's files on Windows: CreateFile, LockFileEx on a byte far past
// the end, WriteFile, FlushFileBuffers.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "station/file_handle.h"
#include "station/win32_error.h"

namespace {

constexpr DWORD kLockOffsetHigh = 0x40000000;  // far past any text in the file

std::atomic<int> failing_syncs{0};

bool sync_fails_for_test() {
  int left = failing_syncs.load();
  while (left > 0 && !failing_syncs.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

HANDLE of(void* handle) {
  return static_cast<HANDLE>(handle);
}

}  // namespace

FileHandle::FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool FileHandle::open(const std::string& path, Open how, bool* created, std::string* error,
                      bool* exists) {
  close();
  *created = false;
  if (exists != nullptr)
    *exists = false;
  // Appending only: every write goes to the end of the file at once, as
  // O_APPEND does. Readers may read, rotate and remove the files while they
  // are open.
  const DWORD access = how == Open::append       ? FILE_APPEND_DATA | FILE_READ_DATA
                       : how == Open::read_write ? GENERIC_READ | GENERIC_WRITE
                       : how == Open::lock       ? GENERIC_READ
                                                 : GENERIC_WRITE;
  const DWORD disposition = how == Open::new_file   ? CREATE_NEW
                            : how == Open::existing ? OPEN_EXISTING
                                                    : OPEN_ALWAYS;
  // Not inheritable (no security attributes): no board's process gets it.
  // The link itself is opened, never what it points to, and refused: a
  // station run by an administrator must not write through a link that
  // someone else planted in a folder they can write.
  const HANDLE h = CreateFileA(
      path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (exists != nullptr)
      *exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    *error = win32_error_text(code);
    return false;
  }
  // OPEN_ALWAYS tells a file that was there by ERROR_ALREADY_EXISTS.
  *created = how == Open::new_file || (how != Open::existing && GetLastError() == 0);
  handle_ = h;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileInformationByHandle(h, &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = kLinkRefused;
    close();
    return false;
  }
  return true;
}

bool FileHandle::is_open() const {
  return handle_ != nullptr;
}

void FileHandle::close() {
  if (handle_ != nullptr)
    (void)CloseHandle(of(handle_));  // what must be on the disk was flushed before
  handle_ = nullptr;
}

FileHandle::Lock FileHandle::try_lock(std::string* error) const {
  OVERLAPPED at = {};
  at.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(of(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
      0)
    return Lock::held;
  const DWORD code = GetLastError();
  if (code == ERROR_LOCK_VIOLATION)
    return Lock::busy;
  *error = win32_error_text(code);
  return Lock::failed;
}

std::string FileHandle::lock_holder() const {
  return "";  // Windows does not tell who holds a lock
}

bool FileHandle::last_byte(char* byte, std::string* error) const {
  *byte = '\n';
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(of(handle_), &size) == 0) {
    *error = last_error_text();
    return false;
  }
  if (size.QuadPart == 0)
    return true;
  OVERLAPPED at = {};
  const LONGLONG offset = size.QuadPart - 1;
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (ReadFile(of(handle_), byte, 1, &got, &at) == 0 || got != 1) {
    *error = last_error_text();
    return false;
  }
  return true;
}

std::string FileHandle::read_start(size_t most) const {
  std::string text(most, '\0');
  DWORD got = 0;
  OVERLAPPED at = {};
  if (ReadFile(of(handle_), text.data(), static_cast<DWORD>(most), &got, &at) == 0)
    got = 0;
  text.resize(got);
  return text;
}

bool FileHandle::write_all(std::string_view bytes, size_t* written, std::string* error) const {
  *written = 0;
  while (*written < bytes.size()) {
    DWORD n = 0;
    if (WriteFile(of(handle_), bytes.data() + *written, static_cast<DWORD>(bytes.size() - *written),
                  &n, nullptr) == 0) {
      *error = last_error_text();
      return false;
    }
    if (n == 0) {
      *error = win32_error_text(ERROR_DISK_FULL);
      return false;
    }
    *written += n;
  }
  return true;
}

bool FileHandle::replace(std::string_view bytes, std::string* error) const {
  DWORD written = 0;
  OVERLAPPED start = {};
  LARGE_INTEGER zero = {};
  if (SetFilePointerEx(of(handle_), zero, nullptr, FILE_BEGIN) == 0 ||
      SetEndOfFile(of(handle_)) == 0 ||
      WriteFile(of(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &start) ==
          0 ||
      written != bytes.size()) {
    *error = last_error_text();
    return false;
  }
  return true;
}

bool FileHandle::sync(std::string* error) const {
  if (sync_fails_for_test()) {
    *error = win32_error_text(ERROR_IO_DEVICE);
    return false;
  }
  if (FlushFileBuffers(of(handle_)) != 0)
    return true;
  // A console or a pipe has nothing to flush.
  const DWORD code = GetLastError();
  if (code == ERROR_INVALID_HANDLE || code == ERROR_INVALID_FUNCTION)
    return true;
  *error = win32_error_text(code);
  return false;
}

bool FileHandle::same_as(const std::string& path) const {
  // A file removed while open keeps its name until it is closed, marked for
  // deletion; it is then no longer found by its attributes on every system
  // Windows runs on, so the next record makes the file again.
  return handle_ != nullptr && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FileHandle::identity() const {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (handle_ == nullptr || GetFileInformationByHandle(handle_, &info) == 0)
    return "";
  const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(index);
}

intptr_t FileHandle::native() const {
  return reinterpret_cast<intptr_t>(handle_);
}

bool sync_folder_of(const std::string& /*path*/, std::string* error) {
  // Windows has no sync of a folder: NTFS keeps the new entry in its journal,
  // which FlushFileBuffers of the file itself commits. Only the tests' failing
  // syncs fail here, as on POSIX.
  if (sync_fails_for_test()) {
    *error = win32_error_text(ERROR_IO_DEVICE);
    return false;
  }
  return true;
}

unsigned long this_process_id() {
  return GetCurrentProcessId();
}

void fail_next_syncs_for_test(int count) {
  failing_syncs = count;
}
