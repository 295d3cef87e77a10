#include "summary/local_time.h"

#include <cstdio>
#include <vector>

#include "records/record_time.h"

namespace {

constexpr int64_t kDayMs = int64_t{86400} * 1000;

bool digits_at(const std::string& text, size_t at, size_t count) {
  if (at + count > text.size())
    return false;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9')
      return false;
  }
  return true;
}

// The digits at `at` (digits_at() said they are) as a number.
int64_t number_at(const std::string& text, size_t at, size_t count) {
  int64_t n = 0;
  for (size_t i = at; i < at + count; ++i)
    n = n * 10 + (text[i] - '0');
  return n;
}

// Takes a final Z or offset off `*text`: *given is false when there is none.
bool take_offset(std::string* text, bool* given, int64_t* offset_ms) {
  *given = false;
  *offset_ms = 0;
  if (!text->empty() && text->back() == 'Z') {
    text->pop_back();
    *given = true;
    return true;
  }
  const size_t t = text->find('T');
  if (t == std::string::npos)
    return true;  // a date alone: its midnight in the zone
  const size_t sign = text->find_first_of("+-", t);
  if (sign == std::string::npos)
    return true;
  const std::string o = text->substr(sign + 1);
  int64_t hours = 0;
  int64_t minutes = 0;
  if (o.size() == 2 && digits_at(o, 0, 2)) {
    hours = number_at(o, 0, 2);
  } else if (o.size() == 4 && digits_at(o, 0, 4)) {
    hours = number_at(o, 0, 2);
    minutes = number_at(o, 2, 2);
  } else if (o.size() == 5 && digits_at(o, 0, 2) && o[2] == ':' && digits_at(o, 3, 2)) {
    hours = number_at(o, 0, 2);
    minutes = number_at(o, 3, 2);
  } else {
    return false;
  }
  if (hours > 23 || minutes > 59)
    return false;
  *offset_ms = ((*text)[sign] == '-' ? -1 : 1) * (hours * 60 + minutes) * 60000;
  *given = true;
  text->resize(sign);
  return true;
}

// Takes a fraction of a second off `*text`, rounded up to whole milliseconds.
bool take_fraction(std::string* text, int64_t* ms) {
  *ms = 0;
  const size_t dot = text->find('.');
  if (dot == std::string::npos)
    return true;
  const size_t count = text->size() - dot - 1;
  if (count < 1 || count > 9 || !digits_at(*text, dot + 1, count))
    return false;
  int64_t nanos = number_at(*text, dot + 1, count);
  for (size_t i = count; i < 9; ++i)
    nanos *= 10;
  *ms = (nanos + 999999) / 1000000;
  text->resize(dot);
  // A fraction needs the seconds it is a fraction of.
  return text->size() == 19;
}

// The instants whose wall time in `zone` is `wall_ms`: none where the clocks
// skip it, two where they go back over it. Offsets a day either side are
// those a transition can lie between.
std::vector<int64_t> instants_of(const TimeZone& zone, int64_t wall_ms) {
  std::vector<int64_t> found;
  for (const int64_t probe : {wall_ms - kDayMs, wall_ms, wall_ms + kDayMs}) {
    const int64_t utc = wall_ms - zone.offset_ms(probe);
    if (zone.offset_ms(utc) == wall_ms - utc &&
        (found.empty() || (found.front() != utc && (found.size() < 2 || found[1] != utc))))
      found.push_back(utc);
  }
  return found;
}

}  // namespace

std::string offset_text(int64_t offset_ms) {
  const int64_t minutes = (offset_ms < 0 ? -offset_ms : offset_ms) / 60000;
  char text[16];
  (void)std::snprintf(text, sizeof text, "%c%02d:%02d", offset_ms < 0 ? '-' : '+',
                      static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
  return text;
}

std::string local_text(const TimeZone& zone, int64_t utc_ms) {
  const int64_t offset = zone.offset_ms(utc_ms);
  std::string text = utc_text(utc_ms + offset);  // YYYY-MM-DDTHH:MM:SSZ
  text.pop_back();
  return text + offset_text(offset);
}

std::string local_minute(const TimeZone& zone, int64_t utc_ms) {
  return utc_text(utc_ms + zone.offset_ms(utc_ms)).substr(0, 16);
}

bool parse_report_time(const std::string& text, const TimeZone& zone, int64_t* ms,
                       std::string* why) {
  std::string rest = text;
  bool offset_given = false;
  int64_t offset = 0;
  int64_t fraction = 0;
  int64_t wall = 0;
  if (!take_offset(&rest, &offset_given, &offset) || !take_fraction(&rest, &fraction) ||
      rest.find('Z') != std::string::npos || !parse_time_argument(rest, &wall)) {
    *why = text +
           ": not a time: YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, the seconds with a "
           "fraction if wanted (.5, .250), then Z, an offset (+01:00) or nothing for " +
           zone.name() + " time";
    return false;
  }
  wall += fraction;
  if (offset_given) {
    *ms = wall - offset;
    return true;
  }
  const std::vector<int64_t> instants = instants_of(zone, wall);
  if (instants.size() == 1) {
    *ms = instants.front();
    return true;
  }
  *why = text + (instants.empty()
                     ? ": no such time in " + zone.name() + " (the clocks skip it): give an offset"
                     : ": twice in " + zone.name() + " (" + offset_text(wall - instants[0]) +
                           " and " + offset_text(wall - instants[1]) + "): give an offset");
  return false;
}
