#include "station/records.h"

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
  while (!waiting_.empty()) {
    std::string why;
    if (!file_.append(waiting_.front(), &why)) {
      problem_ = why;
      return false;
    }
    waiting_.pop_front();
  }
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
  if (waiting_.empty())
    return true;
  if (!at_once && std::chrono::steady_clock::now() - last_try_ < kRetryEvery)
    return false;
  return write_waiting();
}
