// SerialFlash: the host-side client of the serial-flash driver that runs on
// the board once downloaded. Each request is a sub-command byte, optionally a
// 16-bit block number (most significant byte first) and block data, carried
// by bootloader command 2. Nothing is printed; callers report failures.
//
// Ownership: `bootloader` is borrowed; the UsbBootloader must outlive this
// object.
#ifndef FLASHPREP_FLASH_SERIAL_FLASH_H_
#define FLASHPREP_FLASH_SERIAL_FLASH_H_

#include <cstdint>

#include "board/board_facts.h"

class UsbBootloader;

class SerialFlash {
 public:
  static constexpr int kRequestBytes = 3 + kBlockBytes;

  SerialFlash() : bootloader(nullptr) {}
  explicit SerialFlash(UsbBootloader* bootloader) : bootloader(bootloader) {}
  void set_bootloader(UsbBootloader* b) { bootloader = b; }
  UsbBootloader* get_bootloader() const { return bootloader; }

  // Sub-command 0: initialise the serial flash. No reply. True when the
  // request went out whole.
  bool init();
  // Sub-command 1: store 256 bytes in `block`. No reply. True when the
  // request went out whole.
  bool write_block(uint16_t block, const uint8_t* data);
  // Sub-command 2: format `block`; the driver answers with a status byte and
  // 256 bytes, which land in `result`. True when the request went out and a
  // whole reply came back; on false `result` keeps what it held.
  bool format_block(uint16_t block, uint8_t* result);

 private:
  UsbBootloader* bootloader;
  // Zeroed once so that every byte is defined from the start; a request
  // overwrites only the bytes it uses.
  uint8_t request[kRequestBytes] = {};
};

#endif  // FLASHPREP_FLASH_SERIAL_FLASH_H_
