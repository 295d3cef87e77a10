#include "app/driver_download.h"

#include <cstdio>

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

bool load_image_file(std::unique_ptr<SRecordImage>& image, const char* path) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr)
    return false;
  image.reset(new SRecordImage(file, 0, 0));
  image->load();
  (void)std::fclose(file);  // read only: closing cannot lose anything
  return image->status() == loaded;
}

int driver_blocks(const SRecordImage& image, int* first) {
  // Blocks sit at their true place in driver RAM: block k is the 256 bytes
  // from 0x20000000 + 256*k. The ones from the block holding the lowest
  // stored byte through the one holding the highest are sent, so data that
  // starts above the region base is not cut off at the top.
  *first = 0;
  if (image.byte_count() == 0)
    return 0;
  *first = static_cast<int>((image.low_address() - kDriverRamFirst) / kDriverBlockBytes);
  const int last = static_cast<int>((image.high_address() - kDriverRamFirst) / kDriverBlockBytes);
  return last - *first + 1;
}

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
  uint8_t block[kDriverBlockBytes];
  for (int k = first; k < first + sent; ++k) {
    image->copy_block(static_cast<uint32_t>(k), kDriverBlockBytes, block);
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
