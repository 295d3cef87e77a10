// The station's system part on POSIX: posix_spawn, process groups and
// signals; port names from Linux's sysfs when it is there.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "station/host.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

namespace {

// A file that closes itself; -1 when none.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0)
      (void)close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The spawn set-up objects, destroyed on every way out.
struct SpawnSetup {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attributes{};
  bool ready = false;
  SpawnSetup() {
    ready = posix_spawn_file_actions_init(&actions) == 0;
    if (ready && posix_spawnattr_init(&attributes) != 0) {
      (void)posix_spawn_file_actions_destroy(&actions);
      ready = false;
    }
  }
  ~SpawnSetup() {
    if (ready) {
      (void)posix_spawn_file_actions_destroy(&actions);
      (void)posix_spawnattr_destroy(&attributes);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// A number read from one line of a sysfs attribute; -1 when unreadable.
long read_number(const std::string& path, int base) {
  std::ifstream in(path);
  std::string text;
  if (!std::getline(in, text) || text.empty())
    return -1;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, base);
  return end == text.c_str() ? -1 : value;
}

}  // namespace

BoardProcess::~BoardProcess() {
  wait_end();
}

bool BoardProcess::start(const std::vector<std::string>& argv, const std::string& log,
                         std::string* error) {
  // Close-on-exec, so that no other child inherits this board's log; the
  // copy on the child's standard output is not.
  const Fd out(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) {
    *error = "cannot write " + log + ": " + std::strerror(errno);
    return false;
  }
  SpawnSetup setup;
  if (!setup.ready) {
    *error = "cannot start a process: out of memory";
    return false;
  }
  (void)posix_spawn_file_actions_adddup2(&setup.actions, out.get(), STDOUT_FILENO);
  (void)posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // A process group of its own: the terminal's Ctrl-C reaches the station
  // only, and the station passes it on once.
  (void)posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP);
  (void)posix_spawnattr_setpgroup(&setup.attributes, 0);
  // posix_spawn does not change the arguments.
  std::vector<char*> args(argv.size() + 1, nullptr);
  std::transform(argv.begin(), argv.end(), args.begin(),
                 [](const std::string& a) { return const_cast<char*>(a.c_str()); });
  pid_t pid = 0;
  const int result =
      posix_spawn(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
  if (result != 0) {
    *error = "cannot start " + argv[0] + ": " + std::strerror(result);
    return false;
  }
  pid_ = pid;
  return true;
}

void BoardProcess::stop(int request) {
  if (pid_ <= 0 || stopped_)
    return;
  stopped_ = true;
  (void)kill(pid_, request);  // fails only when the child has already ended
}

bool BoardProcess::ended() {
  if (pid_ <= 0)
    return true;
  const pid_t got = waitpid(pid_, nullptr, WNOHANG);
  if (got == 0 || (got < 0 && errno == EINTR))
    return false;
  pid_ = 0;
  return true;
}

void BoardProcess::wait_end() {
  while (pid_ > 0) {
    const pid_t got = waitpid(pid_, nullptr, 0);
    if (got < 0 && errno == EINTR)
      continue;
    pid_ = 0;
  }
}

std::string own_program_path() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0)
    return "";
  return std::string(path, static_cast<size_t>(n));
}

std::string port_name(int bus_number, int device_number, unsigned vendor, unsigned product) {
  // Each USB device has a folder named by its port path ("1-1.3"); its
  // interfaces ("1-1.3:1.0") and root hubs ("usb1") have other names.
  const std::string root = "/sys/bus/usb/devices/";
  DIR* dir = opendir(root.c_str());
  if (dir == nullptr)
    return "";
  std::string found;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.' || name.find(':') != std::string::npos)
      continue;
    const std::string at = root + name + "/";
    if (read_number(at + "busnum", 10) == bus_number &&
        read_number(at + "devnum", 10) == device_number &&
        read_number(at + "idVendor", 16) == static_cast<long>(vendor) &&
        read_number(at + "idProduct", 16) == static_cast<long>(product)) {
      found = name;
      break;
    }
  }
  (void)closedir(dir);
  return found;
}

bool output_is_terminal(int* columns) {
  *columns = 80;
  if (isatty(STDOUT_FILENO) == 0)
    return false;
  const char* term = std::getenv("TERM");
  if (term == nullptr || std::strcmp(term, "dumb") == 0)
    return false;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    *columns = size.ws_col;
  return true;
}
