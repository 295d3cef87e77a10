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
  // Made with the account's own mode when missing, never opened to every
  // account: who shares the claims is the package's to say (tmpfiles.d).
  fs::create_directories(folder, trouble);
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
