#include "usb/usb_bootloader.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "usb/libusb_api.h"

using namespace usb_ids;

namespace {
constexpr uint8_t kIdentify = 0x00;
constexpr uint8_t kLoadBlock = 0x01;
constexpr uint8_t kDriver = 0x02;
constexpr uint8_t kCommand3 = 0x03;
constexpr uint8_t kBootloaderMark = 'B';
constexpr uint16_t kMaxDriverBytes = UsbBootloader::kMessageBytes - 1;
}  // namespace

UsbBootloader::~UsbBootloader() {
  close();
}

bool UsbBootloader::start() {
  if (!open())
    return false;
  return configure();
}

bool UsbBootloader::open() {
  walk_boards([this](const UsbPlace& found, struct usb_device* dev) {
    if (!place.any() && !place.same_place(found))
      return false;
    // Only the first match is tried: a second board is never touched.
    handle = usb_open(dev);
    return true;
  });
  return handle != nullptr;
}

bool UsbBootloader::configure() {
  // Linux refuses the configuration already while another process has
  // claimed the interface; libusb-win32 and the simulated board refuse the
  // claim. Both say EBUSY, as libusb 0.1 passes the system's errno on.
  int result = usb_set_configuration(handle, kConfiguration);
  if (result == 0)
    result = usb_claim_interface(handle, kInterface);
  held_elsewhere = result == -EBUSY;
  return result == 0;
}

bool UsbBootloader::close() {
  if (handle != nullptr) {
    // Released even when configure() never claimed it; libusb tolerates that.
    usb_release_interface(handle, kInterface);
    usb_close(handle);
    handle = nullptr;
  }
  return true;
}

bool UsbBootloader::release() {
  usb_release_interface(handle, kInterface);
  return true;
}

bool UsbBootloader::reset() {
  usb_reset(handle);
  return true;
}

bool UsbBootloader::stopping() {
  if (!refusing && stop_check && stop_check())
    refusing = true;
  return refusing;
}

bool UsbBootloader::send_message(const uint8_t* body, uint16_t length) {
  if (stopping())
    return false;
  char header[2] = {static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
  if (usb_bulk_write(handle, kEndpointOut, header, 2, kTimeoutMs) != 2)
    return false;
  // libusb only reads the body; see usb/libusb_api.h for the cast.
  const UsbWriteBuffer bytes = const_cast<UsbWriteBuffer>(reinterpret_cast<const char*>(body));
  int sent = usb_bulk_write(handle, kEndpointOut, bytes, length, kTimeoutMs);
  return sent >= 0 && sent == length;
}

bool UsbBootloader::receive_message(uint8_t* body, uint16_t capacity, uint16_t* length) {
  char header[2];
  if (usb_bulk_read(handle, kEndpointIn, header, 2, kTimeoutMs) != 2)
    return false;
  uint16_t announced = static_cast<uint16_t>((static_cast<uint8_t>(header[0]) << 8) |
                                             static_cast<uint8_t>(header[1]));
  *length = announced;
  if (announced > capacity) {
    // Read the whole body anyway, so the board's next reply is not taken for
    // the tail of this one; then fail.
    std::vector<char> scratch(announced);
    usb_bulk_read(handle, kEndpointIn, scratch.data(), announced, kTimeoutMs);
    return false;
  }
  // The body read is issued for every length, zero included.
  int got =
      usb_bulk_read(handle, kEndpointIn, reinterpret_cast<char*>(body), announced, kTimeoutMs);
  return got >= 0 && got == announced;
}

bool UsbBootloader::identify() {
  message[0] = kIdentify;
  if (!send_message(message, 1))
    return false;
  if (!receive_message(message, kMessageBytes, &reply_length))
    return false;
  return message[0] == kBootloaderMark;
}

bool UsbBootloader::load_block(uint8_t index, const uint8_t* data) {
  message[0] = kLoadBlock;
  message[1] = index;
  std::memcpy(&message[2], data, kBlockBytes);
  return send_message(message, 2 + kBlockBytes);
}

bool UsbBootloader::driver_transaction(const uint8_t* payload, uint16_t n, uint8_t* reply,
                                       uint16_t k) {
  if (n > kMaxDriverBytes || k > kMaxDriverBytes)
    return false;
  message[0] = kDriver;
  std::memcpy(&message[1], payload, n);
  if (!send_message(message, static_cast<uint16_t>(n + 1)))
    return false;
  if (k == 0)
    return true;
  uint16_t announced = 0;
  if (!receive_message(message, kMessageBytes, &announced))
    return false;
  // A short reply would hand over stale request bytes as if the board had
  // sent them; refuse it instead.
  if (announced < k + 1)
    return false;
  std::memcpy(reply, &message[1], k);
  return true;
}

bool UsbBootloader::send_command_3() {
  message[0] = kCommand3;
  return send_message(message, 1);
}
