// The driver download: reads serial_flash.S19 into an image of the driver RAM
// (0x20000000 to 0x20001FFF), writes a four-line summary of it and sends it to
// the bootloader block by block, one line per block.
#ifndef FLASHPREP_APP_DRIVER_DOWNLOAD_H_
#define FLASHPREP_APP_DRIVER_DOWNLOAD_H_

#include <cstdint>
#include <memory>
#include <ostream>

#include "image/driver_file.h"
#include "image/srecord_image.h"

class SerialFlash;
class UsbBootloader;

// Loads the driver file and downloads it through the SerialFlash's
// bootloader. True when the file loaded cleanly and stored at least one byte
// of driver (refused blocks are reported per line and do not fail the step).
bool download_driver(SerialFlash& flash, std::ostream& out, const char* path = kDriverFileName);

// Writes the summary lines and sends every block that holds stored bytes,
// one line per block. The summary is written before the first block's
// request starts (not at all when the bootloader is already stopping), each
// block's line once that block was sent. Returns the number of blocks sent
// (0 for an image that stored nothing, whose summary is written at once).
int download_image(std::unique_ptr<SRecordImage>& image, UsbBootloader* bootloader,
                   std::ostream& out);

#endif  // FLASHPREP_APP_DRIVER_DOWNLOAD_H_
