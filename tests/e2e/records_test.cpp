// The results record's schema (docs/results-record.schema.json) as the tests'
// validator applies it: it takes the records a station writes and refuses
// what no station may write.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/process.h"
#include "e2e/records.h"
#include "e2e/text_files.h"

namespace {

namespace fs = std::filesystem;

class RecordsSchema : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flashprep-records-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path file(const std::string& text) {
    std::ofstream(dir / "r.jsonl", std::ios::binary) << text;
    return dir / "r.jsonl";
  }
  fs::path dir;
};

TEST_F(RecordsSchema, TakesWhatAStationWrites) {
  TestRecord ready;
  ready.serial = "FP2600001";
  TestRecord failed;
  failed.reasons = {"BLOCKS NOT FORMATTED: 3 (7, 100-101)"};
  failed.failed_blocks = {{7, 7}, {100, 101}};
  TestRecord windows;  // no port, no serial, no image read
  windows.port.clear();
  windows.image = nullptr;
  windows.reasons = {"RUN STOPPED: FAIL: SERIAL DRIVER NOT LOADED"};
  EXPECT_TRUE(records_valid(file(ready.line() + failed.line() + windows.line())));
}

TEST_F(RecordsSchema, RefusesWhatItMust) {
  const nlohmann::ordered_json good = TestRecord().json();
  nlohmann::ordered_json no_counts = good;
  no_counts.erase("counts");
  nlohmann::ordered_json schema_1 = good;
  schema_1["schema"] = 1;
  nlohmann::ordered_json short_sha = good;
  short_sha["image"]["sha256"] = std::string(kImageA).substr(1);
  nlohmann::ordered_json upper_sha = good;
  upper_sha["image"]["sha256"] = "3F2A9C01D2E4B5A697887766554433221100FFEEDDCCBBAA9988776655443322";
  nlohmann::ordered_json block_4096 = good;
  block_4096["failed_blocks"] = {{4090, 4096}};
  const struct {
    const char* what;
    std::string line;
    const char* says;
  } cases[] = {
      {"a member missing", no_counts.dump(), "'counts' is a required property"},
      {"schema 1 said in a member", schema_1.dump(), ".schema:"},
      {"a record of flashprep 1.0", TestRecord().line_v1(), "'schema' is a required property"},
      {"a short sha256", short_sha.dump(), ".image.sha256:"},
      {"a sha256 in capitals", upper_sha.dump(), ".image.sha256:"},
      {"a block past the flash", block_4096.dump(), ".failed_blocks[0][1]:"},
  };
  for (const auto& c : cases) {
    std::string line = c.line;
    if (line.back() != '\n')
      line += "\n";
    const ::testing::AssertionResult valid = records_valid(file(good.dump() + "\n" + line));
    EXPECT_FALSE(valid) << c.what;
    const std::string said = valid.message();
    EXPECT_NE(said.find("r.jsonl line 2: "), std::string::npos) << c.what << ": " << said;
    EXPECT_EQ(said.find("line 1:"), std::string::npos) << c.what << ": " << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << c.what << ": " << said;
  }
  // No record at all, or no file, is no proof of anything.
  EXPECT_FALSE(records_valid(file("")));
  EXPECT_FALSE(records_valid(dir / "missing.jsonl"));
  EXPECT_FALSE(records_valid(file(good.dump())));  // no newline at its end
}

TEST_F(RecordsSchema, ShiftGeneratorWritesRecordsOfTheSchema) {
  const ProcessResult r =
      run_process({FLASHPREP_MAKE_SHIFT, "--boards", "300", "--cut", dir.string()}, ".", {});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  for (const char* station : {"station-1", "station-2", "station-3"})
    EXPECT_TRUE(records_valid(dir / (std::string(station) + ".jsonl")));
  // The last station's file ends in a cut record, as planted.
  EXPECT_FALSE(records_valid(dir / "station-4.jsonl"));
  std::string text = read_text(dir / "station-4.jsonl");
  text.erase(text.rfind('\n') + 1);
  EXPECT_TRUE(records_valid(file(text)));
}

}  // namespace
