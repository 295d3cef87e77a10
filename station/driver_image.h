// The driver image a station's boards are prepared with, read by the run's
// own loader, so that the station can refuse to start with an image every
// board would fail on, and name in each record the image its board got.
#ifndef FLASHPREP_STATION_DRIVER_IMAGE_H_
#define FLASHPREP_STATION_DRIVER_IMAGE_H_

#include <cstdint>
#include <string>

struct DriverImage {
  std::string file;    // the file's name, as the run opens it
  std::string sha256;  // of the file's bytes
  // The run's summary of it: BYTES, START, END (hexadecimal, as printed)
  // and BLOCKS.
  uint32_t bytes = 0;
  std::string start;
  std::string end;
  int blocks = 0;
};

// Reads `path` as the run does and fills `image`. True when the run would
// load it and send at least one driver block; false, with the reason in
// `error` ("cannot read serial_flash.S19: No such file or directory",
// "serial_flash.S19 has a record whose checksum is wrong", "serial_flash.S19
// holds no byte of the driver RAM"), otherwise. `image` is filled as far as
// the file allows either way.
bool read_driver_image(const std::string& path, DriverImage* image, std::string* error);

#endif  // FLASHPREP_STATION_DRIVER_IMAGE_H_
