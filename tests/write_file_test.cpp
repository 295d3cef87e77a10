#include "util/write_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The bytes land as given (no CR added before LF on Windows, a NUL kept), and
// a longer file there before is replaced, not overwritten in part.
TEST(WriteFile, WritesTheBytesAsGivenOverAnyFileThere) {
  const ScratchDir dir;
  const std::string path = dir.file("out.bin");
  const std::string before(100, 'x');
  ASSERT_TRUE(write_file(path, before));
  EXPECT_EQ(bytes_of(path), before);
  const std::string bytes("S9030000FC\r\nA\nB\0C", 18);
  ASSERT_TRUE(write_file(path, bytes));
  EXPECT_EQ(bytes_of(path), bytes);
  ASSERT_TRUE(write_file(path, ""));
  EXPECT_EQ(bytes_of(path), "");
}

TEST(WriteFile, FalseWhereNoFileCanBeMade) {
  const ScratchDir dir;
  EXPECT_FALSE(write_file(dir.file("no-such-folder/out.bin"), "x"));
  EXPECT_FALSE(write_file(dir.path(), "x")) << "a folder is no file";
}

}  // namespace
