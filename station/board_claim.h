// A station's claim on a board it prepares, so that two stations on one
// machine (the service, and an engineer's station in a terminal) never both
// prepare a board: the system's lock on the file CLAIMS/NAME.lock, NAME the
// board's place as the station names it (its port, else its bus and
// device). The folder is the one every station of the machine sees: the
// service's sandbox makes the file system read-only but for the folders it
// names, and keeps /tmp private, so it is /run/flashprep (the package makes
// it, writable by root and group flashprep, the service's) on Linux,
// %ProgramData%\flashprep on Windows; FLASHPREP_LOCK_DIR names another.
//
// The lock is the system's, dropped when its holders end however they end;
// on POSIX a board's process holds it too (BoardProcess::start's `held`),
// so that a board whose station was killed stays claimed until the run it
// was left to has stopped.
#ifndef FLASHPREP_STATION_BOARD_CLAIM_H_
#define FLASHPREP_STATION_BOARD_CLAIM_H_

#include <cstdint>
#include <string>

#include "station/file_handle.h"

// The folder of the claims.
std::string board_claims_folder();

// Ownership: the object owns the lock file's handle and the lock with it.
// Movable, not copyable.
class BoardClaim {
 public:
  enum class Result : uint8_t { held, busy, failed };

  // Claims board `name` in `folder` (made when missing, with the mode the
  // account's umask gives): held; busy when another process holds it;
  // failed, with the reason in `error`, when the folder or the file cannot
  // be had (the station then goes on without claims, and says so).
  Result claim(const std::string& folder, const std::string& name, std::string* error);
  void release() { file_.close(); }
  bool held() const { return file_.is_open(); }
  // The lock file's handle, for a board's process to hold; only while held.
  intptr_t native() const { return file_.native(); }

 private:
  FileHandle file_;
};

#endif  // FLASHPREP_STATION_BOARD_CLAIM_H_
