#include "flash/serial_flash.h"

#include <cstring>

#include "usb/usb_bootloader.h"

namespace {
constexpr uint8_t kInit = 0x00;
constexpr uint8_t kWrite = 0x01;
constexpr uint8_t kFormat = 0x02;
}  // namespace

bool SerialFlash::init() {
  request[0] = kInit;
  return bootloader->driver_transaction(request, 1, nullptr, 0);
}

bool SerialFlash::write_block(uint16_t block, const uint8_t* data) {
  request[0] = kWrite;
  request[1] = static_cast<uint8_t>(block >> 8);
  request[2] = static_cast<uint8_t>(block & 0xFF);
  std::memcpy(&request[3], data, kBlockBytes);
  return bootloader->driver_transaction(request, kRequestBytes, nullptr, 0);
}

bool SerialFlash::format_block(uint16_t block, uint8_t* result) {
  request[0] = kFormat;
  request[1] = static_cast<uint8_t>(block >> 8);
  request[2] = static_cast<uint8_t>(block & 0xFF);
  return bootloader->driver_transaction(request, 3, result, kBlockBytes);
}
