#include <cstdlib>
#include <ctime>

#include "summary/time_zone.h"

bool TimeZone::open(const std::string& name, std::string* error) {
  if (name.empty()) {
    const char* tz = std::getenv("TZ");
    _tzset();
    name_ = tz != nullptr && *tz != '\0' ? std::string(tz) : std::string(_tzname[0]);
    return true;
  }
  // The runtime would read any other name as some offset, silently.
  if (!fixed_offset_zone(name)) {
    *error = "--tz " + name +
             ": not a time zone this system knows (on Windows a fixed offset such as UTC, CET-1 "
             "or EST5, or no --tz for the zone set in Windows)";
    return false;
  }
  if (_putenv_s("TZ", name.c_str()) != 0) {
    *error = "--tz " + name + ": cannot set TZ";
    return false;
  }
  _tzset();
  name_ = name;
  return true;
}

int64_t TimeZone::offset_ms(int64_t utc_ms) const {
  const __time64_t t = utc_ms >= 0 ? utc_ms / 1000 : (utc_ms - 999) / 1000;
  struct tm local = {};
  if (_localtime64_s(&local, &t) != 0)
    return 0;  // outside the years the runtime can tell: shown as UTC
  const __time64_t as_utc = _mkgmtime64(&local);
  return as_utc == -1 ? 0 : (as_utc - t) * 1000;
}
