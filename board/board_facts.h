// What the host knows of the board, in one place: how it is found and spoken
// to on the bus, the driver RAM that the driver image fills, and the flash
// blocks that the format pass prepares. The run, the reading of its logs, the
// station, the benchmarks and the tests all take these numbers from here.
// (The simulated board keeps numbers of its own: it stands for the far end of
// the cable, so a wrong number here shows as a failing test rather than
// agreeing with itself.)
#ifndef FLASHPREP_BOARD_BOARD_FACTS_H_
#define FLASHPREP_BOARD_BOARD_FACTS_H_

#include <cstdint>

namespace usb_ids {
constexpr uint16_t kVendor = 0x15A2;
constexpr uint16_t kProduct = 0x0040;
constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr int kEndpointOut = 0x02;  // bulk, host to board
constexpr int kEndpointIn = 0x81;   // bulk, board to host
constexpr int kTimeoutMs = 5000;    // every transfer
}  // namespace usb_ids

// Every block is 256 bytes: the driver image's blocks sent to the bootloader
// and the serial flash's blocks alike.
constexpr int kBlockBytes = 256;

// The driver RAM the driver image covers. Driver block k is the 256 bytes
// from kDriverRamFirst + 256 * k, whatever part of the RAM the file fills.
constexpr uint32_t kDriverRamFirst = 0x20000000;
constexpr uint32_t kDriverRamLast = 0x20001FFF;

// The serial flash: 4096 blocks of 256 bytes. Blocks 0-2527 and 2560-4095 are
// formatted; the 32 between them are reserved for the checksum tables.
namespace format_layout {
constexpr uint16_t kFirstRangeEnd = 2527;    // blocks 0..2527
constexpr uint16_t kFirstTableBlock = 2528;  // reserved 2528..2559 hold the tables
constexpr uint16_t kSecondRangeFirst = 2560;
constexpr uint16_t kLastBlock = 4095;
// A table block holds one checksum byte per formatted block.
constexpr int kTableEntries = kBlockBytes;
}  // namespace format_layout
constexpr int kFlashBlocks = format_layout::kLastBlock + 1;

#endif  // FLASHPREP_BOARD_BOARD_FACTS_H_
