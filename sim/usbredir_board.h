// UsbredirBoard: the simulated board on a usbredir connection.
//
// It plays the device side of the usbredir protocol (the side that owns the
// device) on one connected stream socket. A virtual machine's usb-redir device
// at the other end makes it a real full-speed USB device for the guest kernel:
// vendor 0x15A2, product 0x0040, configuration 1, interface 0 (vendor class),
// bulk endpoints 0x02 OUT and 0x81 IN of 64-byte packets.
//
// Descriptors and the standard requests are answered here. Bulk traffic is
// taken as a board's firmware takes it, packet by packet: an xHCI port hands
// over whole transfers, but EHCI's companions, UHCI and OHCI hand over one
// 64-byte packet at a time, and the board must not tell them apart.
//   OUT: packets are gathered into one transfer up to the first short (or
//   zero-length) packet, which ends it. Every message of the bootloader's
//   protocol has a length that is not a multiple of 64, so its last packet is
//   always short. Full packets are taken at once; the request that carries
//   the last packet gets the transfer's result.
//   IN: the first request of a transfer takes the board's next reply; it is
//   sent in 64-byte packets, over as many requests as the host makes, and
//   ends with a short packet (a zero-length one when nothing is left). A
//   packet larger than what the host still asks for is babble.
// Each transfer goes whole through the libusb-level calls of a SimUsb, once,
// so the board, its scenario faults and the transfer numbering are exactly
// those of the preloaded board whatever the port. What a result means on a
// wire:
//   bytes moved -> success; kErrPipe -> stall;
//   kErrTimeout -> no answer: the request is held until the host cancels it
//   (for IN, with every later request of that transfer);
//   kErrNoDevice -> the device is unplugged (device_disconnect);
//   anything else -> I/O error.
// A reply the board is still preparing (a format time) is not a time-out:
// the requests of an IN transfer wait, unnumbered, until that reply is ready
// or the host cancels them, and only then go to the board, as any transfer.
// A host controller may retry a transfer that failed with an I/O error (the
// xHCI driver of Linux does, a few times, before it reports the error). Such
// a retry comes with the id of the failed request; it fails again without
// reaching the board, so that one injected error stays one failed transfer.
// On the other controllers a request's id is the address of a transfer
// descriptor, and the next transfer on an endpoint does not start at the
// failed one (their Linux drivers queue a transfer behind a spare descriptor,
// which then carries the next), so the rule holds there too.
//
// Single-threaded; the owner drives it with step() or serve().
#ifndef FLASHPREP_SIM_USBREDIR_BOARD_H_
#define FLASHPREP_SIM_USBREDIR_BOARD_H_

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <usbredirparser.h>

#include "sim/sim_usb.h"

namespace sim {

class UsbredirBoard {
 public:
  // Serves the first device on `usb`'s bus over the connected socket `fd`.
  // Neither is owned: both must outlive the object. The socket is made
  // non-blocking.
  UsbredirBoard(SimUsb& usb, int fd);
  ~UsbredirBoard();
  UsbredirBoard(const UsbredirBoard&) = delete;
  UsbredirBoard& operator=(const UsbredirBoard&) = delete;

  // False, with a message in `error`, for a scenario that has no meaning on
  // a wire: a refused open or claim (the host's kernel does those, no request
  // reaches the device).
  static bool servable(const SimUsb& usb, std::string* error);
  // The IDs of the device start() would serve: the first on `usb`'s bus.
  // False for an empty bus.
  static bool device_id(SimUsb& usb, uint16_t* vendor, uint16_t* product);

  // Opens the device on the bus and queues the hello. False, with a message
  // in `error`, when the scenario is not servable(). A bus without a device is
  // served as an empty port: the peer is never told of a device.
  bool start(std::string* error);

  // Waits up to `timeout_ms` for traffic, handles what arrived and sends the
  // answers. False once the peer has closed the connection or an I/O error
  // happened. REQUIRES: start() succeeded.
  bool step(int timeout_ms);
  // Steps until the peer closes the connection.
  void serve();

  // For tests and logs.
  bool device_announced() const { return announced_; }
  bool unplugged() const { return unplugged_; }
  // Requests not answered yet: held ones and reads waiting for a reply.
  int held_requests() const { return static_cast<int>(held_.size() + waiting_.size()); }

 private:
  struct Held {
    uint64_t id;
    uint8_t endpoint;
  };
  struct Waiting {
    uint64_t id;
    int length;
  };
  struct Failed {
    bool any = false;
    uint64_t id = 0;
  };

  static struct usb_device* first_device(SimUsb& usb);

  // libusbredirparser callbacks; `priv` is the object.
  static int read_cb(void* priv, uint8_t* data, int count);
  static int write_cb(void* priv, uint8_t* data, int count);
  static void log_cb(void* priv, int level, const char* msg);
  static void hello_cb(void* priv, usb_redir_hello_header* hello);
  static void reset_cb(void* priv);
  static void set_configuration_cb(void* priv, uint64_t id, usb_redir_set_configuration_header* h);
  static void get_configuration_cb(void* priv, uint64_t id);
  static void set_alt_setting_cb(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h);
  static void get_alt_setting_cb(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h);
  static void cancel_cb(void* priv, uint64_t id);
  static void control_cb(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                         int data_len);
  static void bulk_cb(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                      int data_len);

  void announce();
  void control(uint64_t id, usb_redir_control_packet_header* h, const uint8_t* data);
  void bulk(uint64_t id, const usb_redir_bulk_packet_header& h, const uint8_t* data, int data_len);
  void bulk_out(uint64_t id, const uint8_t* data, int data_len);
  void bulk_in(uint64_t id, int length);
  // bulk_in() for a request that does not wait: served, held, or the first
  // of a transfer that goes to the board.
  void take_in(uint64_t id, int length);
  void serve_in(uint64_t id, int length);
  // Milliseconds until the waiting IN transfer can be served; -1: none waits.
  int next_read_ms();
  void serve_ready_reads();
  // The waiting IN transfer goes to the board now (its requests are served
  // or held in the order they came).
  void take_waiting();
  void fail(uint64_t id, uint8_t endpoint, int result);
  void send_bulk_status(uint64_t id, uint8_t endpoint, uint8_t status, int length,
                        const uint8_t* data);
  void unplug();
  bool flush();

  SimUsb& usb_;
  int fd_;
  usbredirparser* parser_ = nullptr;
  usb_dev_handle* handle_ = nullptr;
  usb_device_descriptor descriptor_ = {};  // of the device served
  uint8_t configuration_ = 0;
  bool announced_ = false;
  bool unplugged_ = false;
  bool closed_ = false;
  std::vector<Held> held_;  // requests the board does not answer
  // The OUT transfer gathered so far: every full packet since the last short one.
  std::vector<uint8_t> out_transfer_;
  // The IN transfer: none under way, waiting for a reply still being
  // prepared (its requests wait in waiting_), being sent, or one the board
  // has nothing for (its requests are held).
  enum class InState { idle, waiting, sending, held };
  InState in_state_ = InState::idle;
  std::deque<Waiting> waiting_;       // requests of the waiting transfer, in order
  std::vector<uint8_t> in_transfer_;  // room for the longest transfer
  int in_length_ = 0;                 // bytes of the transfer
  int in_sent_ = 0;                   // bytes of it sent so far
  Failed failed_[2];  // the last request on OUT and on IN, when it failed with an I/O error
};

}  // namespace sim

#endif  // FLASHPREP_SIM_USBREDIR_BOARD_H_
