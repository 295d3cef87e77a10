#include "station/board_claim.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "station/host.h"

std::string board_claims_folder() {
  const char* folder = std::getenv("FLASHPREP_LOCK_DIR");
  return folder != nullptr && *folder != '\0' ? folder : system_claims_folder();
}

BoardClaim::Result BoardClaim::claim(const std::string& folder, const std::string& name,
                                     std::string* error) {
  release();
  namespace fs = std::filesystem;
  std::error_code trouble;
  if (fs::create_directories(folder, trouble))
    // Shared by every account that runs a station, none able to remove
    // another's claim (the sticky bit), as /run/lock is.
    fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit, trouble);
  if (trouble) {
    *error = "cannot create " + folder + ": " + trouble.message();
    return Result::failed;
  }
  const std::string path = (fs::path(folder) / (name + ".lock")).string();
  FileHandle file;
  bool created = false;
  std::string why;
  if (!file.open(path, FileHandle::Open::lock, &created, &why)) {
    *error = "cannot open " + path + ": " + why;
    return Result::failed;
  }
  switch (file.try_lock(&why)) {
    case FileHandle::Lock::held:
      file_ = std::move(file);
      return Result::held;
    case FileHandle::Lock::busy:
      return Result::busy;
    case FileHandle::Lock::failed:
      break;
  }
  *error = "cannot lock " + path + ": " + why;
  return Result::failed;
}
