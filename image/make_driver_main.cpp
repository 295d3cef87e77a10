// flashprep-make-driver: writes a made-up driver image as S3 records, for
// demos and tests that need a driver file without the real one.
//
//   flashprep-make-driver PATH [BYTES [START_HEX]]
//   flashprep-make-driver --help | --version
//
// The content is a fixed pseudo-random sequence, so that the image looks like
// code (no long constant runs) and is the same on every run.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/srecord_writer.h"

namespace {

constexpr unsigned long kDefaultBytes = 4000;
constexpr uint32_t kDefaultStart = 0x20000000;
constexpr unsigned long kMaxBytes = 16ul << 20;  // far above any driver
constexpr size_t kBytesPerRecord = 32;

// Parses all of `text` in `base`; false on junk, a sign, or overflow.
bool parse_number(const char* text, int base, unsigned long* value) {
  if (*text == '\0' || *text == '-' || *text == '+')
    return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtoul(text, &end, base);
  return errno == 0 && *end == '\0';
}

constexpr const char kUsage[] = "usage: flashprep-make-driver PATH [BYTES [START_HEX]]\n";

// A bad command line: exit status 2, as for the other helper programs.
int usage(const char* message) {
  std::fprintf(stderr, "flashprep-make-driver: %s\n%s", message, kUsage);
  return 2;
}

void print_help() {
  std::printf(
      "%s\n"
      "Writes PATH (serial_flash.S19 for flashprep): a made-up driver image of\n"
      "BYTES bytes (default 4000) from address START_HEX (default 20000000), as\n"
      "S3 records. The bytes are the same on every run. For rehearsals with the\n"
      "simulated board; a real board needs the real driver.\n"
      "\n"
      "--help prints this text, --version the version.\n",
      kUsage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    print_help();
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("flashprep-make-driver %s\n", FLASHPREP_VERSION);
    return 0;
  }
  if (argc < 2 || argc > 4)
    return usage("wrong number of arguments");
  // A path that starts with '-' is most likely a mistyped option: write no
  // file by that name (./-name still does).
  if (argv[1][0] == '-')
    return usage((std::string("unknown option ") + argv[1]).c_str());
  unsigned long bytes = kDefaultBytes;
  unsigned long start = kDefaultStart;
  if (argc > 2 && (!parse_number(argv[2], 10, &bytes) || bytes == 0 || bytes > kMaxBytes)) {
    return usage("BYTES must be a decimal number from 1 to 16777216");
  }
  if (argc > 3 && (!parse_number(argv[3], 16, &start) || start > 0xFFFFFFFFul)) {
    return usage("START_HEX must be a 32-bit hexadecimal address");
  }
  if (uint64_t{start} + bytes - 1 > 0xFFFFFFFFu)
    return usage("the image runs past address FFFFFFFF");

  // xorshift32: cheap, fixed and good enough to avoid visible patterns.
  std::vector<uint8_t> image(bytes);
  uint32_t state = 0x2545F491u;
  for (uint8_t& b : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }

  const uint32_t address = static_cast<uint32_t>(start);
  const std::string text =
      srecord::header_record("flashprep sample driver") +
      srecord::data_records(4, address, image.data(), image.size(), kBytesPerRecord) +
      srecord::terminator_record(4, address);
  if (!srecord::write_file(argv[1], text)) {
    std::fprintf(stderr, "flashprep-make-driver: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
