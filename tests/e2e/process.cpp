#include "e2e/process.h"

#include <fcntl.h>
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
