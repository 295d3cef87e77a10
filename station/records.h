// The records a station keeps: each finished board's record goes to the
// results file at once; a record that cannot be written (a full disk, the
// file's folder gone) is kept, in order, and written again at later tries,
// so that none is lost while the station lives. While records wait, a
// watching station starts no new board (see BoardPool), and one that ends
// with records never written says so and ends with status 2.
#ifndef FLASHPREP_STATION_RECORDS_H_
#define FLASHPREP_STATION_RECORDS_H_

#include <chrono>
#include <deque>
#include <string>

#include "station/results_file.h"

class Records {
 public:
  // Opens and claims the results file `path` ("" for none: every record is
  // then kept nowhere, and add() always succeeds). False, with the reason.
  bool open(const std::string& path, std::string* error);

  // Writes `record` after every record still waiting. True when it and all
  // before it are in the file; false when it waits (problem() says why).
  bool add(const std::string& record);
  // Tries again to write the records that wait, at most once a second
  // unless `at_once`. True when none waits any more.
  bool retry(bool at_once = false);

  bool waiting() const { return !waiting_.empty(); }
  size_t waiting_count() const { return waiting_.size(); }
  // Why the records wait ("cannot write results.jsonl: No space left on
  // device"); "" when none does.
  const std::string& problem() const { return problem_; }
  // The records that wait, oldest first.
  const std::deque<std::string>& waiting_records() const { return waiting_; }
  bool enabled() const { return !file_.path().empty(); }

 private:
  bool write_waiting();

  ResultsFile file_;
  std::deque<std::string> waiting_;
  std::string problem_;
  std::chrono::steady_clock::time_point last_try_;
};

#endif  // FLASHPREP_STATION_RECORDS_H_
