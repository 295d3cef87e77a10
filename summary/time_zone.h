// The time zone the shift report shows its times in and reads --since and
// --until in when they carry no offset: the C library's own.
//
// A zone is named as the TZ variable names it. On Linux (tzdata's
// /usr/share/zoneinfo, or TZDIR): a zone of the database ("Europe/Berlin",
// "UTC"), with its summer time, or a fixed offset as NAME and the hours west
// of UTC ("CET-1", "EST5"). On Windows the C runtime knows no database: a
// fixed offset only ("UTC", "CET-1", "EST5"), or without a name the zone set
// in Windows, summer time included. A name neither knows is refused, never
// taken for UTC.
//
// Opening a zone sets the process's TZ; do it before any thread starts.
#ifndef FLASHPREP_SUMMARY_TIME_ZONE_H_
#define FLASHPREP_SUMMARY_TIME_ZONE_H_

#include <cstdint>
#include <string>

class TimeZone {
 public:
  // The zone `name`, or with "" the machine's (TZ where set, else the
  // system's). False with the reason in *error when the name is none.
  bool open(const std::string& name, std::string* error);

  // What the report calls it: the name given, or the machine's zone's.
  const std::string& name() const { return name_; }

  // Local time minus UTC at the instant `utc_ms`, in milliseconds.
  int64_t offset_ms(int64_t utc_ms) const;

 private:
  std::string name_;
};

// True when `name` is a fixed offset, NAME[+|-]H[H][:MM[:SS]] with a name of
// three letters or more, as both C libraries read it.
bool fixed_offset_zone(const std::string& name);

#endif  // FLASHPREP_SUMMARY_TIME_ZONE_H_
