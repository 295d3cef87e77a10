// The results file as the station keeps it: a record whose sync fails is
// never written twice, and is on the disk once a later sync succeeds; a
// file ended mid-line by a power cut gets its records on lines of their
// own; one station at a time.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "station/file_handle.h"
#include "station/folder_lock.h"
#include "station/records.h"
#include "test_support.h"

namespace {

std::string text_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ResultsFileTest : public ::testing::Test {
 protected:
  void TearDown() override { fail_next_syncs_for_test(0); }
  ScratchDir dir;
};

TEST_F(ResultsFileTest, ASyncThatFailsOnceIsTriedAgainAndTheRecordIsWrittenOnce) {
  Records records;
  std::string why;
  ASSERT_TRUE(records.open(dir.file("r.jsonl"), &why)) << why;
  fail_next_syncs_for_test(1);
  EXPECT_TRUE(records.add("{\"board\":\"a\"}"));
  EXPECT_FALSE(records.waiting());
  EXPECT_EQ(records.problem(), "");
  EXPECT_EQ(text_of(dir.file("r.jsonl")), "{\"board\":\"a\"}\n");
}

TEST_F(ResultsFileTest, ARecordWhoseSyncFailsWaitsWrittenAndIsNeverWrittenAgain) {
  Records records;
  std::string why;
  ASSERT_TRUE(records.open(dir.file("r.jsonl"), &why)) << why;
  fail_next_syncs_for_test(2);
  EXPECT_FALSE(records.add("{\"board\":\"a\"}"));
  EXPECT_TRUE(records.waiting());
  EXPECT_EQ(records.waiting_count(), 1u);
  EXPECT_EQ(records.problem().rfind("cannot flush " + dir.file("r.jsonl") + ": ", 0), 0u)
      << records.problem();
  EXPECT_TRUE(records.waiting_records().empty());
  ASSERT_EQ(records.unsynced_records().size(), 1u);
  // Tries again fail and succeed without a second copy of the line.
  fail_next_syncs_for_test(2);
  EXPECT_FALSE(records.retry(/*at_once=*/true));
  EXPECT_TRUE(records.retry(/*at_once=*/true));
  EXPECT_FALSE(records.waiting());
  EXPECT_EQ(records.problem(), "");
  EXPECT_TRUE(records.add("{\"board\":\"b\"}"));
  EXPECT_EQ(text_of(dir.file("r.jsonl")), "{\"board\":\"a\"}\n{\"board\":\"b\"}\n");
  // A record added while another's sync is owed waits with it, and one sync
  // puts both on the disk.
  fail_next_syncs_for_test(2);
  EXPECT_FALSE(records.add("{\"board\":\"c\"}"));
  fail_next_syncs_for_test(2);
  EXPECT_FALSE(records.add("{\"board\":\"d\"}"));
  EXPECT_EQ(records.waiting_count(), 2u);
  EXPECT_TRUE(records.retry(/*at_once=*/true));
  EXPECT_EQ(text_of(dir.file("r.jsonl")),
            "{\"board\":\"a\"}\n{\"board\":\"b\"}\n{\"board\":\"c\"}\n{\"board\":\"d\"}\n");
}

// A power cut leaves the file's end mid-line, or NUL bytes there: the next
// record starts a line of its own.
TEST_F(ResultsFileTest, AFileEndedMidLineGetsItsNextRecordOnALineOfItsOwn) {
  for (const std::string& end : {std::string("{\"board\":\"x\",\"st"), std::string(8, '\0')}) {
    ASSERT_TRUE(dir.write("r.jsonl", "{\"board\":\"w\"}\n" + end));
    Records records;
    std::string why;
    ASSERT_TRUE(records.open(dir.file("r.jsonl"), &why)) << why;
    EXPECT_TRUE(records.add("{\"board\":\"a\"}"));
    EXPECT_EQ(text_of(dir.file("r.jsonl")), "{\"board\":\"w\"}\n" + end + "\n{\"board\":\"a\"}\n");
  }
}

// (A file removed while a station holds it is made again: the end-to-end
// tests remove it under a watching station on Linux. Windows keeps a file
// removed while open until it is closed.)
TEST_F(ResultsFileTest, OneStationAtATime) {
  Records first;
  Records second;
  std::string why;
  ASSERT_TRUE(first.open(dir.file("r.jsonl"), &why)) << why;
  EXPECT_FALSE(second.open(dir.file("r.jsonl"), &why));
  EXPECT_NE(why.find(dir.file("r.jsonl") + " is held by "), std::string::npos) << why;
  EXPECT_TRUE(first.add("{\"board\":\"a\"}"));
  EXPECT_EQ(text_of(dir.file("r.jsonl")), "{\"board\":\"a\"}\n");
}

// The lock file's entry is on the disk before the folder counts as claimed.
TEST_F(ResultsFileTest, AClaimOnAFolderSyncsIt) {
  FolderLock lock;
  std::string why;
  fail_next_syncs_for_test(1);
  EXPECT_FALSE(lock.claim(dir.path(), &why));
  EXPECT_EQ(why.rfind("cannot flush " + dir.path() + ": ", 0), 0u) << why;
  EXPECT_FALSE(lock.holds());
  ASSERT_TRUE(lock.claim(dir.path(), &why)) << why;
  EXPECT_TRUE(lock.holds());
}

}  // namespace
