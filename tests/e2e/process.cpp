#include "e2e/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "e2e/text_files.h"

namespace {

using Output = SignalPlan::Output;

void pause_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool holds_line(const std::string& text, const std::string& line) {
  return text.rfind(line + "\n", 0) == 0 || text.find("\n" + line + "\n") != std::string::npos;
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// The board held by the plan answers from now on.
void let_go(const SignalPlan& plan) {
  if (!plan.held.empty())
    unlink(plan.held.c_str());
}

// A signal is pending on the child once kill() returns: the child takes it
// before it runs on, so before it can see the hold file gone.
void send_signals(const SignalPlan& plan, pid_t pid) {
  for (const int signal : plan.signals)
    kill(pid, signal);
  let_go(plan);
}

// Reads `fd` to its end.
std::string slurp(int fd) {
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  return text;
}

// Reads the pipe `fd` to its end, or until the plan closes it, carrying out
// the plan once the text read so far holds its line.
std::string read_pipe(int fd, const SignalPlan& plan, pid_t pid) {
  std::string text;
  bool signalled = plan.signals.empty();
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<size_t>(n));
    if (signalled || !holds_line(text, plan.after))
      continue;
    signalled = true;
    // Held, the child writes nothing more: the pipe cannot fill meanwhile.
    if (!plan.held.empty())
      file_appears(plan.held);
    if (plan.output == Output::pipe_closed) {
      close(fd);
      send_signals(plan, pid);
      return text;
    }
    let_go(plan);
    // Full: nearly the 64 KiB a pipe holds here (lines leave the ends of
    // its pages unused), and no more coming.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (int in_pipe = 0, before = -1; std::chrono::steady_clock::now() < deadline;
         before = in_pipe) {
      if (ioctl(fd, FIONREAD, &in_pipe) != 0 || (in_pipe > 65536 - 4096 && in_pipe == before))
        break;
      pause_ms(20);
    }
    // The child, waiting in its write, takes the signals before the room
    // made by the reads that follow lets the write go on.
    send_signals(plan, pid);
  }
  close(fd);
  return text;
}

// Follows the file `fd` (shared with the child, so read with pread) until the
// child ended, carrying out the plan once it holds the plan's line.
std::string follow_file(int fd, const SignalPlan& plan, pid_t pid, int* status) {
  std::string text;
  bool signalled = plan.signals.empty();
  char buf[65536];
  for (bool ended = false;;) {
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0)
      text.append(buf, static_cast<size_t>(n));
    if (ended)
      return text;
    if (!signalled && holds_line(text, plan.after) && (plan.held.empty() || exists(plan.held))) {
      signalled = true;
      send_signals(plan, pid);
    }
    ended = waitpid(pid, status, WNOHANG) == pid;
    if (!ended)
      pause_ms(2);
  }
}

// A temporary file, unlinked at once: only its descriptor is needed.
int scratch_file() {
  char path[] = "/tmp/flashprep-e2e-out-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0)
    unlink(path);
  return fd;
}

// In the child after fork(): standard output on `out_fd`, standard error on
// `err_fd`, `unused_fd` (the parent's end, or -1) closed; then runs argv.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const std::string& dir,
                             const std::map<std::string, std::string>& env, int out_fd, int err_fd,
                             int unused_fd) {
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  if (unused_fd >= 0)
    close(unused_fd);
  close(out_fd);
  if (chdir(dir.c_str()) != 0)
    _exit(126);
  for (const auto& [name, value] : env)
    setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

double monotonic_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

bool file_appears(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!exists(path)) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    pause_ms(2);
  }
  return true;
}

RunningProcess::RunningProcess(const std::vector<std::string>& argv, const std::string& dir,
                               const std::map<std::string, std::string>& env) {
  char err_path[] = "/tmp/flashprep-e2e-err-XXXXXX";
  err_fd_ = mkstemp(err_path);
  err_path_ = err_path;
  int out_pipe[2];
  if (err_fd_ < 0 || pipe(out_pipe) != 0)
    return;
  start_ = monotonic_seconds();
  pid_ = fork();
  if (pid_ == 0) {
    exec_child(argv, dir, env, out_pipe[1], err_fd_, out_pipe[0]);
  }
  close(out_pipe[1]);
  out_fd_ = out_pipe[0];
}

RunningProcess::~RunningProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0)
    close(out_fd_);
  if (err_fd_ >= 0) {
    close(err_fd_);
    unlink(err_path_.c_str());
  }
}

void RunningProcess::read_some(int timeout_ms) {
  pollfd p = {out_fd_, POLLIN, 0};
  if (out_fd_ < 0 || poll(&p, 1, timeout_ms) <= 0)
    return;
  char buf[65536];
  const ssize_t n = read(out_fd_, buf, sizeof buf);
  if (n > 0) {
    out_.append(buf, static_cast<size_t>(n));
  } else {
    close(out_fd_);  // the end: nothing more will come
    out_fd_ = -1;
  }
}

bool RunningProcess::wait_for(const std::string& text, double seconds, int times) {
  const double until = monotonic_seconds() + seconds;
  while (count_of(out_, text) < static_cast<size_t>(times)) {
    if (out_fd_ < 0 || monotonic_seconds() > until)
      return false;
    read_some(50);
  }
  return true;
}

void RunningProcess::signal(int sig) {
  if (pid_ > 0)
    kill(pid_, sig);
}

ProcessResult RunningProcess::finish() {
  ProcessResult result;
  while (out_fd_ >= 0)
    read_some(1000);
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
    if (WIFEXITED(status))
      result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
      result.signal = WTERMSIG(status);
  }
  pid_ = -1;
  result.seconds = monotonic_seconds() - start_;
  result.out = out_;
  if (err_fd_ >= 0) {
    lseek(err_fd_, 0, SEEK_SET);
    result.err = slurp(err_fd_);
  }
  return result;
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& dir,
                          const std::map<std::string, std::string>& env, const SignalPlan& plan) {
  ProcessResult result;
  // stderr goes to a file so a chatty child cannot block on a full pipe.
  const int err_fd = scratch_file();
  int out[2] = {-1, -1};
  if (plan.output == Output::file)
    out[1] = scratch_file();
  else if (pipe(out) != 0)
    out[1] = -1;
  if (err_fd < 0 || out[1] < 0)
    return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    exec_child(argv, dir, env, out[1], err_fd, out[0]);
  }
  int status = 0;
  if (plan.output == Output::file) {
    result.out = follow_file(out[1], plan, pid, &status);
    close(out[1]);
  } else {
    close(out[1]);
    result.out = read_pipe(out[0], plan, pid);
    waitpid(pid, &status, 0);
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  lseek(err_fd, 0, SEEK_SET);
  result.err = slurp(err_fd);
  close(err_fd);
  return result;
}
