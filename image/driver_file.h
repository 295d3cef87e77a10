// The driver file: serial_flash.S19 loaded into an image of the driver RAM
// (0x20000000 to 0x20001FFF), and the driver blocks it covers. The run
// downloads what it loads; the station loads it the same way first, so that
// it never starts boards on an image the run would refuse.
#ifndef FLASHPREP_IMAGE_DRIVER_FILE_H_
#define FLASHPREP_IMAGE_DRIVER_FILE_H_

#include <memory>

#include "image/srecord_image.h"

constexpr const char* kDriverFileName = "serial_flash.S19";

// Opens `path`, builds the driver-RAM image in `image` and loads it; the file
// is closed again on every path. True when the image loaded cleanly.
bool load_image_file(std::unique_ptr<SRecordImage>& image, const char* path);

// The driver blocks that hold stored bytes: from the one holding the lowest
// stored byte through the one holding the highest. Returns their number (0
// for an image that stored nothing) and puts the first one's index in
// `first`. The BLOCKS line of the summary is this number.
int driver_blocks(const SRecordImage& image, int* first);

#endif  // FLASHPREP_IMAGE_DRIVER_FILE_H_
