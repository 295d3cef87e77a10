#include "station/plugs.h"

#include <cstdlib>
#include <map>
#include <utility>

#include "board/board_facts.h"
#include "station/host.h"
#include "usb/usb_bootloader.h"

std::string safe_file_name(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    if (!plain)
      c = '_';
  }
  if (!out.empty() && out[0] == '.')
    out[0] = '_';
  return out;
}

int node_number(const std::string& name) {
  const bool digits = !name.empty() && name.size() <= 3 &&
                      name.find_first_not_of("0123456789") == std::string::npos;
  return digits ? std::stoi(name) : 0;
}

bool board_held_elsewhere(const UsbPlace& place) {
  UsbBootloader board(place);
  return !board.start() && board.busy();  // closed again as it goes
}

std::vector<Plug> plugs_now(std::vector<BusUse>* buses) {
  std::vector<Plug> plugs;
  std::map<std::pair<int, int>, std::string> ports;
  bool ports_read = false;
  for (const UsbPlace& place : boards_on_bus(buses)) {
    Plug plug;
    plug.place = place;
    // Linux's libusb names buses by number ("001"); other names are no
    // port the system knows, and strtol then gives 0.
    const int bus_number = static_cast<int>(std::strtol(place.bus.c_str(), nullptr, 10));
    // libusb 0.1 asks Linux for a device's number through its node, which
    // it can only open read-only while udev has not given it to a group of
    // ours (at boot, as the initramfs left it): the number is then 0, and
    // stays 0 in libusb's list for as long as the board is plugged. The
    // node is named by that number.
    if (bus_number > 0 && plug.place.devnum == 0)
      plug.place.devnum = node_number(place.device);
    if (bus_number > 0 && !ports_read) {
      ports = board_ports(usb_ids::kVendor, usb_ids::kProduct);
      ports_read = true;
    }
    // The system numbers its buses from 1: no port is found for bus 0.
    const auto port = ports.find({bus_number, plug.place.devnum});
    if (port != ports.end())
      plug.port = port->second;
    plug.serial = port_serial(plug.port);
    plug.name = safe_file_name(plug.port.empty() ? place.bus + "-" + place.device : plug.port);
    plugs.push_back(plug);
  }
  return plugs;
}
