#include "app/format_pass.h"

#include <cstring>
#include <iterator>
#include <numeric>

#include "flash/serial_flash.h"

using namespace format_layout;

namespace {

// The pass's state: the table of sums being filled and the block it goes to
// next.
struct FormatPass {
  SerialFlash& flash;
  std::ostream& out;
  uint8_t table[kBlockBytes];
  uint8_t fill = 0;  // wraps after 255: a full table
  uint16_t table_block = kFirstTableBlock;

  FormatPass(SerialFlash& f, std::ostream& o) : flash(f), out(o) {
    // Entries never filled in a run read as erased flash.
    std::memset(table, 0xFF, sizeof table);
  }

  void write() {
    if (!flash.write_block(table_block, table))
      out << "FAIL: WRITING BLOCK " << std::dec << table_block << std::endl;
    ++table_block;  // advances even when the write was refused
  }

  void format(uint16_t block) {
    uint8_t reply[kBlockBytes];
    if (!flash.format_block(block, reply)) {
      out << "FAIL: FORMATTING BLOCK " << std::dec << block << std::endl;
      return;
    }
    out << "BLOCK " << std::dec << block << " FORMATTED" << std::endl;
    table[fill++] = std::accumulate(std::begin(reply), std::end(reply), uint8_t{0},
                                    [](uint8_t sum, uint8_t b) { return uint8_t(sum + b); });
    if (fill == 0)
      write();
  }
};

}  // namespace

void format_flash(SerialFlash& flash, std::ostream& out) {
  FormatPass pass(flash, out);
  for (uint16_t n = 0; n <= kFirstRangeEnd; ++n)
    pass.format(n);
  // Each range ends with one more write of the table, full or not; entries
  // past the fill index keep what the previous table held.
  pass.fill = 0;
  pass.write();
  for (uint32_t n = kSecondRangeFirst; n <= kLastBlock; ++n)
    pass.format(static_cast<uint16_t>(n));
  pass.write();
}
