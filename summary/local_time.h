// Times as the shift report shows and reads them: in a time zone, with the
// offset, so that a time is never ambiguous, summer time or not.
#ifndef FLASHPREP_SUMMARY_LOCAL_TIME_H_
#define FLASHPREP_SUMMARY_LOCAL_TIME_H_

#include <cstdint>
#include <string>

#include "summary/time_zone.h"

// "+01:00", "-05:00", "+05:30" (never "Z": the report names every offset alike).
std::string offset_text(int64_t offset_ms);

// "2026-12-08T07:00:00+01:00": the instant in the zone, to the second.
std::string local_text(const TimeZone& zone, int64_t utc_ms);

// "2026-12-08T07:00": the instant's wall time in the zone, to the minute.
std::string local_minute(const TimeZone& zone, int64_t utc_ms);

// A --since or --until: YYYY-MM-DD (its midnight), YYYY-MM-DDTHH:MM,
// YYYY-MM-DDTHH:MM:SS, or that with a fraction of a second (1 to 9
// digits), then Z, an offset (+HH:MM, +HHMM, +HH) or nothing for a wall time
// in `zone`. *ms is the instant rounded up to the millisecond, so that a
// record's start (to the millisecond) is before *ms exactly when it is
// before the time given. False with the reason in *why: not such a text, a
// day not in its month, or a wall time the zone skips or has twice.
bool parse_report_time(const std::string& text, const TimeZone& zone, int64_t* ms,
                       std::string* why);

#endif  // FLASHPREP_SUMMARY_LOCAL_TIME_H_
