// The records a station keeps: each finished board's record goes to the
// results file at once and is on the disk before add() returns. A record
// that cannot be written (a full disk, the file's folder gone) is kept, in
// order, and written at later tries; a record written whose sync failed is
// kept as written, not yet on the disk, and a later good sync completes it:
// it is never written twice. So none is lost, and none counted twice, while
// the station lives. While records wait, a watching station starts no new
// board (see BoardPool), and one that ends with records never written, or
// never known to be on the disk, says so and ends with status 2.
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

  // Writes `record` after every record still waiting and puts them on the
  // disk. True when it and all before it are; false when it waits
  // (problem() says why).
  bool add(const std::string& record);
  // Tries again to write the records that wait and to put them on the
  // disk, at most once a second unless `at_once`. True when none waits any
  // more.
  bool retry(bool at_once = false);

  bool waiting() const { return !waiting_.empty() || !unsynced_.empty(); }
  size_t waiting_count() const { return waiting_.size() + unsynced_.size(); }
  // Why the records wait ("cannot write results.jsonl: No space left on
  // device", "cannot flush results.jsonl: Input/output error"); "" when
  // none does.
  const std::string& problem() const { return problem_; }
  // The records not written, oldest first.
  const std::deque<std::string>& waiting_records() const { return waiting_; }
  // The records written, not yet known to be on the disk, oldest first.
  const std::deque<std::string>& unsynced_records() const { return unsynced_; }
  bool enabled() const { return !file_.path().empty(); }
  // The results file's identity now (ResultsFile::identity()).
  std::string identity() const { return file_.identity(); }

 private:
  bool write_waiting();

  ResultsFile file_;
  std::deque<std::string> waiting_;
  std::deque<std::string> unsynced_;
  std::string problem_;
  std::chrono::steady_clock::time_point last_try_;
};

#endif  // FLASHPREP_STATION_RECORDS_H_
