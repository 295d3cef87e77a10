#include "station/driver_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "image/driver_file.h"
#include "station/sha256.h"

namespace {

std::string hex(uint32_t value) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

bool read_driver_image(const std::string& path, DriverImage* image, std::string* error) {
  *image = DriverImage();
  image->file = path;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  image->sha256 = sha256_hex(bytes);
  std::unique_ptr<SRecordImage> loaded;
  if (!load_image_file(loaded, path.c_str())) {
    *error = loaded == nullptr ? "cannot read " + path + ": " + std::strerror(errno)
                               : path + " has a record whose checksum is wrong";
    return false;
  }
  int first = 0;
  image->bytes = loaded->byte_count();
  image->start = hex(loaded->low_address());
  image->end = hex(loaded->high_address());
  image->blocks = driver_blocks(*loaded, &first);
  if (image->blocks == 0) {
    *error = path + " holds no byte of the driver RAM";
    return false;
  }
  return true;
}
