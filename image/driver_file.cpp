#include "image/driver_file.h"

#include <cstdio>

#include "board/board_facts.h"

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
  *first = static_cast<int>((image.low_address() - kDriverRamFirst) / kBlockBytes);
  const int last = static_cast<int>((image.high_address() - kDriverRamFirst) / kBlockBytes);
  return last - *first + 1;
}
