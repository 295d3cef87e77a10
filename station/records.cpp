#include "station/records.h"

#include <utility>

namespace {

// A full disk stays full for a while: trying once a second costs nothing
// and frees the records as soon as room is made.
constexpr auto kRetryEvery = std::chrono::seconds(1);

}  // namespace

bool Records::open(const std::string& path, std::string* error) {
  return path.empty() || file_.open(path, error);
}

bool Records::write_waiting() {
  last_try_ = std::chrono::steady_clock::now();
  std::string why;
  while (!waiting_.empty()) {
    if (!file_.write(waiting_.front(), &why)) {
      problem_ = why;
      return false;
    }
    unsynced_.push_back(std::move(waiting_.front()));
    waiting_.pop_front();
  }
  // A sync that failed is never answered by writing the records again:
  // they are in the file, and only their sync is owed.
  if (!unsynced_.empty() && !file_.sync(&why)) {
    problem_ = why;
    return false;
  }
  unsynced_.clear();
  problem_.clear();
  return true;
}

bool Records::add(const std::string& record) {
  if (!enabled())
    return true;
  waiting_.push_back(record);
  return write_waiting();
}

bool Records::retry(bool at_once) {
  if (!waiting())
    return true;
  if (!at_once && std::chrono::steady_clock::now() - last_try_ < kRetryEvery)
    return false;
  return write_waiting();
}
