#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "summary/time_zone.h"

namespace {

std::string zone_folder() {
  const char* dir = std::getenv("TZDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
}

// A zone of the database: a relative name whose file is there.
bool database_zone(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos)
    return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(zone_folder() + "/" + name, ec);
}

// The machine's zone by name: where /etc/localtime points into the
// database, else /etc/timezone, else what the C library calls it.
std::string machine_zone() {
  char target[PATH_MAX];
  const ssize_t n = readlink("/etc/localtime", target, sizeof target - 1);
  if (n > 0) {
    const std::string path(target, static_cast<size_t>(n));
    const size_t at = path.find("zoneinfo/");
    if (at != std::string::npos)
      return path.substr(at + 9);
  }
  std::ifstream file("/etc/timezone");
  std::string line;
  if (std::getline(file, line) && !line.empty())
    return line;
  tzset();
  return tzname[0];
}

}  // namespace

bool TimeZone::open(const std::string& name, std::string* error) {
  if (name.empty()) {
    const char* tz = std::getenv("TZ");
    name_ = tz != nullptr && *tz != '\0' ? std::string(tz[0] == ':' ? tz + 1 : tz) : machine_zone();
    tzset();
    return true;
  }
  if (!database_zone(name) && !fixed_offset_zone(name)) {
    *error = "--tz " + name + ": no such time zone in " + zone_folder() +
             " (a name such as Europe/Berlin or UTC, or a fixed offset such as CET-1)";
    return false;
  }
  if (setenv("TZ", name.c_str(), 1) != 0) {
    *error = "--tz " + name + ": cannot set TZ: " + std::strerror(errno);
    return false;
  }
  tzset();
  name_ = name;
  return true;
}

// A member though TZ is the process's: only an opened zone is asked.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
int64_t TimeZone::offset_ms(int64_t utc_ms) const {
  const auto t = static_cast<time_t>(utc_ms >= 0 ? utc_ms / 1000 : (utc_ms - 999) / 1000);
  struct tm local = {};
  if (localtime_r(&t, &local) == nullptr)
    return 0;  // outside the years the C library can tell: shown as UTC
  return int64_t{local.tm_gmtoff} * 1000;
}
