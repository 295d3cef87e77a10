#include "station/results_file.h"

#include "station/folder_lock.h"

namespace {

// Tries to sync once more at once: a passing fault of the disk or its
// cable should not hold a record back for a second.
constexpr int kSyncTries = 2;

}  // namespace

bool ResultsFile::open(const std::string& path, std::string* error) {
  path_ = path;
  return open_file(error);
}

bool ResultsFile::open_file(std::string* error) {
  FileHandle file;
  bool created = false;
  std::string why;
  if (!file.open(path_, FileHandle::Open::append, &created, &why)) {
    *error = "cannot write " + path_ + ": " + why;
    return false;
  }
  if (!claim_file(&file, path_, error))
    return false;
  char last = '\n';
  if (!file.last_byte(&last, &why)) {
    *error = "cannot read " + path_ + ": " + why;
    return false;
  }
  file_ = std::move(file);
  mid_line_ = last != '\n';
  folder_unsynced_ = folder_unsynced_ || created;
  return true;
}

bool ResultsFile::write(const std::string& line, std::string* error) {
  if (path_.empty())
    return true;
  // A file removed (rotated away, deleted by hand) would swallow every
  // record from then on: the next one goes to the file made again, once
  // what was written to the one removed is on the disk.
  if (!file_.is_open() || !file_.same_as(path_)) {
    if (file_.is_open() && !sync(error))
      return false;
    if (!open_file(error))
      return false;
  }
  const std::string text = (mid_line_ ? "\n" : "") + line + "\n";
  size_t written = 0;
  std::string why;
  const bool whole = file_.write_all(text, &written, &why);
  unsynced_ = unsynced_ || written > 0;
  if (!whole) {
    *error = "cannot write " + path_ + ": " + why;
    mid_line_ = mid_line_ || written > 0;
    return false;
  }
  mid_line_ = false;
  return true;
}

bool ResultsFile::sync(std::string* error) {
  std::string why;
  for (int tries = 0; tries < kSyncTries && (unsynced_ || folder_unsynced_); ++tries) {
    if (unsynced_ && file_.sync(&why))
      unsynced_ = false;
    if (!unsynced_ && folder_unsynced_ && sync_folder_of(path_, &why))
      folder_unsynced_ = false;
  }
  if (!unsynced_ && !folder_unsynced_)
    return true;
  *error = "cannot flush " + path_ + ": " + why;
  return false;
}
