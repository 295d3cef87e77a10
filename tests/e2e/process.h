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

// Signals to send once the child got somewhere: once it has written the
// whole line `after` to its standard output and, when `held` names a file,
// once that file exists (a simulated board creates its hold file when it
// holds a reply: FLASHPREP_SIM_HOLD_FILE). The signals go one after the
// other; then `held` is removed, so that the board answers only once the
// child has every signal. Empty `signals`: none.
//
// Standard output is a file by default, read as it grows. It can instead be a
// pipe whose reader, once `after` is out, stops reading until the pipe is
// full before it signals (the board is let go first, so that the output
// after `after` fills the pipe; the child then waits in a write), or closes
// its end before it signals (the child's next write finds no reader).
struct SignalPlan {
  enum class Output { file, pipe_filled, pipe_closed };
  std::string after;
  std::vector<int> signals;
  std::string held;
  Output output = Output::file;
};

// Waits, a minute at most (a loaded machine is slow, never that slow),
// until the file `path` exists.
bool file_appears(const std::string& path);

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
