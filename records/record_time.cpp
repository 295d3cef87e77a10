#include "records/record_time.h"

#include <cstdio>

namespace {

constexpr int64_t kMsPerDay = int64_t{86400} * 1000;

// Days from 1970-01-01 to a proleptic Gregorian date, by 400-year eras whose
// years start in March, so that the leap day ends a year.
int64_t days_from_civil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t march_month = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * march_month + 2) / 5 + 1);
  *month = static_cast<int>(march_month < 10 ? march_month + 3 : march_month - 9);
  *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

int days_in_month(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads `count` digits of `text` at `*at` into `*value` and moves past them.
bool digits(std::string_view text, size_t* at, size_t count, int* value) {
  if (*at + count > text.size())
    return false;
  int v = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[*at + i];
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + (c - '0');
  }
  *at += count;
  *value = v;
  return true;
}

bool literal(std::string_view text, size_t* at, char c) {
  if (*at >= text.size() || text[*at] != c)
    return false;
  ++*at;
  return true;
}

// The date and time fields read so far, checked and turned into milliseconds.
bool to_ms(int year, int month, int day, int hour, int minute, int second, int milli, int64_t* ms) {
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    return false;
  *ms = days_from_civil(year, month, day) * kMsPerDay +
        ((int64_t{hour} * 60 + minute) * 60 + second) * 1000 + milli;
  return true;
}

}  // namespace

bool parse_record_time(std::string_view text, int64_t* ms) {
  size_t at = 0;
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milli = 0;
  return digits(text, &at, 4, &year) && literal(text, &at, '-') && digits(text, &at, 2, &month) &&
         literal(text, &at, '-') && digits(text, &at, 2, &day) && literal(text, &at, 'T') &&
         digits(text, &at, 2, &hour) && literal(text, &at, ':') && digits(text, &at, 2, &minute) &&
         literal(text, &at, ':') && digits(text, &at, 2, &second) && literal(text, &at, '.') &&
         digits(text, &at, 3, &milli) && literal(text, &at, 'Z') && at == text.size() &&
         to_ms(year, month, day, hour, minute, second, milli, ms);
}

bool parse_time_argument(std::string_view text, int64_t* ms) {
  if (!text.empty() && text.back() == 'Z')
    text.remove_suffix(1);
  size_t at = 0;
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milli = 0;
  if (!digits(text, &at, 4, &year) || !literal(text, &at, '-') || !digits(text, &at, 2, &month) ||
      !literal(text, &at, '-') || !digits(text, &at, 2, &day))
    return false;
  if (at < text.size()) {
    if (!literal(text, &at, 'T') || !digits(text, &at, 2, &hour) || !literal(text, &at, ':') ||
        !digits(text, &at, 2, &minute))
      return false;
    if (at < text.size() && (!literal(text, &at, ':') || !digits(text, &at, 2, &second)))
      return false;
    if (at < text.size() && (!literal(text, &at, '.') || !digits(text, &at, 3, &milli)))
      return false;
  }
  return at == text.size() && to_ms(year, month, day, hour, minute, second, milli, ms);
}

namespace {

// "YYYY-MM-DDTHH:MM:SS" then ".mmm" when asked, then "Z".
std::string time_text(int64_t ms, bool with_ms) {
  int64_t days = ms / kMsPerDay;
  int64_t in_day = ms % kMsPerDay;
  if (in_day < 0) {
    in_day += kMsPerDay;
    --days;
  }
  int64_t year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days, &year, &month, &day);
  char text[48];
  (void)std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d",
                      static_cast<long long>(year), month, day, static_cast<int>(in_day / 3600000),
                      static_cast<int>(in_day / 60000 % 60), static_cast<int>(in_day / 1000 % 60));
  std::string out = text;
  if (with_ms) {
    (void)std::snprintf(text, sizeof text, ".%03d", static_cast<int>(in_day % 1000));
    out += text;
  }
  return out + "Z";
}

}  // namespace

std::string utc_text(int64_t ms) {
  return time_text(ms, false);
}

std::string record_time_text(int64_t ms) {
  return time_text(ms, true);
}
