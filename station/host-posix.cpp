// The station's system part on POSIX: posix_spawn, process groups and
// signals; port names from Linux's sysfs when it is there.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <utility>

#include "app/interrupt.h"
#include "station/file_handle.h"
#include "station/host.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

namespace {

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

// The two ends of a pipe, closed on every way out unless taken.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
  ~Pipe() {
    for (const int fd : {read, write})
      if (fd >= 0)
        (void)close(fd);  // nothing was written through it
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
};

// The program's own file, opened at the first call and never closed: the
// program, whatever later replaces it at its path. Not close-on-exec: a
// program the system hands to an interpreter (binfmt_misc, as qemu-user
// runs an arm64 build on a PC) is opened by that interpreter through
// /proc/self/fd/N after the exec, when such a descriptor would be gone; a
// board's process thus holds one descriptor of its program, unused.
int program_file() {
  static const int program = open("/proc/self/exe", O_RDONLY);
  return program;
}

}  // namespace

BoardProcess::~BoardProcess() {
  // Its input closed first: a child still running stops at its next
  // exchange, as when the station ends without this destructor.
  close_input();
  wait_end();
}

void BoardProcess::close_input() {
  if (input_ >= 0)
    (void)close(input_);  // a pipe: nothing is lost by closing it
  input_ = -1;
}

bool BoardProcess::start(const std::string& program, const std::vector<std::string>& argv,
                         const std::string& log, const std::string& errors,
                         const std::vector<intptr_t>& held, std::string* error, bool* taken) {
  *taken = false;
  // New files only (O_EXCL): a run never writes into a file that another
  // run, or anything else, made. Close-on-exec, so that no other child
  // inherits them; the copies on the child's standard output and error are
  // not.
  FileHandle out;
  FileHandle err;
  bool created = false;
  std::string why;
  if (!out.open(log, FileHandle::Open::new_file, &created, &why, taken)) {
    *error = "cannot create " + log + ": " + why;
    return false;
  }
  if (!err.open(errors, FileHandle::Open::new_file, &created, &why, taken)) {
    *error = "cannot create " + errors + ": " + why;
    (void)unlink(log.c_str());  // made just now, empty: nothing of anyone's is lost
    return false;
  }
  const auto give_up = [&](const std::string& reason) {
    *error = reason;
    (void)unlink(log.c_str());
    (void)unlink(errors.c_str());
    return false;
  };
  // Their entries on the disk: a power cut must not take the log of a board
  // whose record says it was prepared.
  if (!sync_folder_of(log, &why))
    return give_up("cannot flush the folder of " + log + ": " + why);
  SpawnSetup setup;
  if (!setup.ready)
    return give_up("cannot start a process: out of memory");
  Pipe input;
  if (input.read < 0)
    return give_up(std::string("cannot start a process: ") + std::strerror(errno));
  // The signals the child stops by, and SIGPIPE, at their defaults: the
  // station ignores SIGPIPE (survive_closed_output()) and may have been
  // started ignoring others, which the child's run must not inherit.
  sigset_t defaults = {};
  (void)sigemptyset(&defaults);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    (void)sigaddset(&defaults, s);
  // A process group of its own: the terminal's Ctrl-C reaches the station
  // only, and the station passes it on once.
  bool ready = posix_spawn_file_actions_adddup2(&setup.actions, static_cast<int>(out.native()),
                                                STDOUT_FILENO) == 0 &&
               posix_spawn_file_actions_adddup2(&setup.actions, static_cast<int>(err.native()),
                                                STDERR_FILENO) == 0 &&
               posix_spawn_file_actions_adddup2(&setup.actions, input.read, STDIN_FILENO) == 0 &&
               posix_spawnattr_setsigdefault(&setup.attributes, &defaults) == 0 &&
               posix_spawnattr_setflags(&setup.attributes,
                                        POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF) == 0 &&
               posix_spawnattr_setpgroup(&setup.attributes, 0) == 0;
  // The held files above every descriptor the actions read, so that none
  // is written over before it is read, nor the program's own file before
  // the program is started from it.
  int first = std::max(
      {program_file(), input.read, static_cast<int>(out.native()), static_cast<int>(err.native())});
  for (const intptr_t fd : held)
    first = std::max(first, static_cast<int>(fd));
  for (size_t i = 0; ready && i < held.size(); ++i)
    ready = posix_spawn_file_actions_adddup2(&setup.actions, static_cast<int>(held[i]),
                                             first + 1 + static_cast<int>(i)) == 0;
  if (!ready)
    return give_up("cannot start a process: out of memory");
  // posix_spawn does not change the arguments.
  std::vector<char*> args(argv.size() + 1, nullptr);
  std::transform(argv.begin(), argv.end(), args.begin(),
                 [](const std::string& a) { return const_cast<char*>(a.c_str()); });
  pid_t pid = 0;
  const int result =
      posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, args.data(), environ);
  if (result != 0)
    return give_up("cannot start " + argv[0] + ": " + std::strerror(result));
  pid_ = pid;
  input_ = input.write;
  input.write = -1;
  return true;
}

