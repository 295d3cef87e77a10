// The boards on the USB buses, as libusb 0.1 lists them: every device with
// the board's vendor and product IDs, in libusb's order. The one walk of the
// buses in the product: flashprep opens the first board it finds there, the
// station lists every board found.
#ifndef FLASHPREP_USB_BOARD_BUS_H_
#define FLASHPREP_USB_BOARD_BUS_H_

#include <functional>
#include <string>
#include <vector>

struct usb_device;

// Where a board is plugged, as libusb 0.1 names it: the bus's `dirname` and
// the device's `filename`, which is what a process opens, and the device
// number, which the system gives a board afresh each time it is plugged in
// (so that a board left plugged keeps it and one plugged in again does not).
// Empty bus and device: the first board found.
struct UsbPlace {
  std::string bus;
  std::string device;
  int devnum = 0;
  bool any() const { return bus.empty() && device.empty(); }
  // True when `other` names the same bus and device (the device number is
  // not a name: a process is told where to look by bus and device alone).
  bool same_place(const UsbPlace& other) const {
    return bus == other.bus && device == other.device;
  }
};

// Looks at the buses afresh (usb_init, usb_find_busses, usb_find_devices;
// their results say nothing that the listing does not) and calls `each` for
// every board, in libusb's order, until it returns true. The device record
// is libusb's, valid until the next look at the buses.
void walk_boards(const std::function<bool(const UsbPlace&, struct usb_device*)>& each);

// USB gives each device on a bus an address of its own, 1 to 127, the root
// hub's among them: a bus that lists 127 devices has none left, and a
// device plugged into it then is not listed at all (Linux gives it no
// address, and says nothing of it).
constexpr int kBusAddresses = 127;

// One bus as a look found it: its name and how many devices it lists,
// boards or not (on Linux every device that has an address, hubs too).
struct BusUse {
  std::string bus;
  int devices = 0;
  bool full() const { return devices >= kBusAddresses; }
};

// Every board plugged in now; none is opened. Empty without a board (or
// without USB at all). With `buses`, every bus of the same look as well, in
// libusb's order.
std::vector<UsbPlace> boards_on_bus(std::vector<BusUse>* buses = nullptr);

#endif  // FLASHPREP_USB_BOARD_BUS_H_
