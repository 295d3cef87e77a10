#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

#include "app/flashprep_run.h"
#include "util/write_file.h"

std::vector<sim::CallRecord> transfers() {
  std::vector<sim::CallRecord> out;
  for (const sim::CallRecord& c : sim::world().calls())
    if (c.name == "usb_bulk_write" || c.name == "usb_bulk_read")
      out.push_back(c);
  return out;
}

Bytes header(uint16_t n) {
  return {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
}

ScratchDir::ScratchDir() {
  // Random names until one is free (mkdtemp is POSIX only); create_directory
  // fails on a name that already exists, so two tests never share a folder.
  static std::mt19937_64 names(std::random_device{}());
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path p =
        std::filesystem::temp_directory_path() / ("flashprep-test-" + std::to_string(names()));
    std::error_code error;
    if (std::filesystem::create_directory(p, error))
      path_ = p.string();
  }
}

ScratchDir::~ScratchDir() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

bool ScratchDir::write(const std::string& name, const std::string& text) const {
  return write_file(file(name), text);
}

std::string run_in(const std::string& dir, int expected) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  std::ostringstream out;
  // The board notes how much of the output is out at each transfer; asked of
  // the buffer, since a stopped run leaves the stream itself failing.
  sim::world().note_output([&out] {
    return static_cast<long>(out.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::out));
  });
  const int result = run_flashprep(out);
  sim::world().note_output(nullptr);
  std::filesystem::current_path(previous);
  EXPECT_EQ(result, expected);
  return out.str();
}