void BoardProcess::stop(int request) {
  if (pid_ <= 0 || stopped_by_ != 0)
    return;
  stopped_by_ = request;
  (void)kill(pid_, request);  // fails only when the child has already ended
}

void BoardProcess::note_end(int status) {
  pid_ = 0;
  // Its input has no reader any more: closed now, not when the run is
  // forgotten, or a watching station would keep one pipe of every board it
  // prepared.
  close_input();
  if (WIFEXITED(status))
    exit_status_ = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    end_signal_ = WTERMSIG(status);
}

bool BoardProcess::ended() {
  if (pid_ <= 0) {
    close_input();
    return true;
  }
  int status = 0;
  const pid_t got = waitpid(pid_, &status, WNOHANG);
  if (got == 0 || (got < 0 && errno == EINTR))
    return false;
  if (got < 0)
    pid_ = 0;  // not our child any more (never happens): nothing to wait for
  else
    note_end(status);
  return true;
}

void BoardProcess::wait_end() {
  while (pid_ > 0) {
    int status = 0;
    const pid_t got = waitpid(pid_, &status, 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      pid_ = 0;
    else
      note_end(status);
  }
}

std::string own_program_path() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0)
    return "";
  return std::string(path, static_cast<size_t>(n));
}

std::string own_program() {
  const int program = program_file();
  return program < 0 ? std::string() : "/proc/self/fd/" + std::to_string(program);
}

std::string system_claims_folder() {
  return "/run/flashprep";
}

namespace {

void* watch_input(void* /*unused*/) {
  char byte = 0;
  ssize_t got = 0;
  do {
    got = read(STDIN_FILENO, &byte, 1);
  } while (got > 0 || (got < 0 && errno == EINTR));
  request_interrupt(SIGTERM);
  return nullptr;
}

}  // namespace

void stop_when_station_ends() {
  struct stat st = {};
  if (fstat(STDIN_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode))
    return;
  // A thread the system refuses (the user's process limit reached: a
  // sanitizer's own thread may take the last one) leaves the run unwatched
  // rather than ended: it still stops on the station's signals.
  pthread_t thread{};
  if (pthread_create(&thread, nullptr, watch_input, nullptr) == 0)
    (void)pthread_detach(thread);
}

void survive_closed_output() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  (void)sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);  // fails only for a bad signal number
}

std::map<std::pair<int, int>, std::string> board_ports(unsigned vendor, unsigned product,
                                                       const std::string& devices) {
  // Each USB device has a folder named by its port path ("1-1.3"), root
  // hubs too ("usb1"), with its vendor and product; its interfaces
  // ("1-1.3:1.0", about as many) have none and are passed over unread. One
  // walk for every board: a bench of a hundred boards behind hubs has some
  // three hundred entries here, read once per look rather than once a board.
  std::map<std::pair<int, int>, std::string> ports;
  DIR* dir = opendir(devices.c_str());
  if (dir == nullptr)
    return ports;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.find(':') != std::string::npos)
      continue;
    const std::string at = devices + name + "/";
    if (read_number(at + "idVendor", 16) != static_cast<long>(vendor) ||
        read_number(at + "idProduct", 16) != static_cast<long>(product))
      continue;
    // A device the system is still making or taking away may lack them.
    const long bus = read_number(at + "busnum", 10);
    const long devnum = read_number(at + "devnum", 10);
    if (bus > 0 && devnum > 0)
      ports[{static_cast<int>(bus), static_cast<int>(devnum)}] = name;
  }
  (void)closedir(dir);
  return ports;
}

bool board_node_writable(const std::string& bus, const std::string& device, std::string* why) {
  // Where libusb 0.1 looks for the nodes, and what it opens: the check is
  // of the very file the board's process will open.
  const char* root = std::getenv("USB_DEVFS_PATH");
  const std::string node =
      std::string(root != nullptr ? root : "/dev/bus/usb") + "/" + bus + "/" + device;
  if (access(node.c_str(), R_OK | W_OK) == 0 || errno == ENOENT || errno == ENOTDIR)
    return true;
  *why = node + " cannot be opened for writing yet: " + std::strerror(errno);
  return false;
}

std::string port_serial(const std::string& port) {
  if (port.empty() || port.find('/') != std::string::npos)
    return "";
  std::ifstream in("/sys/bus/usb/devices/" + port + "/serial");
  std::string serial;
  if (!std::getline(in, serial))
    return "";
  return serial;
}

std::string boot_id() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  if (!std::getline(in, id))
    return "";
  return id;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0)
    return "";
  return name;
}

bool output_is_terminal() {
  if (isatty(STDOUT_FILENO) == 0)
    return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") != 0;
}

TerminalSize terminal_size() {
  TerminalSize size;
  winsize window{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) != 0)
    return size;
  // A terminal that does not know its size (a serial line) says 0.
  if (window.ws_col > 0)
    size.columns = window.ws_col;
  if (window.ws_row > 0)
    size.rows = window.ws_row;
  return size;
}
