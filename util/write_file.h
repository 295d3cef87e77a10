// Writing a whole file at once: the driver images the tools and tests make,
// the maps and pages of flashprep-summary, the simulated board's state.
#ifndef FLASHPREP_UTIL_WRITE_FILE_H_
#define FLASHPREP_UTIL_WRITE_FILE_H_

#include <cstddef>
#include <string>

// Writes `size` bytes from `data` to `path`, replacing any file there, as
// bytes (no line ends changed, so that the file is the same on every
// system). True when every byte was written and the file closed cleanly; a
// file left part-written is not removed.
bool write_file(const std::string& path, const void* data, size_t size);

inline bool write_file(const std::string& path, const std::string& bytes) {
  return write_file(path, bytes.data(), bytes.size());
}

#endif  // FLASHPREP_UTIL_WRITE_FILE_H_
