// flashprep-station [--watch] [--logs DIR] [--results FILE]: prepares every
// board plugged in, all at once, each in a process of its own (the program
// started again with --run-board BUS DEVICE, its standard output on the
// board's log); watching, every board plugged in later too.
#include <iostream>
#include <string>

#include "app/interrupt.h"
#include "station/host.h"
#include "station/station.h"

namespace {

void print_help(std::ostream& out) {
  out << "usage: flashprep-station [--watch] [--logs DIR] [--results FILE]\n"
         "\n"
         "Prepares the serial flash of every board plugged in when it starts, all at\n"
         "the same time, each exactly as flashprep would prepare it alone (with\n"
         "serial_flash.S19 from the working folder). A board is named by the USB\n"
         "port it is plugged into (Linux: its sysfs name, such as 1-1.3), otherwise\n"
         "by its libusb bus and device names. What flashprep would print for a board\n"
         "goes to DIR/NAME.log (DIR: station-logs by default); flashprep-summary\n"
         "reads it, and the station judges each board by the same rules.\n"
         "\n"
         "On a terminal it shows one line per board and a closing table; otherwise\n"
         "one line per event:\n"
         "  FOUND NAME | STARTED NAME LOG | NOT STARTED NAME: WHY\n"
         "  STOPPING ON SIGNAL N | FINISHED NAME SECONDS VERDICT[: FIRST REASON]\n"
         "  DONE R READY, N NOT READY | NO BOARD FOUND\n"
         "\n"
         "--watch keeps it running: it looks for boards about once a second and\n"
         "prepares each board plugged in once; a board left plugged is not prepared\n"
         "again, one pulled out and plugged in again is. Each run's log is then\n"
         "DIR/NAME.YYYYMMDDTHHMMSSZ.log (its start in UTC; -2, -3... when taken),\n"
         "and a board pulled out prints UNPLUGGED NAME.\n"
         "\n"
         "--results FILE appends one JSON line per finished board: board, start,\n"
         "end (UTC, ISO 8601), seconds, verdict, reasons, log, version.\n"
         "\n"
         "SIGINT, SIGTERM and SIGHUP are passed on to every board, which ends its\n"
         "exchange, writes its line and closes; the station then ends by that signal.\n"
         "\n"
         "Exit status: 0 every board READY, 1 a board NOT READY, 2 no board found\n"
         "(not when watching), a bad command line, or logs or results unwritable.\n";
}

int usage_error(const std::string& message) {
  std::cerr << "flashprep-station: " << message << "\n"
            << "usage: flashprep-station [--watch] [--logs DIR] [--results FILE]"
               "   (--help tells more)\n";
  return kNoBoardOrUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == kRunBoardOption) {
    const int request = run_board(UsbPlace{argv[2], argv[3]});
    if (request != 0)
      end_by_interrupt(request);
    return 0;
  }
  StationOptions options;
  options.version = FLASHPREP_VERSION;
  bool watch = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_help(std::cout);
      return 0;
    }
    if (arg == "--version") {
      std::cout << "flashprep-station " << FLASHPREP_VERSION << "\n";
      return 0;
    }
    if (arg == "--logs") {
      if (++i == argc || std::string(argv[i]).empty())
        return usage_error("--logs needs a DIR");
      options.logs = argv[i];
    } else if (arg == "--results") {
      if (++i == argc || std::string(argv[i]).empty())
        return usage_error("--results needs a FILE");
      options.results = argv[i];
    } else if (arg == "--watch") {
      watch = true;
    } else {
      return usage_error("unknown argument " + arg);
    }
  }
  options.program = own_program_path();
  if (options.program.empty())
    options.program = argv[0];
  int request = 0;
  const int status =
      watch ? run_watch(options, std::cout, &request) : run_station(options, std::cout, &request);
  if (request != 0)
    end_by_interrupt(request);
  return status;
}
