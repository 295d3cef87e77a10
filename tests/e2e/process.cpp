#include "e2e/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// Reads `fd` to its end; sends the plan's signals to `pid` once the text
// read so far holds the plan's line.
std::string slurp(int fd, const SignalPlan& plan = SignalPlan(), pid_t pid = 0) {
  std::string text;
  bool signalled = plan.signals.empty();
  const std::string line = plan.after + "\n";
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<size_t>(n));
    if (!signalled && (text.rfind(line, 0) == 0 || text.find("\n" + line) != std::string::npos)) {
      signalled = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(plan.settle_ms));
      for (size_t i = 0; i < plan.signals.size(); ++i) {
        if (i > 0)
          std::this_thread::sleep_for(std::chrono::milliseconds(plan.gap_ms));
        kill(pid, plan.signals[i]);
      }
    }
  }
  return text;
}

}  // namespace

namespace {

double monotonic_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

}  // namespace

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
    dup2(out_pipe[1], 1);
    dup2(err_fd_, 2);
    close(out_pipe[0]);
    close(out_pipe[1]);
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
  char err_path[] = "/tmp/flashprep-e2e-err-XXXXXX";
  const int err_fd = mkstemp(err_path);
  int out_pipe[2];
  if (err_fd < 0 || pipe(out_pipe) != 0)
    return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_fd, 2);
    close(out_pipe[0]);
    close(out_pipe[1]);
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
  close(out_pipe[1]);
  result.out = slurp(out_pipe[0], plan, pid);
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  lseek(err_fd, 0, SEEK_SET);
  result.err = slurp(err_fd);
  close(err_fd);
  unlink(err_path);
  return result;
}
