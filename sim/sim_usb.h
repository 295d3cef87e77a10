// SimUsb: the simulated USB bus behind the libusb 0.1 functions.
//
// It holds the bus and device lists, the open handles and the boards behind
// them, and it is where a test or a scenario decides how the world behaves:
// which devices are attached, which libusb calls fail, and which bulk
// transfer (numbered from 1 over the whole process) fails in which way. It
// records every call with its arguments and bytes, and can write a usbmon
// pcap trace of the bulk traffic.
//
// There is one instance per process, world(): libusb 0.1 is a C API with
// global state, and both the unit tests and the preloaded library reach the
// board through it.
#ifndef FLASHPREP_SIM_SIM_USB_H_
#define FLASHPREP_SIM_SIM_USB_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/board.h"
#include "sim/pcap_trace.h"
#include "usb/libusb_api.h"

// The handle libusb 0.1 leaves opaque; here it names a device entry.
struct usb_dev_handle {
  int device;
  bool closed;
  bool claimed;
};

namespace sim {

enum class Fault { none, error, short_count, timeout, unplug };

// The string descriptors of a board's device: 0 its one language (English,
// United States, which it gives whatever language is asked for), then these.
// A foreign device has none.
constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint8_t kStringSerial = 3;  // only when the board has a serial number
// The most characters a string descriptor holds: 2 bytes each after its
// 2-byte header, in at most 255 bytes.
constexpr size_t kMostStringChars = 126;

// One libusb call as the host made it.
struct CallRecord {
  std::string name;           // "usb_open", "usb_bulk_write", ...
  int device = -1;            // device entry of the handle, -1 when none
  int arg = 0;                // configuration, interface or endpoint
  int size = 0;               // bytes asked for
  int timeout = 0;            // milliseconds
  int result = 0;             // what the call returned (0/1 for usb_open)
  std::vector<uint8_t> data;  // bytes written, or bytes delivered by a read
};

class SimUsb {
 public:
  SimUsb() { reset(); }

  // One healthy board, alone on bus 1. Clears calls, faults and trace.
  void reset(const BoardConfig& config = BoardConfig());
  // Takes every device off the buses (boards stay, for their state).
  void clear_devices();
  // Adds a board (not yet on a bus) and returns its index.
  int add_board(const BoardConfig& config);
  // Puts a device on bus `bus` (numbered from 1; new buses are appended in
  // order). `board` is the board behind it, or -1 for a foreign device.
  void add_device(int bus, uint16_t vid, uint16_t pid, int board);
  Board& board(int index = 0) { return boards_.at(index); }
  int board_count() const { return static_cast<int>(boards_.size()); }

  // Results the host will get. 0 means success for the two configuration
  // calls; open_fails makes usb_open return null. Public: they are the knobs
  // that tests and scenarios turn, with no invariant to keep.
  // NOLINTBEGIN(misc-non-private-member-variables-in-classes)
  bool open_fails = false;
  int set_configuration_result = 0;
  int claim_interface_result = 0;
  // When set, a time-out takes its real duration instead of returning at
  // once (which moves the boards' clocks on by it: see Board::pass_time).
  bool real_timeouts = false;
  // Keeps the call log; off for long benchmark runs.
  bool record_calls = true;
  // NOLINTEND(misc-non-private-member-variables-in-classes)

  // Transfer `n` (1-based, over all bulk transfers) fails as `kind`. An
  // unplug fault removes the device from that transfer on.
  void inject(long n, Fault kind);
  // Transfers after the n-th fail as for a vanished device.
  void unplug_after(long n) { unplug_after_ = n; }
  // Runs `action` as transfer `n` starts, before the board sees it: for
  // something to happen to the host while a transfer is in flight.
  void during_transfer(long n, std::function<void()> action);
  // Asks `size` at each transfer, as it starts, how many bytes the host's
  // output holds, and keeps the answers (output_at_transfer()) from now on;
  // empty: stops asking. For tests of when the host's lines went out.
  void note_output(std::function<long()> size);
  // Runs `action` after each usb_close of an open handle.
  void when_closed(std::function<void()> action) { when_closed_ = std::move(action); }
  // Asked, while the host waits for a held reply, whether the board is still
  // plugged in: false ends the wait, the transfer failing as for a vanished
  // device. Unset: the board stays plugged in.
  void while_held(std::function<bool()> plugged) { plugged_ = std::move(plugged); }
  // Writes every bulk transfer to a pcap file from now on.
  bool trace_to(const std::string& path);
  // Ends the trace. False when it could not be written whole.
  bool close_trace();
  // Puts what the trace holds so far into its file.
  void flush_trace();

