// A folder of simulated boards: every regular file in it whose name is made
// of A-Z a-z 0-9 . _ - and does not start with '.' is one board plugged in.
// Several processes can each drive their own board of one folder at once.
//
// The folder is read afresh at every usb_find_busses/usb_find_devices: a file
// created is a board plugged in, a file removed is a board pulled out (its
// transfers fail as for a vanished device from then on, also under an open
// handle, and also while the host waits for a held reply), a file created
// anew under the same name is a board plugged in anew (another devnum,
// unless its file gives one with FLASHPREP_SIM_DEVNUM). The boards are on
// bus "sim", or on bus "simN" when their file says FLASHPREP_SIM_BUS=N, as
// boards behind the hubs of several USB buses are; a device's filename is
// its board's file name; each bus lists its boards in file-name order, bus
// "sim" first, then the others by number.
//
// A board file holds FLASHPREP_SIM_NAME=VALUE lines (no spaces around '='),
// '#' comments and blank lines; its settings apply to that board over the
// environment's. Its flash persists in, and its state goes to, DIR/NAME.state/
// unless the file names its own files. Transfer numbers count that board's
// transfers in this process.
//
// A board file that cannot be used (a line of another form, a name the board
// does not know or that one board cannot have, a bad value, a file of its own
// that cannot be kept) makes a refused board: it is listed like any other, so
// that whoever lists boards sees it plugged in, but opening it is refused
// (see the constructor), before anything reaches it.
//
// With USB_DEVFS_PATH set, as libusb 0.1 reads it, a board whose node there
// (USB_DEVFS_PATH/sim/NAME) this process may not write cannot be configured
// (-1, EPERM), as libusb 0.1's read-only handle of such a node cannot.
//
// A board is held by the process that configures it until that process
// closes it or ends (a system lock): another process's configuration then
// fails with -16 (EBUSY) and its close changes nothing. The saved flash is
// loaded when the holder configures the board; the state is saved when the
// holder closes it and when this object goes away.
#ifndef FLASHPREP_SIM_BOARD_FOLDER_H_
#define FLASHPREP_SIM_BOARD_FOLDER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "sim/board_lock.h"
#include "sim/scenario.h"
#include "sim/sim_usb.h"

namespace sim {

class BoardFolder {
 public:
  // What happens when a refused board is opened, told the board file's path
  // (the folder's path, '/', its name) and why it is refused. The preloaded
  // library ends the process there; when it returns, the open fails.
  using RefusedOpen = std::function<void(const std::string& file, const std::string& why)>;

  // `environment` gives the settings a board file leaves out (its
  // FLASHPREP_SIM_BOARD, _FLASH, _STATE and _TRACE are not used); `program`
  // starts the messages written on stderr; `refused` may be empty.
  BoardFolder(std::string dir, Getenv environment, std::string program,
              RefusedOpen refused = nullptr);
  // Saves the boards this process still holds and ends their traces.
  ~BoardFolder();
  BoardFolder(const BoardFolder&) = delete;
  BoardFolder& operator=(const BoardFolder&) = delete;

  // The libusb 0.1 entry points, as SimUsb's.
  int find_busses();
  int find_devices();
  usb_bus* get_busses();
  usb_dev_handle* open(const struct usb_device* dev);
  int close(usb_dev_handle* h);
  int set_configuration(usb_dev_handle* h, int configuration);
  int claim_interface(usb_dev_handle* h, int interface);
  int release_interface(usb_dev_handle* h, int interface);
  int reset_device(usb_dev_handle* h);
  int get_string(usb_dev_handle* h, int index, int langid, char* bytes, size_t size);
  int bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout);
  int bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout);

  // The bus of the board plugged in as `name` at the last reading of the
  // folder; null when there is none. For tests.
  SimUsb* board_usb(const std::string& name);

 private:
  struct Slot {
    std::string name;
    FileId id;
    SimUsb usb;  // this board alone, with its own faults and transfer count
    ScenarioFiles files;
    struct usb_device* inner = nullptr;  // the board's device on `usb`
    struct usb_device dev = {};          // what the host sees on the "sim" bus
    std::string refusal;                 // why the board file cannot be used; empty: usable
    int bus = 0;                         // which of buses_ lists it
    int devnum = 0;                      // the device number its file gives; 0: none
    BoardLock lock;
    bool gone = false;
    bool trace_started = false;
    std::chrono::steady_clock::time_point looked;  // the file last found in place
  };

  // The bus of that number, added to buses_ when new.
  usb_bus& bus(int number);
  void read_folder();
  // Frees the boards pulled out that no handle and no lock refer to any
  // more, as libusb 0.1 frees a device gone at a new listing.
  void forget_gone();
  // Sets up a slot for a new board file: its board, or a refused one.
  void plug(Slot& slot);
  Slot* slot_of(usb_dev_handle* h);
  // -19 when the board's file is gone or replaced (marking it unplugged),
  // else 0.
  int check_plugged(Slot& slot);
  void save(Slot& slot);
  std::string path(const Slot& slot) const { return dir_ + "/" + slot.name; }

  std::string dir_;
  Getenv environment_;
  std::string program_;
  RefusedOpen refused_;
  // A list: open handles and device pointers refer into it, and a board
  // pulled out that nobody holds any more is taken out of it (see
  // find_devices), so that a long run of plug-ins uses no more memory.
  std::list<Slot> slots_;
  std::vector<Slot*> plugged_;  // in name order
  std::map<std::string, uint8_t> last_devnum_;
  std::map<const usb_dev_handle*, Slot*> handles_;
  // Bus 0 is "sim", bus N "simN"; a map, so that the devices' pointers to
  // their bus stay valid as buses are added.
  std::map<int, usb_bus> buses_;
};

// The folder the libusb functions of this library serve, when one is set in
// place of world(). Not owned.
BoardFolder* folder_in_use();
void use_folder(BoardFolder* folder);

}  // namespace sim

#endif  // FLASHPREP_SIM_BOARD_FOLDER_H_
