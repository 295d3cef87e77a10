#include "bench/bench_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "board/board_facts.h"
#include "image/srecord_image.h"
#include "image/srecord_writer.h"
#include "util/write_file.h"

namespace bench {
namespace {

constexpr uint32_t kDriverRam = kDriverRamFirst;
constexpr long kFormats = 2528 + 1536;  // blocks 0-2527 and 2560-4095
constexpr long kTableWrites = 10 + 7;   // 9 full tables + 1 closing, 6 + 1
// Transfers of one request without reply (header + body) and with one.
constexpr long kSend = 2;
constexpr long kExchange = 4;

}  // namespace

RunFigures expected_run(size_t driver_bytes) {
  const long blocks = static_cast<long>((driver_bytes + kBlockBytes - 1) / kBlockBytes);
  RunFigures f;
  // identify, driver blocks, flash init, formats, table writes.
  f.transfers = kExchange + kSend * blocks + kSend + kExchange * kFormats + kSend * kTableWrites;
  // Four summary lines, one per driver block, one per formatted block.
  f.lines = 4 + blocks + kFormats;
  return f;
}

std::vector<uint8_t> sample_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t state = seed | 1u;
  for (uint8_t& b : out) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }
  return out;
}

std::string full_region_text(int32_t flash_image, int32_t s1_records, size_t per_record,
                             uint32_t variant) {
  const ImageLayout& layout = ImageLayout::choose(flash_image, s1_records);
  const int address_bytes = s1_records != 0 ? 2 : 4;
  const size_t bytes = layout.region_last - layout.region_first + 1;
  const std::vector<uint8_t> data =
      sample_bytes(bytes, 0x9E3779B9u * (variant + 1) + layout.region_first);
  return srecord::header_record("flashprep benchmark image") +
         srecord::data_records(address_bytes, layout.region_first, data.data(), data.size(),
                               per_record) +
         srecord::terminator_record(address_bytes, layout.region_first);
}

std::string driver_text(size_t bytes) {
  const std::vector<uint8_t> data = sample_bytes(bytes, 0x2545F491u);
  return srecord::header_record("flashprep benchmark driver") +
         srecord::data_records(4, kDriverRam, data.data(), data.size(), 32) +
         srecord::terminator_record(4, kDriverRam);
}

DriverFolder::DriverFolder(size_t driver_bytes) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/flashprep-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    return;
  path_ = pattern;
  ok_ = write_file(path_ + "/serial_flash.S19", driver_text(driver_bytes));
}

DriverFolder::~DriverFolder() {
  if (path_.empty())
    return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

WorkingDirectory::WorkingDirectory(const std::string& dir) {
  std::error_code error;
  previous_ = std::filesystem::current_path(error).string();
  if (error)
    return;
  std::filesystem::current_path(dir, error);
  ok_ = !error;
}

WorkingDirectory::~WorkingDirectory() {
  if (!ok_)
    return;
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

long count_lines(const std::string& text) {
  long n = 0;
  for (char c : text)
    n += c == '\n';
  return n;
}

std::string check_run_output(const std::string& text, size_t driver_bytes) {
  const RunFigures want = expected_run(driver_bytes);
  const long lines = count_lines(text);
  if (lines != want.lines)
    return "output has " + std::to_string(lines) + " lines, want " + std::to_string(want.lines);
  if (text.find("FAIL") != std::string::npos)
    return "output holds a FAIL line";
  const long blocks = want.lines - 4 - kFormats;
  char summary[160];
  std::snprintf(summary, sizeof summary,
                "BYTES  : %zu\nSTART  : %X\nEND    : %X\nBLOCKS : %ld\nBLOCK 0 DOWNLOADED\n",
                driver_bytes, kDriverRam, static_cast<unsigned>(kDriverRam + driver_bytes - 1),
                blocks);
  if (text.compare(0, std::string(summary).size(), summary) != 0)
    return "summary differs: " + text.substr(0, 80);
  const std::string last = "\nBLOCK 4095 FORMATTED\n";
  if (text.size() < last.size() || text.compare(text.size() - last.size(), last.size(), last) != 0)
    return "last line is not BLOCK 4095 FORMATTED";
  return "";
}

}  // namespace bench
