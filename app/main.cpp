// flashprep: prepares the serial flash of the attached board. Reads
// serial_flash.S19 from the working directory. Without arguments it runs;
// --help and --version only print, and anything else is refused: none of
// them touches USB, so that asking a tool that erases a board for help, or
// mistyping an option, never prepares one.
#include <cstring>
#include <iostream>

#include "app/flashprep_run.h"
#include "app/interrupt.h"

namespace {

constexpr const char kUsage[] = "usage: flashprep [--help | --version]\n";

void print_help() {
  std::cout << kUsage
            << "\n"
               "Without arguments, prepares the serial flash of the first board plugged in\n"
               "(USB 15a2:0040): checks its bootloader, downloads the driver from\n"
               "serial_flash.S19 in the current folder, initialises the flash, formats\n"
               "blocks 0-2527 and 2560-4095 and writes the checksum tables from block 2528.\n"
               "It prints one fixed upper-case line per step (man flashprep tells what each\n"
               "means; flashprep-summary judges them) and exits with 0 whatever happened to\n"
               "the board. SIGINT, SIGTERM and SIGHUP stop it between two exchanges.\n"
               "\n"
               "  --help     this text\n"
               "  --version  the version\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      print_help();
      return std::cout.flush() ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::cout << "flashprep " << FLASHPREP_VERSION << "\n";
      return std::cout.flush() ? 0 : 1;
    }
    // The first argument that cannot stand where it is.
    const bool option =
        std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0;
    std::cerr << "flashprep: unexpected argument " << argv[option ? 2 : 1] << "\n" << kUsage;
    return 2;
  }
  const int interrupt = run_flashprep(std::cout);
  if (interrupt != 0)
    end_by_interrupt(interrupt);
  // Not stopped, so a failing stream is output that was lost (a full disk,
  // /dev/full): said once where it can still be seen. The status stays 0.
  if (!std::cout.flush())
    std::cerr << "flashprep: cannot write standard output" << std::endl;
  return 0;
}
