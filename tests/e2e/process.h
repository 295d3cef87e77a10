// Runs a program as a child process with extra environment variables, in a
// given folder, and collects its standard output, how it ended and its wall
// time; it can signal the child at a chosen point of its output.
#ifndef FLASHPREP_TESTS_E2E_PROCESS_H_
#define FLASHPREP_TESTS_E2E_PROCESS_H_

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  int exit_status = -1;  // -1 when the child did not exit normally
  int signal = 0;        // the signal that ended the child, 0 when it exited
  std::string out;
  std::string err;
  double seconds = 0;
};

// Signals to send once the child has written the whole line `after` to its
// standard output: the first `settle_ms` later, each next one `gap_ms` after
// the one before. Empty `signals`: none.
//
// Standard output is a file by default, read as it grows. It can instead be a
// pipe whose reader, once `after` is out, stops reading until the pipe is
// full before it signals (the child then waits in a write), or closes its
// end before it signals (the child's next write finds no reader).
struct SignalPlan {
  enum class Output { file, pipe_filled, pipe_closed };
  std::string after;
  std::vector<int> signals;
  int settle_ms = 0;
  int gap_ms = 0;
  Output output = Output::file;
};

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& dir,
                          const std::map<std::string, std::string>& env,
                          const SignalPlan& plan = SignalPlan());

#endif  // FLASHPREP_TESTS_E2E_PROCESS_H_
