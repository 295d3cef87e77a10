// The results file's times and strings: the station's own calendar against
// the C library's, and JSON strings that Windows paths and odd bytes keep
// valid.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>

#include "records/record_text.h"

namespace {

std::chrono::system_clock::time_point at_ms(int64_t ms) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

// Every day from 1970 to 2110 (leap years, 2000, 2100), at a time of day
// that moves, as gmtime writes it.
TEST(RecordText, UtcTimeAgreesWithTheCLibrary) {
  for (int64_t day = 0; day < 51500; ++day) {
    const int64_t ms = day * 86400000 + (day * 7919 % 86400) * 1000 + day % 1000;
    const std::time_t s = static_cast<std::time_t>(ms / 1000);
    const std::tm* parts = std::gmtime(&s);
    ASSERT_NE(parts, nullptr);
    char expected[64];
    (void)std::snprintf(expected, sizeof expected, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                        parts->tm_year + 1900, parts->tm_mon + 1, parts->tm_mday, parts->tm_hour,
                        parts->tm_min, parts->tm_sec, static_cast<int>(ms % 1000));
    ASSERT_EQ(utc_time(at_ms(ms)), expected) << "day " << day;
  }
  // A clock set before 1970 (a board's RTC lost) still gives a date.
  EXPECT_EQ(utc_time(at_ms(-500)), "1969-12-31T23:59:59.500Z");
}

TEST(RecordText, JsonStringsStayValid) {
  EXPECT_EQ(json_string("station-logs\\1-1.3.log"), "\"station-logs\\\\1-1.3.log\"");
  EXPECT_EQ(json_string("say \"no\""), "\"say \\\"no\\\"\"");
  EXPECT_EQ(json_string("a\nb\x01\x1f"), "\"a\\u000ab\\u0001\\u001f\"");
  EXPECT_EQ(json_string("caf\xc3\xa9 \x7f"), "\"caf\xc3\xa9 \x7f\"");
}

}  // namespace
