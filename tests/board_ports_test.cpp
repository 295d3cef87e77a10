// The boards' port names as Linux's sysfs gives them, read from a made-up
// tree of device folders: a board's port is the folder whose vendor and
// product are the board's, under its bus and device numbers; interfaces,
// root hubs, other devices and folders the system has half written name
// none.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "station/host.h"
#include "test_support.h"

namespace {

void device(const std::filesystem::path& devices, const std::string& name,
            const std::map<std::string, std::string>& files) {
  std::filesystem::create_directories(devices / name);
  for (const auto& [file, text] : files)
    std::ofstream(devices / name / file) << text << "\n";
}

std::map<std::string, std::string> usb(const char* bus, const char* devnum, const char* vendor,
                                       const char* product) {
  return {{"busnum", bus}, {"devnum", devnum}, {"idVendor", vendor}, {"idProduct", product}};
}

TEST(BoardPorts, EachBoardByItsBusAndDeviceNumbers) {
  ScratchDir dir;
  const std::filesystem::path devices = dir.file("devices");
  device(devices, "1-1.3", usb("1", "7", "15a2", "0040"));
  device(devices, "1-1.3.7.2", usb("1", "12", "15a2", "0040"));
  device(devices, "10-4", usb("10", "3", "15a2", "0040"));      // a machine of many buses
  device(devices, "1-1.3:1.0", usb("1", "7", "15a2", "0040"));  // an interface
  device(devices, "usb1", usb("1", "1", "1d6b", "0002"));       // a root hub
  device(devices, "1-1", usb("1", "2", "0409", "55aa"));        // a hub
  device(devices, "1-1.4", usb("1", "9", "15a2", "0041"));      // another product
  device(devices, "1-1.5", {{"idVendor", "15a2"}, {"idProduct", "0040"}});  // half there
  const std::map<std::pair<int, int>, std::string> ports =
      board_ports(0x15A2, 0x0040, devices.string() + "/");
  EXPECT_EQ(ports, (std::map<std::pair<int, int>, std::string>{
                       {{1, 7}, "1-1.3"}, {{1, 12}, "1-1.3.7.2"}, {{10, 3}, "10-4"}}));
  EXPECT_TRUE(board_ports(0x15A2, 0x0040, dir.file("none") + "/").empty());
}

}  // namespace
