// flashprep: prepares the serial flash of the attached board. Reads
// serial_flash.S19 from the working directory. Without arguments it runs;
// -h, --help and --version only print, and anything else is refused: none
// of them touches USB, so that asking a tool that erases a board for help,
// or mistyping an option, never prepares one.
#include <iostream>
#include <string>
#include <vector>

#include "app/flashprep_run.h"
#include "app/interrupt.h"
#include "util/command_line.h"

int main(int argc, char** argv) {
  const ProgramSyntax syntax = {
      "flashprep",
      {""},
      0,
      "Without arguments, prepares the serial flash of the first board plugged in\n"
      "(USB 15a2:0040): checks its bootloader, downloads the driver from\n"
      "serial_flash.S19 in the current folder, initialises the flash, formats\n"
      "blocks 0-2527 and 2560-4095 and writes the checksum tables from block 2528.\n"
      "It prints one fixed upper-case line per step (man flashprep tells what each\n"
      "means; flashprep-summary judges them) and exits with 0 whatever happened to\n"
      "the board. SIGINT, SIGTERM and SIGHUP stop it between two exchanges.\n"};
  const CommandLine command = read_command_line(syntax, argc, argv);
  if (!command.run)
    return command.status;
  // A lone `--` is an argument too: flashprep runs only when given none.
  if (argc > 1)
    return refuse_command_line(syntax, std::string("unexpected argument ") + argv[1]);

  const int interrupt = run_flashprep(std::cout);
  if (interrupt != 0)
    end_by_interrupt(interrupt);
  // Not stopped, so a failing stream is output that was lost (a full disk,
  // /dev/full): said once where it can still be seen. The status stays 0.
  if (!std::cout.flush())
    std::cerr << "flashprep: cannot write standard output" << std::endl;
  return 0;
}
