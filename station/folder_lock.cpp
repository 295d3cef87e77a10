#include "station/folder_lock.h"

#include <filesystem>

namespace {

// Room for a process id and its line end.
constexpr size_t kIdBytes = 32;

}  // namespace

bool claim_file(FileHandle* file, const std::string& what, std::string* error) {
  std::string why;
  const FileHandle::Lock lock = file->try_lock(&why);
  if (lock == FileHandle::Lock::held)
    return true;
  // Who holds it: the system's word where it tells, else the id a lock file
  // holds.
  std::string holder = file->lock_holder();
  if (holder.empty()) {
    const std::string start = file->read_start(kIdBytes);
    holder = start.substr(0, start.find_first_not_of("0123456789"));
  }
  file->close();
  if (lock == FileHandle::Lock::failed)
    *error = "cannot lock " + what + ": " + why;
  else if (holder.empty())
    *error = what + " is held by another flashprep-station";
  else
    *error = what + " is held by flashprep-station process " + holder;
  return false;
}

bool FolderLock::claim(const std::string& dir, std::string* error) {
  release();
  const std::string path = (std::filesystem::path(dir) / kFolderLockName).string();
  FileHandle file;
  bool created = false;  // the folder is synced either way
  std::string why;
  if (!file.open(path, FileHandle::Open::read_write, &created, &why)) {
    *error = "cannot write " + (why == kLinkRefused ? path : dir) + ": " + why;
    return false;
  }
  if (!claim_file(&file, dir, error))
    return false;
  // Synced at every claim, not only when made now: a claim that failed
  // after making the file leaves it for the next one.
  if (!sync_folder_of(path, &why)) {
    *error = "cannot flush " + dir + ": " + why;
    return false;
  }
  if (!file.replace(std::to_string(this_process_id()) + kTextLineEnd, &why)) {
    *error = "cannot write " + path + ": " + why;
    return false;
  }
  file_ = std::move(file);
  path_ = path;
  return true;
}

bool FolderLock::holds() const {
  return file_.is_open() && file_.same_as(path_);
}
