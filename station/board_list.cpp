#include "station/board_list.h"

#include <cstdlib>

#include "station/host.h"
#include "usb/libusb_api.h"

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

std::vector<BoardSlot> list_boards() {
  std::vector<BoardSlot> boards;
  usb_init();
  usb_find_busses();
  usb_find_devices();
  for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
    for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next) {
      if (dev->descriptor.idVendor != usb_ids::kVendor ||
          dev->descriptor.idProduct != usb_ids::kProduct)
        continue;
      BoardSlot slot;
      slot.place.bus = bus->dirname;
      slot.place.device = dev->filename;
      slot.devnum = dev->devnum;
      // Linux's libusb names buses by number ("001"); other names are no
      // port the system knows, and strtol then gives 0.
      const int bus_number = static_cast<int>(std::strtol(bus->dirname, nullptr, 10));
      std::string name =
          bus_number > 0 ? port_name(bus_number, dev->devnum, usb_ids::kVendor, usb_ids::kProduct)
                         : std::string();
      if (name.empty())
        name = slot.place.bus + "-" + slot.place.device;
      slot.name = safe_file_name(name);
      boards.push_back(slot);
    }
  }
  return boards;
}
