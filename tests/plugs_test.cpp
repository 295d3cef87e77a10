// A board's device number taken from its node's name, where libusb 0.1 gave
// it none (a node it could only open read-only): the port is found by that
// number, so a wrong one names the board by its bus and device instead.
#include <gtest/gtest.h>

#include "station/plugs.h"

namespace {

TEST(NodeNumber, IsTheNumberANodesNameIsMadeOf) {
  EXPECT_EQ(node_number("005"), 5);
  EXPECT_EQ(node_number("127"), 127);
  EXPECT_EQ(node_number("1"), 1);
}

TEST(NodeNumber, IsZeroForANameThatIsNoNodeNumber) {
  EXPECT_EQ(node_number(""), 0);
  EXPECT_EQ(node_number("sim-a"), 0);
  EXPECT_EQ(node_number("00a"), 0);
  EXPECT_EQ(node_number("0005"), 0);
}

}  // namespace
