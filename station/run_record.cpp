#include "station/run_record.h"

#include <cstdint>
#include <cstdio>
#include <iostream>

namespace {

// The proleptic Gregorian date of a day counted from 1970-01-01, by 400-year
// eras (146097 days each), years starting in March so that the leap day
// ends a year. Done here because C++17's <chrono> has no calendar and
// gmtime differs between systems in how it is made thread-safe.
void civil_date(int64_t days, int64_t* year, int* month, int* day) {
  const int64_t z = days + 719468;  // days from 0000-03-01
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t of_era = z - era * 146097;
  const int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const int64_t of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t march_month = (5 * of_year + 2) / 153;
  *day = static_cast<int>(of_year - (153 * march_month + 2) / 5 + 1);
  *month = static_cast<int>(march_month < 10 ? march_month + 3 : march_month - 9);
  *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

std::string utc_time(WallClock::time_point t) {
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const int64_t ms_per_day = int64_t{86400} * 1000;
  int64_t days = ms / ms_per_day;
  int64_t in_day = ms % ms_per_day;
  if (in_day < 0) {
    in_day += ms_per_day;
    --days;
  }
  int64_t year = 0;
  int month = 0;
  int day = 0;
  civil_date(days, &year, &month, &day);
  char text[48];
  (void)std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ",
                      static_cast<long long>(year), month, day, static_cast<int>(in_day / 3600000),
                      static_cast<int>(in_day / 60000 % 60), static_cast<int>(in_day / 1000 % 60),
                      static_cast<int>(in_day % 1000));
  return text;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      (void)std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;  // UTF-8 passes as it is
    }
  }
  return out + "\"";
}

std::string run_record(const BoardRun& run, const std::string& version) {
  char seconds[32];
  (void)std::snprintf(seconds, sizeof seconds, "%.3f", run.seconds);
  std::string reasons;
  for (const Reason& reason : run.verdict.reasons)
    reasons += (reasons.empty() ? "" : ",") + json_string(reason_text(reason, true));
  return "{\"board\":" + json_string(run.slot.name) +
         ",\"start\":" + json_string(utc_time(run.started_at)) +
         ",\"end\":" + json_string(utc_time(run.ended_at)) + ",\"seconds\":" + seconds +
         ",\"verdict\":" + json_string(run.verdict.headline) + ",\"reasons\":[" + reasons +
         "],\"log\":" + json_string(run.log_path) + ",\"version\":" + json_string(version) + "}";
}

void record_run(ResultsFile& results, const BoardRun& run, const std::string& version) {
  std::string why;
  if (!results.append(run_record(run, version), &why))
    std::cerr << "flashprep-station: " << why << "\n";
}
