// The one rule by which every reader reads a results file: a record written
// by the station reads back as itself, and every line that is no whole
// record (each truncation of one, NUL bytes, blank lines, garbage, what the
// schema refuses, a newer schema's record) is skipped, named and counted,
// with the records around it still read, across the pieces a long file is
// read in.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "record_sample.h"
#include "records/record_text.h"
#include "records/results_reader.h"
#include "test_support.h"

namespace {

struct Read {
  bool ok = false;
  std::vector<RunRecord> records;
  std::vector<uint64_t> lines;
  ReadNotes notes;
  std::string error;
};

Read read_file(const std::string& path) {
  Read r;
  r.ok = read_results(
      {path},
      [&](const ResultRecord& rec) {
        r.records.push_back(owned_record(rec));
        r.lines.push_back(rec.line);
      },
      &r.notes, &r.error);
  return r;
}

// How one line alone reads: "" for a record, else the damage's name.
std::string line_reads_as(const std::string& line, std::string* why = nullptr) {
  RecordStore store;
  StoredRecord record;
  LineDamage damage;
  if (read_record_line(line, &store, &record, &damage))
    return "";
  if (why != nullptr)
    *why = damage.why;
  EXPECT_TRUE(store.text.empty() && store.reasons.empty() && store.blocks.empty())
      << "a damaged line left its strings behind: " << line;
  return damage_name(damage);
}

TEST(RecordLine, WhatTheStationWritesReadsBackAsItself) {
  ScratchDir dir;
  const RunRecord bare = bare_sample_record();
  const std::string text = record_text(sample_record()) + "\n" + record_text(bare) + "\n";
  ASSERT_TRUE(dir.write("r.jsonl", text));
  const Read r = read_file(dir.file("r.jsonl"));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.notes.skipped_count, 0u);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(record_text(r.records[0]), record_text(sample_record()));
  EXPECT_EQ(record_text(r.records[1]), record_text(bare));
  EXPECT_EQ(r.lines, (std::vector<uint64_t>{1, 2}));
}

TEST(RecordLine, EveryTruncationOfARecordIsCut) {
  const std::string line = record_text(sample_record());
  for (size_t n = 1; n < line.size(); ++n)
    ASSERT_EQ(line_reads_as(line.substr(0, n)), "cut") << line.substr(0, n);
  EXPECT_EQ(line_reads_as(line), "");
}

TEST(RecordLine, DamageOfEachKindIsNamed) {
  const std::string line = record_text(sample_record());
  const std::string cut = line.substr(0, line.size() / 2);
  std::string schema_3 = line;
  schema_3.replace(schema_3.find("\"schema\":2"), 10, "\"schema\":3");
  std::string schema_3_more = schema_3;
  schema_3_more.insert(1, "\"shift\":\"B\",");
  const struct {
    std::string line;
    const char* reads_as;
  } cases[] = {
      {"", "blank"},
      {" \t", "blank"},
      {std::string(4096, '\0'), "NUL bytes"},
      {cut + std::string(7, '\0'), "NUL bytes"},
      {cut, "cut"},
      {"hello", "not a record"},
      {"[1,2]", "not a record"},
      {"{}", "not a record"},
      {line + line, "not a record"},
      {schema_3, "schema 3"},
      {schema_3_more, "schema 3"},
      {schema_3.substr(0, schema_3.size() - 1) + "]}", "not a record"},       // broken after it
      {line.substr(0, line.size() - 1) + ",\"schema\":12}", "not a record"},  // twice
  };
  for (const auto& c : cases)
    EXPECT_EQ(line_reads_as(c.line), c.reads_as) << c.line;
}

