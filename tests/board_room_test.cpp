// The room for boards as each system counts it (the same cases on Linux and,
// under Wine, on Windows, where the limit is the C runtime's streams and no
// prlimit exists): room said is room there, and what the system cannot give
// is refused with its limit named.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "station/board_room.h"

namespace {

// Room for 600 boards, more than a Windows program may open streams by
// default (512): the station then holds a log open for every one of them,
// with its spare files besides.
TEST(BoardRoom, RoomSaidIsRoomThere) {
  constexpr int kBoards = 600;
  std::string why;
  ASSERT_EQ(room_for_boards(kBoards, 0, &why), kBoards) << why;
  const std::filesystem::path log = std::filesystem::temp_directory_path() / "board-room-test.log";
  std::ofstream(log) << "BLOCK 0 FORMATTED\n";
  std::vector<std::unique_ptr<std::ifstream>> open;
  for (int i = 0; i < kBoards + kSpareFiles; ++i) {
    open.push_back(std::make_unique<std::ifstream>(log));
    ASSERT_TRUE(open.back()->is_open()) << "the log of board " << i + 1;
  }
  open.clear();
  std::filesystem::remove(log);
  EXPECT_EQ(room_for_boards(0, kBoards, &why), 0) << "none wanted, none given";
}

TEST(BoardRoom, FarMoreThanTheSystemHoldsIsRefusedWithItsLimit) {
  constexpr int kBoards = 100000000;
  std::string why;
  const int room = room_for_boards(kBoards, 20, &why);
  EXPECT_GE(room, 0);
  EXPECT_LT(room, kBoards);
  EXPECT_EQ(why.rfind("100000020 boards at once need ", 0), 0U) << why;
#ifdef _WIN32
  EXPECT_NE(why.find(" C runtime streams; the runtime allows this station "), std::string::npos)
      << why;
#else
  EXPECT_NE(why.find(" open files; the system allows this station "), std::string::npos) << why;
  EXPECT_NE(why.find("(RLIMIT_NOFILE)"), std::string::npos) << why;
#endif
}

}  // namespace
