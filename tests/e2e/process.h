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
struct SignalPlan {
  std::string after;
  std::vector<int> signals;
  int settle_ms = 0;
  int gap_ms = 0;
};

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& dir,
                          const std::map<std::string, std::string>& env,
                          const SignalPlan& plan = SignalPlan());

// A child left running while the test acts on it (plugs boards in, reads
// /proc/PID): started at once, its standard output read as it comes. One
// still running when the object goes is killed and waited for.
class RunningProcess {
 public:
  RunningProcess(const std::vector<std::string>& argv, const std::string& dir,
                 const std::map<std::string, std::string>& env);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  int pid() const { return pid_; }
  // Reads the output until it holds `text` `times` times, for at most
  // `seconds`; true when it does.
  bool wait_for(const std::string& text, double seconds, int times = 1);
  // The output read so far.
  const std::string& out() const { return out_; }
  void signal(int sig);
  // Waits for the end, reading the rest of the output.
  ProcessResult finish();

 private:
  void read_some(int timeout_ms);
  int pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string err_path_;
  std::string out_;
  double start_ = 0;
};

#endif  // FLASHPREP_TESTS_E2E_PROCESS_H_
