// What a watching station started again takes from its results file: the
// plug of each board's latest record of this boot, and nothing from records
// of other boots, of flashprep 1.0, of a newer schema or from damaged lines,
// which it names.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "record_sample.h"
#include "records/record_text.h"
#include "station/prepared_plugs.h"
#include "test_support.h"

namespace {

constexpr const char* kBoot = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

std::string line_of(const std::string& board, const std::string& boot, const UsbPlace& place) {
  RunRecord r = sample_record();
  r.board = board;
  r.port = board;
  r.boot = boot;
  r.bus = place.bus;
  r.device = place.device;
  r.devnum = place.devnum;
  return record_text(r) + "\n";
}

std::string text_of(const std::map<std::string, UsbPlace>& plugs) {
  std::string text;
  for (const auto& [board, place] : plugs)
    text += board + "@" + place.bus + "/" + place.device + "#" + std::to_string(place.devnum) + " ";
  return text;
}

TEST(PreparedPlugs, TheLatestRecordOfThisBootOfEachBoardAndNothingElse) {
  ScratchDir dir;
  std::string schema_3 = line_of("1-1.4", kBoot, {"002", "001", 1});
  schema_3.replace(schema_3.find("\"schema\":2"), 10, "\"schema\":3");
  const std::string v1 =
      "{\"board\":\"1-1.4\",\"start\":\"2026-12-08T06:00:00.000Z\",\"end\":"
      "\"2026-12-08T06:00:12.002Z\",\"seconds\":12,\"verdict\":\"READY\",\"reasons\":[],\"log\":"
      "null,\"version\":\"1.0.0\"}\n";
  const std::string text =
      line_of("1-1.3", kBoot, {"001", "007", 7}) +
      line_of("1-1.4", "1f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", {"001", "008", 8}) + v1 +
      line_of("1-1.3", kBoot, {"001", "009", 9}) + "\n" + schema_3 + "garbage\n" +
      line_of("1-1.5", "", {"001", "010", 10}) +
      line_of("1-1.6", kBoot, {"001", "011", 11}).substr(0, 50) + std::string(100, '\0');
  ASSERT_TRUE(dir.write("r.jsonl", text));
  std::map<std::string, UsbPlace> latest;
  std::string skipped;
  std::string error;
  ASSERT_TRUE(read_prepared_plugs(dir.file("r.jsonl"), kBoot, &latest, &skipped, &error)) << error;
  EXPECT_EQ(text_of(latest), "1-1.3@001/009#9 ");
  EXPECT_EQ(skipped, dir.file("r.jsonl") +
                         ": 4 damaged lines skipped: line 5 (blank), line 6 (schema 3), line 7 "
                         "(not a record), line 9 (NUL bytes)");

  // A system that tells no boot reads nothing; a file not there yet is no
  // record.
  ASSERT_TRUE(read_prepared_plugs(dir.file("r.jsonl"), "", &latest, &skipped, &error)) << error;
  EXPECT_TRUE(latest.empty() && skipped.empty());
  ASSERT_TRUE(read_prepared_plugs(dir.file("none.jsonl"), kBoot, &latest, &skipped, &error));
  EXPECT_TRUE(latest.empty() && skipped.empty());
}

// Ten damaged lines are all named; the eleventh is left to the ", ...".
TEST(PreparedPlugs, TheDamagedLinesNamedAreAllOfThemUpToTen) {
  ScratchDir dir;
  for (const size_t damaged : {size_t{10}, size_t{11}}) {
    std::string text;
    std::string named;
    size_t line = 0;
    for (size_t i = 0; i < damaged; ++i) {
      text += line_of("1-1.3", kBoot, {"001", "007", 7}) + "garbage\n";
      line += 2;
      if (i < 10)
        named += (i == 0 ? " line " : ", line ") + std::to_string(line) + " (not a record)";
    }
    ASSERT_TRUE(dir.write("r.jsonl", text));
    std::map<std::string, UsbPlace> latest;
    std::string skipped;
    std::string error;
    ASSERT_TRUE(read_prepared_plugs(dir.file("r.jsonl"), kBoot, &latest, &skipped, &error))
        << error;
    EXPECT_EQ(skipped, dir.file("r.jsonl") + ": " + std::to_string(damaged) +
                           " damaged lines skipped:" + named + (damaged > 10 ? ", ..." : ""));
  }
}

}  // namespace
