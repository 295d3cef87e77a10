// The results record's schema (docs/results-record.schema.json) as the tests'
// validator applies it: it takes the records a station writes and refuses
// what no station may write.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
    EXPECT_NE(said.find("r.jsonl line 2: not a record: "), std::string::npos)
        << c.what << ": " << said;
    EXPECT_EQ(said.find("line 1:"), std::string::npos) << c.what << ": " << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << c.what << ": " << said;
    // The station's readers take no record the schema refuses (a record of
    // flashprep 1.0 they still read, as the report counts old shifts).
    if (line == TestRecord().line_v1())
      continue;
    const ProcessResult report =
        run_process({FLASHPREP_SUMMARY, "--results", "r.jsonl"}, dir.string(), {});
    EXPECT_EQ(report.exit_status, 1) << c.what << ": " << report.out << report.err;
    EXPECT_NE(report.out.find("\nSKIPPED: 1 DAMAGED LINE: r.jsonl LINE 2 (NOT A RECORD)\n"),
              std::string::npos)
        << c.what << ": " << report.out;
  }
  // No record at all, or no file, is no proof of anything.
  EXPECT_FALSE(records_valid(file("")));
  EXPECT_FALSE(records_valid(dir / "missing.jsonl"));
  EXPECT_FALSE(records_valid(file(good.dump())));  // no newline at its end
}

// The validator, which checks that a station writes records only, names a
// line that is none as the station's readers do.
TEST_F(RecordsSchema, DamageIsNamedAsTheReadersNameIt) {
  const std::string line = TestRecord().line();
  nlohmann::ordered_json schema_3 = TestRecord().json();
  schema_3["schema"] = 3;
  const struct {
    std::string text;
    std::vector<std::string> named;  // the damaged lines, as "LINE (KIND)"
  } files[] = {
      {line + "\n" + line.substr(0, 99) + "\n" + std::string(40, '\0') + "\n" + line,
       {"2 (BLANK)", "3 (CUT)", "4 (NUL BYTES)"}},
      {line + "garbage\n" + schema_3.dump() + "\n" + line, {"2 (NOT A RECORD)", "3 (SCHEMA 3)"}},
  };
  for (const auto& f : files) {
    const ::testing::AssertionResult valid = records_valid(file(f.text));
    EXPECT_FALSE(valid);
    std::vector<std::string> by_validator;
    for (const std::string& said : lines_of(valid.message())) {
      const size_t at = said.find("r.jsonl line ");
      if (at == std::string::npos)
        continue;
      const std::string rest = said.substr(at + 13);
      std::string kind = rest.substr(rest.find(": ") + 2);
      kind = kind.substr(0, kind.find(':'));
      for (char& c : kind)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      by_validator.push_back(rest.substr(0, rest.find(':')) + " (" + kind + ")");
    }
    EXPECT_EQ(by_validator, f.named) << valid.message();
    const ProcessResult report =
        run_process({FLASHPREP_SUMMARY, "--results", "r.jsonl"}, dir.string(), {});
    std::string skipped = "SKIPPED: " + std::to_string(f.named.size()) + " DAMAGED LINES:";
    for (size_t i = 0; i < f.named.size(); ++i)
      skipped += std::string(i == 0 ? " " : ", ") + "r.jsonl LINE " + f.named[i];
    EXPECT_NE(report.out.find("\n" + skipped + "\n"), std::string::npos) << skipped << "\n"
                                                                         << report.out;
  }
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
