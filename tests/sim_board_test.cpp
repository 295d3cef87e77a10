// The simulated board's own behaviour: what the tests and the demo rely on
// when they read its state back.
#include "sim/board.h"

#include <chrono>

#include "sim/scenario.h"
#include "sim/scenario_names.h"
#include "test_support.h"
#include "usb/usb_bootloader.h"

namespace {

using sim::Board;
using sim::BoardConfig;

// Sends one framed request straight to the board.
int send(Board& b, const Bytes& body) {
  Bytes h = header(static_cast<uint16_t>(body.size()));
  b.bulk_out(h.data(), 2);
  return b.bulk_out(body.data(), static_cast<int>(body.size()));
}

Bytes take(Board& b, int size) {
  Bytes out(static_cast<size_t>(size));
  int n = b.bulk_in(out.data(), size);
  if (n < 0)
    return {};
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(SimBoard, DriverAnswersOnlyOnceItWasLoaded) {
  Board b;
  EXPECT_EQ(send(b, {0x02, 0x02, 0x00, 0x05}), 4);
  EXPECT_FALSE(b.reply_pending()) << "no driver yet: silence";
  EXPECT_EQ(b.bulk_in(nullptr, 2), sim::kErrTimeout);
  Bytes block = {0x01, 0x00};
  block.resize(258, 0xAA);
  EXPECT_EQ(send(b, block), 258);
  EXPECT_EQ(b.ram()[0], 0xAA);
  EXPECT_EQ(send(b, {0x02, 0x02, 0x00, 0x05}), 4);
  EXPECT_EQ(take(b, 2), Bytes({0x01, 0x01}));
  Bytes reply = take(b, 257);
  ASSERT_EQ(reply.size(), 257u);
  EXPECT_EQ(Bytes(reply.begin() + 1, reply.end()), Bytes(b.flash_block(5), b.flash_block(5) + 256));
  EXPECT_EQ(send(b, {0x03}), 1);
  EXPECT_FALSE(b.reply_pending()) << "command 3 sends nothing";
}

TEST(SimBoard, ReadsSmallerThanThePendingTransferOverflow) {
  Board b;
  send(b, {0x00});
  EXPECT_EQ(b.bulk_in(nullptr, 1), sim::kErrOverflow);
  Bytes body = take(b, 64);
  EXPECT_EQ(body[0], 'B');
}

TEST(SimBoard, WeakCellsAreDeterministicPerSeed) {
  uint8_t a[256];
  uint8_t c[256];
  int weak_blocks = 0;
  for (int block = 0; block < 4096; ++block) {
    Board::weak_mask(7, block, a);
    Board::weak_mask(7, block, c);
    ASSERT_EQ(Bytes(a, a + 256), Bytes(c, c + 256));
    weak_blocks += Bytes(a, a + 256) != Bytes(256, 0xFF);
    Board::weak_mask(0, block, a);
    ASSERT_EQ(Bytes(a, a + 256), Bytes(256, 0xFF)) << "seed 0 has no weak cells";
  }
  EXPECT_GT(weak_blocks, 300);
  EXPECT_LT(weak_blocks, 800);
}

TEST(SimBoard, IdentifyVariants) {
  BoardConfig once;
  once.bootloader = BoardConfig::Bootloader::silent_once;
  Board b(once);
  send(b, {0x00});
  EXPECT_FALSE(b.reply_pending());
  send(b, {0x00});
  EXPECT_EQ(take(b, 2), Bytes({0x00, 0x09}));
  BoardConfig empty;
  empty.bootloader = BoardConfig::Bootloader::empty;
  Board e(empty);
  send(e, {0x00});
  EXPECT_EQ(take(e, 2), Bytes({0x00, 0x00}));
  EXPECT_EQ(e.bulk_in(nullptr, 0), 0) << "a zero-length body transfer";
}

TEST(SimBoard, ErasedBlocksReadAsFFAndStoredOnesKeepTheirBytes) {
  Board b;
  Bytes data(256);
  for (int i = 0; i < 256; ++i)
    data[i] = static_cast<uint8_t>(i);
  b.set_flash_block(9, data.data());
  EXPECT_EQ(Bytes(b.flash_block(9), b.flash_block(9) + 256), data);
  Bytes erased(256, 0xFF);
  b.set_flash_block(9, erased.data());
  EXPECT_EQ(Bytes(b.flash_block(9), b.flash_block(9) + 256), erased);
  EXPECT_EQ(Bytes(b.flash_block(4095), b.flash_block(4095) + 256), erased);
}

using SimBus = SimTest;

// A session leaves a format reply unread (the request went out, the process
// ended): the next session on the same board reads it in place of its own
// reply, once the format time is over, unless the board drops it when the
// host selects a configuration.
TEST_F(SimBus, AnUnreadFormatReplyWaitsForTheNextSessionUnlessDroppedOnConfiguration) {
  using Clock = std::chrono::steady_clock;
  for (bool drop : {false, true}) {
    sim::BoardConfig config;
    config.format_delay_ms = 100;
    config.drop_reply_on_configuration = drop;
    usb().reset(config);
    Clock::time_point asked;
    {
      UsbBootloader first;
      ASSERT_TRUE(first.start());
      const Bytes block(256, 0xAA);
      ASSERT_TRUE(first.load_block(0, block.data()));
      const uint8_t format5[] = {0x02, 0x00, 0x05};
      asked = Clock::now();
      ASSERT_TRUE(first.driver_transaction(format5, 3, nullptr, 0));
      EXPECT_EQ(board().bulk_in(nullptr, 2), sim::kErrTimeout) << "still formatting";
      EXPECT_GT(board().reply_wait_ms(), 0);
    }
    UsbBootloader second;
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.identify(), drop) << (drop ? "dropped" : "kept");
    if (!drop) {
      EXPECT_EQ(second.last_reply_length(), 257) << "the format reply";
      EXPECT_GE(Clock::now() - asked, std::chrono::milliseconds(100)) << "read before its time";
      EXPECT_TRUE(board().reply_pending()) << "identify's own reply is left for the next read";
    }
  }
}

// A time-out reported at once moves the board's clock on by its length;
// a format asked for while another is under way starts when that one ends.
TEST(SimBoard, QuickTimeOutsMoveTheClockAndFormatsComeOneAfterTheOther) {
  BoardConfig slow;
  slow.format_delay_ms = 60000;
  Board b(slow);
  Bytes block = {0x01, 0x00};
  block.resize(258, 0xAA);
  send(b, block);
  send(b, {0x02, 0x02, 0x00, 0x05});
  send(b, {0x02, 0x02, 0x00, 0x06});
  EXPECT_GT(b.reply_wait_ms(), 59000);
  b.pass_time(60000);
  EXPECT_EQ(take(b, 2), Bytes({0x01, 0x01}));
  EXPECT_EQ(take(b, 257).size(), 257u);
  EXPECT_EQ(b.bulk_in(nullptr, 2), sim::kErrTimeout) << "block 6 formats after block 5";
  EXPECT_GT(b.reply_wait_ms(), 59000);
}

TEST(SimScenario, BlockListsAndBadSettings) {
  std::set<int> s;
  EXPECT_TRUE(sim::parse_block_list("3,5-7,2600", &s));
  EXPECT_EQ(s, (std::set<int>{3, 5, 6, 7, 2600}));
  EXPECT_TRUE(sim::parse_block_list("4095", &s));
  for (const char* bad : {"", "7-5", "x", "1,,2", "-3", "4096", "4000-4096"}) {
    std::set<int> t;
    EXPECT_FALSE(sim::parse_block_list(bad, &t)) << bad;
  }
  sim::SimUsb usb;
  sim::ScenarioFiles files;
  std::string error;
  auto env = [](std::map<std::string, std::string> vars) {
    return [vars](const char* name) -> const char* {
      auto it = vars.find(name);
      return it == vars.end() ? nullptr : it->second.c_str();
    };
  };
  EXPECT_FALSE(sim::configure_from_environment(usb, env({{"FLASHPREP_SIM_BOARD", "three"}}), &files,
                                               &error));
  EXPECT_NE(error.find("FLASHPREP_SIM_BOARD"), std::string::npos);
  EXPECT_FALSE(sim::configure_from_environment(usb, env({{"FLASHPREP_SIM_FAULT", "error@0"}}),
                                               &files, &error));
  EXPECT_FALSE(sim::configure_from_environment(usb, env({{"FLASHPREP_SIM_FORMAT_DELAY_MS", "-5"}}),
                                               &files, &error));
  EXPECT_FALSE(sim::configure_from_environment(
      usb, env({{"FLASHPREP_SIM_PENDING_REPLY", "forget"}}), &files, &error));
  EXPECT_NE(error.find("FLASHPREP_SIM_PENDING_REPLY"), std::string::npos);
  for (const char* flag : {"FLASHPREP_SIM_REFUSE_INIT", "FLASHPREP_SIM_REAL_TIMEOUTS"}) {
    EXPECT_FALSE(sim::configure_from_environment(usb, env({{flag, "yes"}}), &files, &error));
    ASSERT_TRUE(sim::configure_from_environment(usb, env({{flag, "1"}}), &files, &error));
  }
  EXPECT_TRUE(usb.real_timeouts);
  EXPECT_TRUE(sim::check_scenario_names(
      {"FLASHPREP_SIM_BOARD", "FLASHPREP_SIM_HELP", "FLASHPREP_SIM_LIBRARY"}, &error));
  EXPECT_FALSE(
      sim::check_scenario_names({"FLASHPREP_SIM_STATE", "FLASHPREP_SIM_REFUSE_INT"}, &error));
  EXPECT_NE(error.find("FLASHPREP_SIM_REFUSE_INT (did you mean FLASHPREP_SIM_REFUSE_INIT?"),
            std::string::npos)
      << error;
  EXPECT_TRUE(sim::configure_from_environment(
      usb, env({{"FLASHPREP_SIM_BOARD", "two"}, {"FLASHPREP_SIM_FAULT", "short@4,unplug@9"}}),
      &files, &error));
  EXPECT_EQ(usb.board_count(), 2);

  // Numbers have the same range on every system, though a long has 32 bits
  // on Windows: every 32-bit seed, and transfer numbers beyond any run.
  ASSERT_TRUE(sim::configure_from_environment(
      usb,
      env({{"FLASHPREP_SIM_WEAK_SEED", "4294967295"}, {"FLASHPREP_SIM_FAULT", "error@4294967296"}}),
      &files, &error))
      << error;
  EXPECT_EQ(usb.board().config().weak_seed, 0xFFFFFFFFu);
  EXPECT_FALSE(sim::configure_from_environment(
      usb, env({{"FLASHPREP_SIM_WEAK_SEED", "4294967296"}}), &files, &error));
}

}  // namespace
