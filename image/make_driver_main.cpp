// flashprep-make-driver: writes a made-up driver image as S3 records, for
// demos and tests that need a driver file without the real one.
//
//   flashprep-make-driver PATH [BYTES [START_HEX]]
//
// The content is a fixed pseudo-random sequence, so that the image looks like
// code (no long constant runs) and is the same on every run.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/board_facts.h"
#include "image/srecord_writer.h"
#include "util/command_line.h"
#include "util/write_file.h"

namespace {

constexpr unsigned long kDefaultBytes = 4000;
constexpr uint32_t kDefaultStart = kDriverRamFirst;
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

}  // namespace

int main(int argc, char** argv) {
  const ProgramSyntax syntax = {
      "flashprep-make-driver",
      {"PATH [BYTES [START_HEX]]"},
      3,
      "Writes PATH (serial_flash.S19 for flashprep): a made-up driver image of\n"
      "BYTES bytes (default 4000) from address START_HEX (default 20000000), as\n"
      "S3 records. The bytes are the same on every run. For rehearsals with the\n"
      "simulated board; a real board needs the real driver.\n"};
  const CommandLine command = read_command_line(syntax, argc, argv);
  if (!command.run)
    return command.status;
  const std::vector<CommandLineArg>& args = command.args;
  if (args.empty())
    return refuse_command_line(syntax, "no PATH to write");
  unsigned long bytes = kDefaultBytes;
  unsigned long start = kDefaultStart;
  if (args.size() > 1 &&
      (!parse_number(args[1].value.c_str(), 10, &bytes) || bytes == 0 || bytes > kMaxBytes))
    return refuse_command_line(syntax, "BYTES must be a decimal number from 1 to 16777216");
  if (args.size() > 2 && (!parse_number(args[2].value.c_str(), 16, &start) || start > 0xFFFFFFFFul))
    return refuse_command_line(syntax, "START_HEX must be a 32-bit hexadecimal address");
  if (uint64_t{start} + bytes - 1 > 0xFFFFFFFFu)
    return refuse_command_line(syntax, "the image runs past address FFFFFFFF");
  const std::string& path = args[0].value;

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
  if (!write_file(path, text)) {
    std::fprintf(stderr, "flashprep-make-driver: cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}
