#include "app/driver_download.h"

#include "board/board_facts.h"
#include "flash/serial_flash.h"
#include "usb/usb_bootloader.h"

namespace {

void write_summary(const SRecordImage& image, int blocks, std::ostream& out) {
  out << std::uppercase;
  out << "BYTES  : " << std::dec << image.byte_count() << std::endl;
  out << "START  : " << std::hex << image.low_address() << std::endl;
  out << "END    : " << image.high_address() << std::endl;
  out << "BLOCKS : " << std::dec << blocks << std::endl;
}

}  // namespace

int download_image(std::unique_ptr<SRecordImage>& image, UsbBootloader* bootloader,
                   std::ostream& out) {
  int first = 0;
  const int sent = driver_blocks(*image, &first);
  // The summary stands before the first block is sent, unless the run was
  // stopped before it got here: then nothing more is written.
  if (sent == 0 || !bootloader->stopping())
    write_summary(*image, sent, out);

  // Each block's line is written whole once its exchange is over: a run
  // stopped before a block went out writes nothing about it.
  uint8_t block[kBlockBytes];
  for (int k = first; k < first + sent; ++k) {
    image->copy_block(static_cast<uint32_t>(k), kBlockBytes, block);
    const bool ok = bootloader->load_block(static_cast<uint8_t>(k & 0xFF), block);
    out << "BLOCK " << k << (ok ? " DOWNLOADED" : " FAILED") << std::endl;
  }
  return sent;
}

// The client is taken as the one the run drives, not as a read-only view.
// cppcheck-suppress constParameter
bool download_driver(SerialFlash& flash, std::ostream& out, const char* path) {
  std::unique_ptr<SRecordImage> image;
  if (!load_image_file(image, path))
    return false;
  // A clean file with no driver byte in RAM would leave the board without a
  // driver and every later request waiting out its time-out.
  return download_image(image, flash.get_bootloader(), out) > 0;
}
