#include "usb/board_bus.h"

#include "board/board_facts.h"
#include "usb/libusb_api.h"

void walk_boards(const std::function<bool(const UsbPlace&, struct usb_device*)>& each) {
  usb_init();
  usb_find_busses();
  usb_find_devices();
  for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
    for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next) {
      if (dev->descriptor.idVendor != usb_ids::kVendor ||
          dev->descriptor.idProduct != usb_ids::kProduct)
        continue;
      if (each(UsbPlace{bus->dirname, dev->filename, dev->devnum}, dev))
        return;
    }
  }
}

std::vector<UsbPlace> boards_on_bus(std::vector<BusUse>* buses) {
  std::vector<UsbPlace> places;
  walk_boards([&places](const UsbPlace& place, struct usb_device* /*dev*/) {
    places.push_back(place);
    return false;
  });
  if (buses == nullptr)
    return places;
  // The list the walk read, still libusb's until the next look.
  buses->clear();
  for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
    BusUse use{bus->dirname, 0};
    for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next)
      ++use.devices;
    buses->push_back(use);
  }
  return places;
}
