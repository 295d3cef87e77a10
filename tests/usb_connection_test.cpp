// Finding, opening, configuring and closing the board.
#include "usb/usb_bootloader.h"

#include "usb/board_bus.h"

#include "test_support.h"

namespace {

using Connection = SimTest;

std::vector<std::string> call_names() {
  std::vector<std::string> names;
  for (const sim::CallRecord& c : sim::world().calls())
    names.push_back(c.name);
  return names;
}

TEST_F(Connection, StartOpensConfiguresAndClaimsInOrder) {
  {
    UsbBootloader bootloader;
    ASSERT_TRUE(bootloader.start());
    EXPECT_EQ(call_names(), (std::vector<std::string>{
                                "usb_init", "usb_find_busses", "usb_find_devices", "usb_get_busses",
                                "usb_open", "usb_set_configuration", "usb_claim_interface"}));
    EXPECT_EQ(usb().calls_named("usb_set_configuration")[0].arg, 1);
    EXPECT_EQ(usb().calls_named("usb_claim_interface")[0].arg, 0);
  }
  // The destructor releases interface 0 and closes, once.
  EXPECT_EQ(usb().count("usb_release_interface"), 1);
  EXPECT_EQ(usb().calls_named("usb_release_interface")[0].arg, 0);
  EXPECT_EQ(usb().count("usb_close"), 1);
  EXPECT_EQ(usb().open_handles(), 0);
  EXPECT_EQ(call_names().back(), "usb_close");
}

TEST_F(Connection, WalksBusesThenDevicesAndOpensOnlyTheFirstMatch) {
  usb().clear_devices();
  const int second = usb().add_board(sim::BoardConfig());
  usb().add_device(3, 0x15A2, 0x0041, -1);  // right vendor, wrong product
  usb().add_device(3, 0x15A3, 0x0040, -1);  // wrong vendor, right product
  usb().add_device(5, 0x1234, 0x5678, -1);
  usb().add_device(5, 0x15A2, 0x0040, second);  // first match in walk order
  usb().add_device(3, 0x0001, 0x0002, -1);      // bus 3 again, after the others
  usb().add_device(7, 0x15A2, 0x0040, 0);       // a second board, never opened
  {
    UsbBootloader bootloader;
    ASSERT_TRUE(bootloader.start());
    auto opens = usb().calls_named("usb_open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].device, 3) << "the device entry of the board on bus 5";
  }
  EXPECT_EQ(usb().count("usb_close"), 1);
}

// The station's look at the buses: the boards, and how many devices each
// bus lists, hubs and all, so that a bus out of addresses can be told.
TEST_F(Connection, ALookCountsEveryBussDevices) {
  usb().clear_devices();
  usb().add_device(1, 0x1d6b, 0x0002, -1);  // a root hub
  for (int i = 0; i < 124; ++i)
    usb().add_device(1, 0x0409, 0x55aa, -1);  // hubs and the like
  usb().add_device(1, 0x15A2, 0x0040, 0);
  usb().add_device(2, 0x15A2, 0x0040, usb().add_board(sim::BoardConfig()));
  usb().add_device(1, 0x15A2, 0x0041, -1);
  std::vector<BusUse> buses;
  const std::vector<UsbPlace> boards = boards_on_bus(&buses);
  ASSERT_EQ(boards.size(), 2u);
  EXPECT_EQ(boards[0].bus, "001");
  EXPECT_EQ(boards[1].bus, "002");
  ASSERT_EQ(buses.size(), 2u);
  EXPECT_EQ(buses[0].bus, "001");
  EXPECT_EQ(buses[0].devices, 127);
  EXPECT_TRUE(buses[0].full());
  EXPECT_EQ(buses[1].devices, 1);
  EXPECT_FALSE(buses[1].full());
  usb().add_device(2, 0x0409, 0x55aa, -1);
  boards_on_bus(&buses);
  EXPECT_EQ(buses[1].devices, 2) << "counted afresh at each look";
  usb().clear_devices();
  usb().add_device(1, 0x1d6b, 0x0002, -1);
  for (int i = 0; i < 125; ++i)
    usb().add_device(1, 0x0409, 0x55aa, -1);
  boards_on_bus(&buses);
  EXPECT_EQ(buses[0].devices, 126);
  EXPECT_FALSE(buses[0].full()) << "one address left";
}

// The station's processes each hold to one board: only a board at the
// place given is opened, whatever comes first in the walk.
TEST_F(Connection, APlaceOpensOnlyTheBoardThere) {
  usb().clear_devices();
  const int second = usb().add_board(sim::BoardConfig());
  usb().add_device(3, 0x15A2, 0x0041, -1);      // 003/002: wrong product
  usb().add_device(5, 0x1234, 0x5678, -1);      // 005/002: not a board
  usb().add_device(5, 0x15A2, 0x0040, second);  // 005/003
  usb().add_device(7, 0x15A2, 0x0040, 0);       // 007/002
  const struct {
    UsbPlace place;
    int entry;  // device entry opened, -1: none
  } cases[] = {
      {{"007", "002"}, 3},  {{"005", "003"}, 2},  {{"005", "002"}, -1},
      {{"003", "002"}, -1}, {{"007", "003"}, -1}, {{"", ""}, 2},
  };
  for (const auto& c : cases) {
    const size_t before = usb().calls_named("usb_open").size();
    {
      UsbBootloader bootloader(c.place);
      EXPECT_EQ(bootloader.start(), c.entry >= 0) << c.place.bus << "/" << c.place.device;
      const auto opens = usb().calls_named("usb_open");
      ASSERT_EQ(opens.size(), before + (c.entry >= 0 ? 1 : 0))
          << c.place.bus << "/" << c.place.device;
      if (c.entry >= 0) {
        EXPECT_EQ(opens.back().device, c.entry);
      }
    }
    EXPECT_EQ(usb().open_handles(), 0);
  }
}

TEST_F(Connection, NoMatchingDeviceMeansNoOpenAndNoTeardown) {
  struct Case {
    const char* what;
    std::vector<std::pair<uint16_t, uint16_t>> devices;
  } cases[] = {
      {"no device at all", {}},
      {"wrong product", {{0x15A2, 0x0041}}},
      {"wrong vendor", {{0x15A3, 0x0040}}},
      {"ids swapped", {{0x0040, 0x15A2}}},
  };
  for (const Case& c : cases) {
    usb().reset();
    usb().clear_devices();
    for (auto [vid, pid] : c.devices)
      usb().add_device(1, vid, pid, -1);
    {
      UsbBootloader bootloader;
      EXPECT_FALSE(bootloader.start()) << c.what;
    }
    EXPECT_EQ(usb().count("usb_open"), 0) << c.what;
    EXPECT_EQ(usb().count("usb_set_configuration"), 0) << c.what;
    EXPECT_EQ(usb().count("usb_release_interface"), 0) << c.what;
    EXPECT_EQ(usb().count("usb_close"), 0) << c.what;
  }
}

TEST_F(Connection, OpenFailureTriesNoOtherDevice) {
  usb().add_device(2, 0x15A2, 0x0040, usb().add_board(sim::BoardConfig()));
  usb().open_fails = true;
  {
    UsbBootloader bootloader;
    EXPECT_FALSE(bootloader.start());
    EXPECT_FALSE(bootloader.is_open());
  }
  EXPECT_EQ(usb().count("usb_open"), 1);
  EXPECT_EQ(usb().count("usb_set_configuration"), 0);
  EXPECT_EQ(usb().count("usb_close"), 0);
}

TEST_F(Connection, RefusedConfigurationOrClaimStillClosesOnce) {
  for (int refuse = 0; refuse < 2; ++refuse) {
    usb().reset();
    if (refuse == 0)
      usb().set_configuration_result = -32;
    else
      usb().claim_interface_result = -16;
    {
      UsbBootloader bootloader;
      EXPECT_FALSE(bootloader.start());
      EXPECT_TRUE(bootloader.is_open()) << "the device stays open until teardown";
      // A refused configuration means the interface is never claimed.
      EXPECT_EQ(usb().count("usb_claim_interface"), refuse);
    }
    EXPECT_EQ(usb().count("usb_release_interface"), 1);
    EXPECT_EQ(usb().count("usb_close"), 1);
    EXPECT_EQ(usb().open_handles(), 0);
  }
}

TEST_F(Connection, CloseReleaseAndReset) {
  UsbBootloader bootloader;
  ASSERT_TRUE(bootloader.start());
  EXPECT_TRUE(bootloader.release());
  EXPECT_TRUE(bootloader.is_open());
  EXPECT_TRUE(bootloader.reset());
  EXPECT_TRUE(bootloader.is_open());
  EXPECT_EQ(usb().count("usb_reset"), 1);
  EXPECT_TRUE(bootloader.close());
  EXPECT_FALSE(bootloader.is_open());
  EXPECT_TRUE(bootloader.close()) << "closing twice is harmless";
  EXPECT_EQ(usb().count("usb_close"), 1);
  EXPECT_EQ(usb().count("usb_release_interface"), 2);
}

TEST_F(Connection, UnpluggedBoardFailsEveryCallButCloseStillFreesTheHandle) {
  UsbBootloader bootloader;
  ASSERT_TRUE(bootloader.start());
  usb().unplug_after(0);
  EXPECT_FALSE(bootloader.identify());
  for (const sim::CallRecord& c : transfers())
    EXPECT_EQ(c.result, sim::kErrNoDevice);
  bootloader.close();
  EXPECT_EQ(usb().open_handles(), 0);
}

}  // namespace