  const std::vector<CallRecord>& calls() const { return calls_; }
  std::vector<CallRecord> calls_named(const std::string& name) const;
  int count(const std::string& name) const;
  long transfers() const { return transfers_; }
  // What note_output() saw: one size per transfer since it was given one.
  const std::vector<long>& output_at_transfer() const { return output_at_; }
  bool unplugged() const { return unplugged_; }
  // Handles opened and not yet closed.
  int open_handles() const;
  // Teardown calls, counted even when the call log is off.
  int close_calls() const { return close_calls_; }
  int release_calls() const { return release_calls_; }

  // The libusb 0.1 entry points (see sim/libusb_stub.cpp).
  void init();
  int find_busses();
  int find_devices();
  usb_bus* get_busses();
  usb_dev_handle* open(struct usb_device* dev);
  int close(usb_dev_handle* h);
  int set_configuration(usb_dev_handle* h, int configuration);
  int claim_interface(usb_dev_handle* h, int interface);
  int release_interface(usb_dev_handle* h, int interface);
  int reset_device(usb_dev_handle* h);
  // usb_get_string: string descriptor `index` of the device behind `h`, cut
  // to `size` bytes (a control transfer, not numbered with the bulk ones).
  // The bytes given, or kErrPipe for a string the device does not have (it
  // stalls the request).
  int get_string(usb_dev_handle* h, int index, int langid, char* bytes, size_t size);
  int bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout);
  // A reply that the board is still preparing (a format time) is waited for
  // in real time when it is ready within `timeout` ms; a held reply (see
  // Board) is waited for until its hold file is removed, whatever `timeout`.
  // A `timeout` of 0 never waits.
  int bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout);

  // Board::reply_wait_ms() of the board behind `h`, its held replies let go
  // if their hold file was removed; kHoldLookMs while the next reply is
  // still held (the caller looks again then); -1 without a board.
  int reply_wait_ms(usb_dev_handle* h);
  static constexpr int kHoldLookMs = 5;

 private:
  struct DeviceEntry {
    int bus;
    uint16_t vid;
    uint16_t pid;
    int board;
  };

  void record(CallRecord call);
  int handle_result(usb_dev_handle* h, int wanted);
  Board* board_of(usb_dev_handle* h);
  Fault next_transfer_fault(long n);
  // A time-out of the host's transfer: waited out, or reported at once with
  // the boards' clocks moved on by it.
  int time_out(int timeout_ms);
  // `board` has begun to hold a reply: says so by creating its hold file,
  // or lets the reply go when the file cannot be made.
  static void say_held(Board& board);
  // Lets the held replies of `board` go once its hold file was removed.
  // True while the next reply is still held.
  static bool still_held(Board& board);
  // After bulk_in() found nothing to give: waits for a held reply to be let
  // go (when `timeout` is not 0), then for one ready within `timeout`, and
  // takes it. kErrTimeout when none will be, kErrNoDevice when the board
  // was pulled out while held.
  int wait_for_reply(Board& board, uint8_t* data, int size, int timeout);

  std::deque<Board> boards_;
  std::vector<DeviceEntry> entries_;
  // The lists libusb hands out; rebuilt by find_busses / find_devices.
  std::deque<usb_bus> bus_list_;
  std::deque<struct usb_device> device_list_;
  std::map<const struct usb_device*, int> device_entry_;
  usb_bus* bus_head_ = nullptr;
  std::deque<usb_dev_handle> handles_;
  std::vector<CallRecord> calls_;
  std::map<long, Fault> faults_;
  long during_transfer_ = 0;  // 0: no action
  std::function<void()> during_action_;
  std::function<void()> when_closed_;
  std::function<bool()> plugged_;
  std::function<long()> output_size_;
  std::vector<long> output_at_;
  long transfers_ = 0;
  int close_calls_ = 0;
  int release_calls_ = 0;
  long unplug_after_ = -1;  // -1: stays plugged in
  bool unplugged_ = false;
  std::unique_ptr<PcapTrace> trace_;
};

// The process's one simulated bus.
SimUsb& world();

}  // namespace sim

#endif  // FLASHPREP_SIM_SIM_USB_H_
