// The shift report's table of distinct strings (summary/string_table.h): a
// year of records holds a million serials of one length, which collide in
// its open addressing; each must keep a number of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "summary/string_table.h"

namespace {

std::string serial(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "FP26%07d", n);
  return text;
}

TEST(StringTable, EveryStringKeepsItsNumberThroughGrowth) {
  StringTable table;
  EXPECT_EQ(table.find("FP260000000"), StringTable::kNone);
  constexpr int kStrings = 200000;
  for (int n = 0; n < kStrings; ++n)
    ASSERT_EQ(table.add(serial(n)), static_cast<uint32_t>(n)) << serial(n);
  EXPECT_EQ(table.size(), static_cast<uint32_t>(kStrings));
  for (int n = 0; n < kStrings; n += 7) {
    ASSERT_EQ(table.add(serial(n)), static_cast<uint32_t>(n)) << "added again";
    ASSERT_EQ(table.find(serial(n)), static_cast<uint32_t>(n));
    ASSERT_EQ(table.text(static_cast<uint32_t>(n)), serial(n));
  }
  EXPECT_EQ(table.size(), static_cast<uint32_t>(kStrings));
  EXPECT_EQ(table.find("FP26" + std::to_string(kStrings + 1000000)), StringTable::kNone);
  // The empty string and a string that starts another are strings too.
  const uint32_t empty = table.add("");
  const uint32_t fp = table.add("FP26");
  EXPECT_EQ(table.text(empty), "");
  EXPECT_EQ(table.text(fp), "FP26");
  EXPECT_NE(empty, fp);
  EXPECT_EQ(table.find(""), empty);
}

}  // namespace
