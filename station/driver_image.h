// The driver image a station's boards are prepared with, read by the run's
// own loader, so that the station can refuse to start with an image every
// board would fail on, and name in each record the image its board got.
#ifndef FLASHPREP_STATION_DRIVER_IMAGE_H_
#define FLASHPREP_STATION_DRIVER_IMAGE_H_

#include <string>

#include "records/record.h"

// The image as a record names it.
using DriverImage = RecordImage;

// Reads `path` as the run does and fills `image`. True when the run would
// load it and send at least one driver block; false, with the reason in
// `error` ("cannot read serial_flash.S19: No such file or directory",
// "serial_flash.S19 has a record whose checksum is wrong", "serial_flash.S19
// holds no byte of the driver RAM"), otherwise. `image` is filled as far as
// the file allows either way.
bool read_driver_image(const std::string& path, DriverImage* image, std::string* error);

#endif  // FLASHPREP_STATION_DRIVER_IMAGE_H_
