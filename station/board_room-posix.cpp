// Room for boards on POSIX: the open files counted in /dev/fd, the user's
// processes in Linux's /proc (threads too: the kernel counts each against
// RLIMIT_NPROC). Where the system lists neither, that limit is not counted.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "station/board_room.h"

namespace {

// The descriptors open in this process now; false when the system does not
// list them.
bool open_files(long* files) {
  DIR* dir = opendir("/dev/fd");
  if (dir == nullptr)
    return false;
  long n = 0;
  while (const dirent* entry = readdir(dir))
    n += entry->d_name[0] == '.' ? 0 : 1;
  (void)closedir(dir);
  *files = n - 1;  // the listing's own
  return true;
}

// Root, and a process with CAP_SYS_ADMIN or CAP_SYS_RESOURCE, may start
// processes beyond RLIMIT_NPROC: the kernel does not apply it to them.
bool beyond_process_limit() {
  if (getuid() == 0)
    return true;
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("CapEff:", 0) != 0)
      continue;
    const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
    constexpr int kSysAdmin = 21;
    constexpr int kSysResource = 24;
    return ((caps >> kSysAdmin) & 1U) != 0 || ((caps >> kSysResource) & 1U) != 0;
  }
  return false;
}

// The tasks whose real user is this process's, as the kernel counts them
// against RLIMIT_NPROC; false without Linux's /proc.
bool user_tasks(long* count) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr)
    return false;
  const long me = static_cast<long>(getuid());
  long tasks = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) == 0)
      continue;  // not a process
    // Gone since the listing: no longer counted by the kernel either.
    std::ifstream in(std::string("/proc/") + entry->d_name + "/status");
    std::string line;
    bool mine = false;
    while (std::getline(in, line)) {
      if (line.rfind("Uid:", 0) == 0) {
        mine = std::strtol(line.c_str() + 4, nullptr, 10) == me;  // the real one comes first
      } else if (line.rfind("Threads:", 0) == 0) {
        if (mine)
          tasks += std::strtol(line.c_str() + 8, nullptr, 10);
        break;
      }
    }
  }
  (void)closedir(dir);
  *count = tasks;
  return true;
}

long long as_count(rlim_t value) {
  return value == RLIM_INFINITY ? LLONG_MAX : static_cast<long long>(value);
}

// How many of `wanted` boards a limit holds, each taking `each` beside the
// `used` ones and `spare`: the soft limit is raised up to the hard one for
// them. `what` names what is counted in `why`.
int fit(int resource, const char* name, const char* what, long used, int each, int spare,
        int wanted, int running, std::string* why) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0)
    return wanted;  // a limit the system does not tell is none it applies
  const auto room_under = [&](long long most) {
    return static_cast<int>(std::clamp<long long>((most - used - spare) / each, 0, wanted));
  };
  int room = room_under(as_count(limit.rlim_max));
  long long allowed = as_count(limit.rlim_max);
  std::string raising;
  const long long need = used + spare + static_cast<long long>(room) * each;
  if (room > 0 && need > as_count(limit.rlim_cur)) {
    rlimit raised = limit;
    raised.rlim_cur = static_cast<rlim_t>(need);
    if (setrlimit(resource, &raised) != 0) {
      raising = std::string("; raising it failed: ") + std::strerror(errno);
      allowed = as_count(limit.rlim_cur);
      room = room_under(allowed);
    }
  }
  if (room < wanted)
    *why = std::to_string(running + wanted) + " boards at once need " +
           std::to_string(used + spare + static_cast<long long>(wanted) * each) + " " + what +
           "; the system allows this station " + std::to_string(allowed) + " (" + name + raising +
           ")";
  return room;
}

}  // namespace

int room_for_boards(int wanted, int running, std::string* why) {
  if (wanted <= 0)
    return 0;
  int room = wanted;
  long files = 0;
  if (open_files(&files))
    room = std::min(room, fit(RLIMIT_NOFILE, "RLIMIT_NOFILE", "open files", files, kFilesPerBoard,
                              kSpareFiles, wanted, running, why));
  if (beyond_process_limit())
    return room;
  long tasks = 0;
  if (user_tasks(&tasks))
    room = std::min(room, fit(RLIMIT_NPROC, "RLIMIT_NPROC", "processes of this user", tasks,
                              kTasksPerBoard, 0, wanted, running, why));
  return room;
}
