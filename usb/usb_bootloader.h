// UsbBootloader: the host's one connection to the board's USB bootloader.
//
// It finds the board by vendor and product ID, opens it, selects configuration
// 1 and claims interface 0 (start), frames messages on the two bulk endpoints
// (send_message / receive_message) and carries the bootloader's four commands.
// Every operation reports success as a boolean; nothing is printed, nothing is
// retried, and no libusb error code leaves this class.
//
// A run can be stopped between exchanges (stop_when): the exchange in flight
// always runs to its end, so the board is never left with half a request or
// an unread reply.
//
// Ownership: the object owns the libusb device handle and closes it in its
// destructor (releasing interface 0 first). Not copyable.
#ifndef FLASHPREP_USB_USB_BOOTLOADER_H_
#define FLASHPREP_USB_USB_BOOTLOADER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "board/board_facts.h"
#include "usb/board_bus.h"

// The libusb handle type; usb/libusb_api.h has the whole interface. Declared
// here only, so that the system's USB header (on Windows, <windows.h> with it)
// stays out of every file that uses this class.
struct usb_dev_handle;

class UsbBootloader {
 public:
  // Command byte plus the largest body a command carries (a driver request of
  // 264 bytes); every request is built here and every reply is read here.
  static constexpr int kMessageBytes = 265;

  UsbBootloader() : handle(nullptr) {}
  // Only the board at `place` is ever opened (see open()).
  explicit UsbBootloader(UsbPlace place) : handle(nullptr), place(std::move(place)) {}
  ~UsbBootloader();
  UsbBootloader(const UsbBootloader&) = delete;
  UsbBootloader& operator=(const UsbBootloader&) = delete;

  // Connection. start() = open() then, if it found and opened the board,
  // configure(). True when the board is open, configured and claimed; after a
  // failed configure() the device stays open until close() or destruction.
  bool start();
  // Walks the buses (usb/board_bus.h) for the first device with both IDs
  // (and, when a place was given, at that place) and opens it. Only the
  // first match is tried.
  // True when a handle is held afterwards.
  // REQUIRES: no device is open.
  bool open();
  // Selects configuration 1, then claims interface 0. REQUIRES: open.
  // When either is refused because another process holds the board (the
  // system's EBUSY), busy() says so afterwards.
  bool configure();
  // Releases interface 0 and closes the device, if one is open. Always true.
  bool close();
  // Releases interface 0 only; the device stays open. Always true.
  bool release();
  // Asks libusb to reset the device; the handle is kept. Always true.
  bool reset();

  // Stopping. `stop` is asked, as each request is about to start, whether
  // to stop; once it answers true, that request and every later one fail
  // without a transfer. It is never asked in the middle of an exchange: a
  // reply is always read once its request went out. Empty (the default):
  // never stops.
  void stop_when(std::function<bool()> stop) { stop_check = std::move(stop); }
  // Asks `stop` now, as a request would, for a caller about to write what
  // goes out before its next request. True when stopped: every later request
  // then fails without a transfer.
  bool stopping();

  // Framing: a 2-byte big-endian length transfer, then the body transfer.
  // True when both transfers moved exactly their byte counts. Every request
  // starts here, and so does a stop (see stop_when).
  bool send_message(const uint8_t* body, uint16_t length);
  // Reads a header, stores the announced length in `length` (before the body
  // is read), then reads that many bytes into `body`, a zero-length read
  // included. `capacity` is the room at `body`: a reply announcing more fails,
  // its body is still read (into a scratch area) so that the next exchange
  // starts on a frame boundary, and nothing is written past `capacity`.
  bool receive_message(uint8_t* body, uint16_t capacity, uint16_t* length);

  // Command 0: true when a reply came back whole and its first byte is 'B'.
  // The announced reply length is left in reply_length().
  bool identify();
  // Command 1: sends one 256-byte block of the driver image with its index
  // (the block's position modulo 256). No reply is read.
  bool load_block(uint8_t index, const uint8_t* data);
  // Command 2: passes `n` payload bytes to the running driver. For k > 0 a
  // reply is read and its bytes 1..k are copied to `reply`; the transaction
  // fails, leaving `reply` untouched, when the reply carries fewer than 1 + k
  // bytes. n and k above 264 fail without sending anything.
  // REQUIRES: `reply` holds k bytes (it may be null when k is 0).
  bool driver_transaction(const uint8_t* payload, uint16_t n, uint8_t* reply, uint16_t k);
  // Command 3: a one-byte command without reply.
  bool send_command_3();

  uint16_t last_reply_length() const { return reply_length; }
  bool is_open() const { return handle != nullptr; }
  // The last configure() failed because another process holds the board.
  bool busy() const { return held_elsewhere; }

 private:
  usb_dev_handle* handle;
  UsbPlace place;
  // Zeroed once so that every byte is defined from the start.
  uint8_t message[kMessageBytes] = {};
  uint16_t reply_length = 0;
  std::function<bool()> stop_check;
  bool refusing = false;  // stopped: every request fails unsent
  bool held_elsewhere = false;
};

#endif  // FLASHPREP_USB_USB_BOOTLOADER_H_
