// A watching station meets a board whose device node it may not write yet,
// as at boot when it looks before udev has given the node to plugdev: the
// board waits, said once, and is prepared once the node is given. The
// nodes are files of a folder of the test's own, where USB_DEVFS_PATH
// points libusb and the station alike; the station runs as an unprivileged
// user.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "e2e/process.h"
#include "e2e/station_fixture.h"
#include "e2e/text_files.h"

namespace {

class BoardNode : public Station {
 protected:
  // Board `name`'s node, writable by everyone or by its owner (root) alone.
  void node(const std::string& name, bool writable) {
    const fs::path path = dir / "nodes" / "sim" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path).close();
    fs::permissions(path, writable ? fs::perms::owner_read | fs::perms::owner_write |
                                         fs::perms::group_read | fs::perms::group_write |
                                         fs::perms::others_read | fs::perms::others_write
                                   : fs::perms::owner_read | fs::perms::owner_write |
                                         fs::perms::group_read | fs::perms::others_read);
  }
};

TEST_F(BoardNode, ABoardWhoseNodeIsNotWritableYetWaitsAndIsPreparedOnceItIs) {
  if (geteuid() != 0)
    GTEST_SKIP() << "changing to another user needs root";
  // The station's user writes its logs and records here, and the boards'
  // processes their states.
  fs::permissions(dir, fs::perms::all);
  node("a", false);
  node("b", true);
  plug("boards", "a", "");
  fs::permissions(dir / "boards", fs::perms::all);
  Env env = folder("boards");
  env["USB_DEVFS_PATH"] = (dir / "nodes").string();
  RunningProcess w(station_as_nobody({"--watch", "--results", "results.jsonl"}, &env), dir.string(),
                   env);
  ASSERT_TRUE(w.wait_for("NOT STARTED sim-a: ", 30)) << w.out();
  EXPECT_NE(w.out().find("nodes/sim/a cannot be opened for writing yet: Permission denied"),
            std::string::npos)
      << w.out();
  // A board plugged in meanwhile is prepared: its whole run spans many
  // looks at the bus, each of which passes a over.
  plug("boards", "b", "");
  ASSERT_TRUE(w.wait_for("FINISHED sim-b ", 60)) << w.out();
  EXPECT_EQ(w.out().find("STARTED sim-a "), std::string::npos) << w.out();

  node("a", true);
  ASSERT_TRUE(w.wait_for("FINISHED sim-a ", 60)) << w.out();
  w.signal(SIGTERM);
  const ProcessResult r = w.finish();
  EXPECT_EQ(count_of(r.out, "NOT STARTED sim-a: "), 1u) << "said once: " << r.out;
  EXPECT_EQ(count_of(r.out, "FOUND sim-a\n"), 1u) << r.out;
  EXPECT_NE(r.out.find("DONE 2 READY, 0 NOT READY"), std::string::npos) << r.out;
  EXPECT_TRUE(same_lines(log("sim-a"), full_run()));
  const std::vector<nlohmann::json> recs = records("results.jsonl");
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[1].value("board", ""), "sim-a");
  EXPECT_EQ(recs[1].value("verdict", ""), "READY");
}

}  // namespace
