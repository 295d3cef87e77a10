// The boards plugged in now: every device with the board's vendor and
// product IDs on every bus libusb 0.1 lists, in the order libusb lists them,
// each with the name the station gives it.
#ifndef FLASHPREP_STATION_BOARD_LIST_H_
#define FLASHPREP_STATION_BOARD_LIST_H_

#include <string>
#include <vector>

#include "usb/usb_bootloader.h"

struct BoardSlot {
  UsbPlace place;    // how libusb names it: what the board's process opens
  std::string name;  // where it is plugged, safe as a file name
  // libusb's device number: a board plugged in anew gets another one, a
  // board left plugged keeps it.
  int devnum = 0;
};

// Looks at the buses afresh; opens no device. An empty list when there is
// no board (or no USB at all).
std::vector<BoardSlot> list_boards();

// `text` with every character outside A-Z a-z 0-9 . _ - turned into '_', and
// a leading '.' as well, so that it names a file in the logs folder and
// nothing else.
std::string safe_file_name(const std::string& text);

#endif  // FLASHPREP_STATION_BOARD_LIST_H_
