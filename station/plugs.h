// The boards plugged in now, as the station sees them: each board's place on
// the bus (usb/board_bus.h), the name the station gives it, and what the
// system tells of it without a word to the board (its port, its serial
// number).
#ifndef FLASHPREP_STATION_PLUGS_H_
#define FLASHPREP_STATION_PLUGS_H_

#include <string>
#include <vector>

#include "usb/board_bus.h"

// One board plugged in once: the same board pulled out and plugged in again
// is another plug (the system gives it another device number).
struct Plug {
  UsbPlace place;      // what the board's process opens
  std::string name;    // where it is plugged, safe as a file name
  std::string port;    // the system's port path (Linux: 1-1.3); "" when it tells none
  std::string serial;  // the board's USB serial number; "" when none is known
  // True when `other` is this very plug-in: same place, same device number.
  bool same_plug(const Plug& other) const {
    return place.same_place(other.place) && place.devnum == other.place.devnum;
  }
};

// Looks at the buses afresh; opens no device. Each board is named by its
// port where the system tells it (Linux: the sysfs name, such as 1-1.3),
// otherwise by its libusb bus and device names ("001-007"; a simulated
// board of a folder: sim-NAME). An empty list when there is no board. With
// `buses`, how many devices each bus lists (usb/board_bus.h).
std::vector<Plug> plugs_now(std::vector<BusUse>* buses = nullptr);

// True when the board at `place` is held by another process: opened and
// configured as a run would, the system answers that it is busy. The board
// is closed again at once; no message reaches it.
bool board_held_elsewhere(const UsbPlace& place);

// The device number a Linux device node's name gives ("005": 5); 0 for a
// name that is no such number (empty, not digits, longer than three).
int node_number(const std::string& name);

// `text` with every character outside A-Z a-z 0-9 . _ - turned into '_', and
// a leading '.' as well, so that it names a file in the logs folder and
// nothing else.
std::string safe_file_name(const std::string& text);

#endif  // FLASHPREP_STATION_PLUGS_H_
