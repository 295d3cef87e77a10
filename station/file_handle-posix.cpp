// The station's files on POSIX: open(2) close-on-exec, flock, pread, write,
// fsync, and fsync of the folder.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "station/file_handle.h"

namespace {

std::atomic<int> failing_syncs{0};

// A sync told to fail by the tests.
bool sync_fails_for_test() {
  int left = failing_syncs.load();
  while (left > 0 && !failing_syncs.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

// fsync, again after a signal. A pipe or a terminal has nothing to flush
// (EINVAL; ENOTSUP on some systems).
bool fsync_of(int fd, std::string* error) {
  if (sync_fails_for_test()) {
    *error = std::strerror(EIO);
    return false;
  }
  int done = 0;
  do {
    done = fsync(fd);
  } while (done != 0 && errno == EINTR);
  if (done == 0 || errno == EINVAL || errno == ENOTSUP)
    return true;
  *error = std::strerror(errno);
  return false;
}

}  // namespace

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool FileHandle::open(const std::string& path, Open how, bool* created, std::string* error,
                      bool* exists) {
  close();
  *created = false;
  if (exists != nullptr)
    *exists = false;
  const int base = O_CLOEXEC | O_NOFOLLOW |
                   (how == Open::append       ? O_RDWR | O_APPEND
                    : how == Open::read_write ? O_RDWR
                    : how == Open::lock       ? O_RDONLY
                                              : O_WRONLY);
  const bool may_create = how != Open::existing;
  // Made by this call or found: tried as new first, so that the caller
  // learns whether the folder has a new entry to sync.
  for (int tries = 0; fd_ < 0; ++tries) {
    if (may_create) {
      fd_ = ::open(path.c_str(), base | O_CREAT | O_EXCL, 0644);
      if (fd_ >= 0) {
        *created = true;
        break;
      }
      if (errno != EEXIST || how == Open::new_file) {
        if (exists != nullptr)
          *exists = errno == EEXIST;
        *error = std::strerror(errno);
        return false;
      }
    }
    fd_ = ::open(path.c_str(), base);
    // Removed between the two tries: made again, a few times at most.
    if (fd_ < 0 && (!may_create || errno != ENOENT || tries == 3)) {
      // O_NOFOLLOW's refusal, in words that say what was found.
      *error = errno == ELOOP ? kLinkRefused : std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool FileHandle::is_open() const {
  return fd_ >= 0;
}

void FileHandle::close() {
  if (fd_ >= 0)
    (void)::close(fd_);  // what must be on the disk was synced before
  fd_ = -1;
}

FileHandle::Lock FileHandle::try_lock(std::string* error) const {
  // flock belongs to the open file, not to the process's other descriptors
  // of it, and a child started with posix_spawn does not inherit it (the
  // descriptor is close-on-exec).
  int locked = 0;
  do {
    locked = flock(fd_, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0)
    return Lock::held;
  if (errno == EWOULDBLOCK)
    return Lock::busy;
  *error = std::strerror(errno);
  return Lock::failed;
}

std::string FileHandle::lock_holder() const {
  // Linux's list of locks: "1: FLOCK  ADVISORY  WRITE 1234 fe:00:11100169 0 EOF".
  struct stat st = {};
  if (fstat(fd_, &st) != 0)
    return "";
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

bool FileHandle::last_byte(char* byte, std::string* error) const {
  *byte = '\n';
  const off_t size = lseek(fd_, 0, SEEK_END);
  if (size < 0 || (size > 0 && pread(fd_, byte, 1, size - 1) != 1)) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

std::string FileHandle::read_start(size_t most) const {
  std::string text(most, '\0');
  const ssize_t n = pread(fd_, text.data(), most, 0);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

bool FileHandle::write_all(std::string_view bytes, size_t* written, std::string* error) const {
  *written = 0;
  while (*written < bytes.size()) {
    const ssize_t n = write(fd_, bytes.data() + *written, bytes.size() - *written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      *error = n < 0 ? std::strerror(errno) : std::strerror(ENOSPC);
      return false;
    }
    *written += static_cast<size_t>(n);
  }
  return true;
}

bool FileHandle::replace(std::string_view bytes, std::string* error) const {
  if (ftruncate(fd_, 0) != 0 ||
      pwrite(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool FileHandle::sync(std::string* error) const {
  return fsync_of(fd_, error);
}

bool FileHandle::same_as(const std::string& path) const {
  struct stat held = {};
  struct stat named = {};
  return fd_ >= 0 && fstat(fd_, &held) == 0 && stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::string FileHandle::identity() const {
  struct stat st = {};
  if (fd_ < 0 || fstat(fd_, &st) != 0)
    return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

intptr_t FileHandle::native() const {
  return fd_;
}

bool sync_folder_of(const std::string& path, std::string* error) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty())
    folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  const bool synced = fsync_of(fd, error);
  (void)::close(fd);  // read only
  return synced;
}

unsigned long this_process_id() {
  return static_cast<unsigned long>(getpid());
}

void fail_next_syncs_for_test(int count) {
  failing_syncs = count;
}
