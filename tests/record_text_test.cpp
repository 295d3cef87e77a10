// A record's line, byte for byte as the stations write it (the schema's
// order, the number forms; readers and the line's quality system compare
// them); its times, the station's own calendar against the C library's; and
// JSON strings that Windows paths and odd bytes keep valid.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>

#include "record_sample.h"
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

TEST(RecordText, ALineByteForByte) {
  EXPECT_EQ(record_text(sample_record()),
            R"x({"board":"1-1.3","start":"2026-12-08T12:58:21.234Z",)x"
            R"x("end":"2026-12-08T12:58:33.501Z","seconds":12.267,"verdict":"NOT READY",)x"
            R"x("reasons":["UNPLUGGED","BLOCKS NOT FORMATTED: 3 (9, 100-101)"],)x"
            R"x("log":"station-logs\\1-1.3.20261208T133821Z.log","version":"1.1.0",)x"
            R"x("schema":2,"station":"bench \"4\"","port":"1-1.3","bus":"001",)x"
            R"x("device":"007","devnum":7,"boot":"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0",)x"
            R"x("serial":"FP-0042","image":{"file":"serial_flash.S19","sha256":")x" +
                std::string(64, 'a') +
                R"x(","bytes":4000,"start":"20000000","end":"20000F9F","blocks":16},)x"
                R"x("counts":{"driver_downloaded":15,"driver_refused":1,)x"
                R"x("flash_formatted":4061,"flash_failed":3,"table_written":16,)x"
                R"x("table_refused":2},"failed_blocks":[[9,9],[100,101]]})x");
  const RunRecord bare = bare_sample_record();
  EXPECT_EQ(record_text(bare),
            R"x({"board":"1-1.3","start":"2026-12-08T12:58:21.234Z",)x"
            R"x("end":"2026-12-08T12:58:33.501Z","seconds":0.500,"verdict":"READY",)x"
            R"x("reasons":[],"log":null,"version":"1.1.0","schema":2,)x"
            R"x("station":"bench \"4\"","bus":"001","device":"007","devnum":7,"image":null,)x"
            R"x("counts":{"driver_downloaded":15,"driver_refused":1,"flash_formatted":4061,)x"
            R"x("flash_failed":3,"table_written":16,"table_refused":2},"failed_blocks":[]})x");
}

TEST(RecordText, JsonStringsStayValid) {
  EXPECT_EQ(json_string("station-logs\\1-1.3.log"), "\"station-logs\\\\1-1.3.log\"");
  EXPECT_EQ(json_string("say \"no\""), "\"say \\\"no\\\"\"");
  EXPECT_EQ(json_string("a\nb\x01\x1f"), "\"a\\u000ab\\u0001\\u001f\"");
  EXPECT_EQ(json_string("caf\xc3\xa9 \x7f"), "\"caf\xc3\xa9 \x7f\"");
}

}  // namespace
