// Which of the notes a killed station left a station started again takes:
// those of its own results file alone, whatever path names that file, and
// a note cut in its first line as one of its own (nothing was started).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "record_sample.h"
#include "records/record_text.h"
#include "station/file_handle.h"
#include "station/recovery.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.write("r.jsonl", ""));
    ASSERT_TRUE(dir.write("o.jsonl", ""));
  }

  // The identity the system gives the file, from stat(2) here rather than
  // FileHandle's own.
  std::string identity_of(const std::string& name) const {
    struct stat st = {};
    EXPECT_EQ(stat(dir.file(name).c_str(), &st), 0) << name;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }

  // The results file `name` as a station that has it open names it.
  ResultsFileId id_of(const std::string& name) const {
    return results_file_id(dir.file(name), identity_of(name));
  }

  // A note of board `board`'s run, to be recorded in `results`, left as a
  // killed station leaves it: whole, and no longer locked.
  void leave_note(const std::string& board, const ResultsFileId& results) {
    RunRecord r = sample_record();
    r.board = board;
    FileHandle note;
    std::string why;
    bool exists = false;
    ASSERT_TRUE(
        write_run_note(dir.file(board + ".run"), results, record_text(r), &note, &why, &exists))
        << why;
  }

  // The boards whose notes `recovery` recovers now, in the folder's order.
  static std::vector<std::string> recovered(Recovery& recovery) {
    std::vector<std::string> boards;
    recovery.recover([&](const RunRecord& r) {
      boards.push_back(r.board);
      return true;
    });
    return boards;
  }

  ScratchDir dir;
};

TEST_F(RecoveryTest, OnlyTheNotesOfItsOwnResultsFileAreTaken) {
  leave_note("mine", id_of("r.jsonl"));
  leave_note("theirs", id_of("o.jsonl"));
  Recovery recovery;
  std::string why;
  ASSERT_TRUE(recovery.find(dir.path(), id_of("r.jsonl"), &why)) << why;
  ASSERT_EQ(recovery.left_alone().size(), 1u);
  EXPECT_EQ(recovery.left_alone()[0].note, dir.file("theirs.run"));
  EXPECT_EQ(recovery.left_alone()[0].results, fs::canonical(dir.file("o.jsonl")).string());
  EXPECT_TRUE(recovery.waiting());
  EXPECT_EQ(recovered(recovery), std::vector<std::string>{"mine"});
  EXPECT_FALSE(recovery.waiting());
  EXPECT_FALSE(fs::exists(dir.file("mine.run")));
  EXPECT_TRUE(fs::exists(dir.file("theirs.run")));
}

// The same absolute path, or the same identity where the system gives one
// (a hard link): a file put in the old one's place (the device's number
// changed by a reboot) is the same all the same.
TEST_F(RecoveryTest, TheResultsFileIsToldByItsIdentityElseByItsPath) {
  ASSERT_EQ(link(dir.file("r.jsonl").c_str(), dir.file("same.jsonl").c_str()), 0);
  struct Case {
    const char* what;
    ResultsFileId note;  // as the killed station wrote it
    ResultsFileId station;
    bool taken;
  };
  const std::string r = identity_of("r.jsonl");
  const std::vector<Case> cases = {
      {"another name of the same file", results_file_id(dir.file("r.jsonl"), r),
       results_file_id(dir.file("same.jsonl"), r), true},
      {"the same path, another identity", results_file_id(dir.file("r.jsonl"), r),
       results_file_id(dir.file("r.jsonl"), identity_of("o.jsonl")), true},
      {"another path, another identity", results_file_id(dir.file("r.jsonl"), r),
       results_file_id(dir.file("o.jsonl"), identity_of("o.jsonl")), false},
      {"no identity in the note, the same path", results_file_id(dir.file("r.jsonl"), ""),
       results_file_id(dir.file("r.jsonl"), r), true},
      {"no identity in the note, another path", results_file_id(dir.file("r.jsonl"), ""),
       results_file_id(dir.file("same.jsonl"), r), false},
      {"no identity for the station, the same path", results_file_id(dir.file("r.jsonl"), r),
       results_file_id(dir.path() + "/./r.jsonl", ""), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    leave_note("b", c.note);
    Recovery recovery;
    std::string why;
    ASSERT_TRUE(recovery.find(dir.path(), c.station, &why)) << why;
    EXPECT_EQ(recovery.left_alone().size(), c.taken ? 0u : 1u);
    EXPECT_EQ(recovered(recovery),
              c.taken ? std::vector<std::string>{"b"} : std::vector<std::string>{});
    fs::remove(dir.file("b.run"));
  }
}

// A note cut before its first line ended was written by a station that
// started nothing: taken by whichever station finds it, and removed with
// no record.
TEST_F(RecoveryTest, ANoteCutInItsFirstLineIsRemovedUnrecorded) {
  ASSERT_TRUE(dir.write("cut.run", "results " + identity_of("o.jsonl") + " " + dir.file("o.js")));
  Recovery recovery;
  std::string why;
  ASSERT_TRUE(recovery.find(dir.path(), id_of("r.jsonl"), &why)) << why;
  EXPECT_TRUE(recovery.left_alone().empty());
  EXPECT_EQ(recovered(recovery), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(dir.file("cut.run")));
}

}  // namespace