// Each change makes a record the schema refuses (or one the reader is
// stricter on): none is taken as a record, and the reason names what.
TEST(RecordLine, WhatTheSchemaRefusesIsNoRecord) {
  const std::string line = record_text(sample_record());
  const auto changed = [&](const std::string& from, const std::string& to) {
    std::string text = line;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  const struct {
    std::string line;
    const char* says;
  } cases[] = {
      {changed(",\"counts\":{", ",\"tally\":{"), "a member no schema has: \"tally\""},
      {changed("\"board\":\"1-1.3\"", "\"board\":\"-x\""), "\"board\""},
      {changed("\"board\":\"1-1.3\"", "\"board\":\"a/b\""), "\"board\""},
      {changed("\"board\":\"1-1.3\"", "\"board\":\".x\""), "\"board\""},
      {changed("\"start\":\"2026-12-08T", "\"start\":\"2026-02-30T"), "\"start\" is not a time"},
      {changed("\"seconds\":12.267", "\"seconds\":-1"), "\"seconds\""},
      {changed("\"verdict\":\"NOT READY\"", "\"verdict\":\"MAYBE\""), "\"verdict\""},
      {changed("\"UNPLUGGED\"", "\"\""), "\"reasons\""},
      {changed("\"version\":\"1.1.0\"", "\"version\":\"1.1\""), "\"version\""},
      {changed("\"schema\":2", "\"schema\":1"), "\"schema\" is not 2"},
      {changed("\"schema\":2", "\"schema\":\"2\""), "\"schema\" is not 2"},
      {changed("\"station\":\"bench \\\"4\\\"\"", "\"station\":\"\""), "\"station\""},
      {changed("\"port\":\"1-1.3\"", "\"port\":\"\""), "\"port\""},
      {changed("\"devnum\":7", "\"devnum\":-7"), "\"devnum\""},
      {changed("\"devnum\":7", "\"devnum\":7.5"), "\"devnum\""},
      {changed("\"boot\":\"0f1e", "\"boot\":\"0F1E"), "\"boot\""},
      {changed("\"bus\":\"001\"", "\"bus\":1"), "\"bus\""},
      {changed(std::string(64, 'a'), std::string(63, 'a')), "sha256"},
      {changed(std::string(64, 'a'), std::string(64, 'A')), "sha256"},
      {changed("\"start\":\"20000000\"", "\"start\":\"2000000g\""), "\"image\""},
      {changed("\"blocks\":16}", "\"blocks\":16,\"crc\":1}"), "\"image\" has a member no schema"},
      {changed(",\"bytes\":4000", ""), "\"image\" has no member \"bytes\""},
      {changed("\"table_refused\":2", "\"table_refused\":-2"), "\"counts\""},
      {changed(",\"table_refused\":2", ""), "\"counts\" has no member \"table_refused\""},
      {changed("[100,101]", "[101,100]"), "\"failed_blocks\""},
      {changed("[100,101]", "[100,4096]"), "\"failed_blocks\""},
      {changed("[100,101]", "[100,101,102]"), "\"failed_blocks\""},
      {changed(",\"failed_blocks\":[[9,9],[100,101]]", ""), "no member \"failed_blocks\""},
      {changed("\"log\":", "\"log\":null,\"log\":"), "\"log\" twice"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(line_reads_as(c.line, &why), "not a record") << c.line;
    EXPECT_NE(why.find(c.says), std::string::npos) << c.line << "\n  says: " << why;
  }
}

TEST(RecordLine, RecordsOfFlashprep10ReadWithTheirMembersOnly) {
  const std::string v1 =
      "{\"board\":\"1-1.2\",\"start\":\"2026-12-08T06:00:00.000Z\",\"end\":"
      "\"2026-12-08T06:00:12.002Z\",\"seconds\":12,\"verdict\":\"READY\",\"reasons\":[],\"log\":"
      "\"station-logs/1-1.2.log\",\"version\":\"1.0.0\"}";
  EXPECT_EQ(line_reads_as(v1), "");
  std::string why;
  EXPECT_EQ(line_reads_as(v1.substr(0, v1.size() - 1) + ",\"station\":\"a\"}", &why),
            "not a record");
  EXPECT_EQ(why, "no member \"schema\"");
}

// Damage anywhere in a file, and lines longer than any record, across the
// pieces of a few MB a file is read in: every record around them is read,
// every damaged line named at its number, in order.
TEST(RecordLine, DamagedLinesAreSkippedAndReadingGoesOn) {
  ScratchDir dir;
  const std::string line = record_text(sample_record()) + "\n";
  std::string many;
  for (int i = 0; i < 10000; ++i)
    many += line;
  const std::string text = line + "\n" + "garbage\n" + many + std::string(3 << 20, 'x') + "\n" +
                           line + std::string(2 << 20, '\0') + "\n" + line + line.substr(0, 40) +
                           std::string(512, '\0');
  ASSERT_TRUE(dir.write("r.jsonl", text));
  const Read r = read_file(dir.file("r.jsonl"));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.records.size(), 10003u);
  EXPECT_EQ(r.lines.front(), 1u);
  EXPECT_EQ(r.lines[1], 4u);
  EXPECT_EQ(r.lines[10001], 10005u);
  EXPECT_EQ(r.lines.back(), 10007u);
  std::vector<std::string> named;
  for (const SkippedLine& s : r.notes.skipped)
    named.push_back(std::to_string(s.line) + " " + damage_name(s.damage) + " " +
                    s.damage.why.substr(0, s.damage.why.find(':')));
  EXPECT_EQ(named, (std::vector<std::string>{"2 blank ", "3 not a record not JSON",
                                             "10004 not a record longer than 1 MiB",
                                             "10006 NUL bytes ", "10008 NUL bytes "}))
      << ::testing::PrintToString(named);
  EXPECT_EQ(r.notes.skipped_count, 5u);
  EXPECT_EQ(r.notes.records_per_file, (std::vector<uint64_t>{10003}));
}

TEST(RecordLine, AFileThatCannotBeReadStopsTheReading) {
  ScratchDir dir;
  ASSERT_TRUE(dir.write("a.jsonl", record_text(sample_record()) + "\n"));
  Read r;
  size_t taken = 0;
  r.ok = read_results(
      {dir.file("a.jsonl"), dir.file("missing.jsonl")}, [&](const ResultRecord&) { ++taken; },
      &r.notes, &r.error);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(taken, 1u);
  EXPECT_EQ(r.error.rfind(dir.file("missing.jsonl") + ": cannot read: ", 0), 0u) << r.error;
}

}  // namespace
