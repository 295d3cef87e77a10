// flashprep-station [--watch] [--logs DIR] [--results FILE] [--station NAME]:
// prepares every board plugged in, all at once, each in a process of its own
// (the program started again with --run-board BUS DEVICE, its standard output
// on the board's log); watching, every board plugged in later too.
#include <iostream>
#include <string>

#include "app/interrupt.h"
#include "station/host.h"
#include "station/station.h"

namespace {

constexpr const char* kUsage =
    "usage: flashprep-station [--watch] [--logs DIR] [--results FILE] [--station NAME]";

void print_help(std::ostream& out) {
  out << kUsage
      << "\n"
         "\n"
         "Prepares the serial flash of every board plugged in when it starts, all at\n"
         "the same time, each exactly as flashprep would prepare it alone (with\n"
         "serial_flash.S19 from the working folder, which is checked first: the\n"
         "station does not start with an image the run would not load). A board is\n"
         "named by the USB port it is plugged into (Linux: its sysfs name, such as\n"
         "1-1.3), otherwise by its libusb bus and device names. Each run writes what\n"
         "flashprep would print for that board to a new file of its own,\n"
         "DIR/NAME.YYYYMMDDTHHMMSSZ.log (its start in UTC; _2, _3... when taken), and\n"
         "its process's own messages to the same name ending in .err (removed when\n"
         "empty); DIR is station-logs by default. The latest log of a board is the\n"
         "last of DIR/NAME.????????T??????Z*.log in name order. flashprep-summary\n"
         "reads a log, and the station judges each board by the same rules.\n"
         "\n"
         "One station at a time uses a logs folder (it holds\n"
         "DIR/.flashprep-station.lock) and a results file; a second is refused.\n"
         "\n"
         "On a terminal it shows one line per board, an overall line and a closing\n"
         "table; otherwise one line per event:\n"
         "  FOUND NAME | STARTED NAME LOG | NOT STARTED NAME: WHY\n"
         "  STOPPING ON SIGNAL N | FINISHED NAME SECONDS VERDICT[: FIRST REASON]\n"
         "  RECORD NOT WRITTEN NAME: WHY | RECORDS WRITTEN N\n"
         "  DONE R READY, N NOT READY | NO BOARD FOUND\n"
         "and, watching, UNPLUGGED NAME and ALREADY PREPARED NAME.\n"
         "The verdict is flashprep-summary's, with what only the station knows\n"
         "first: UNPLUGGED, STOPPED BY SIGNAL N, LOG NOT WRITTEN: WHY, NOT STARTED:\n"
         "WHY, ENDED BY SIGNAL N, NOT WAITED FOR.\n"
         "\n"
         "--watch keeps it running: it looks for boards about once a second and\n"
         "prepares each board plugged in once; a board left plugged is not prepared\n"
         "again, one pulled out and plugged in again is; started again in the same\n"
         "boot with the same --results, it does not prepare again a board it\n"
         "prepared before that is still plugged.\n"
         "\n"
         "--results FILE appends one JSON line per finished board (schema 2:\n"
         "board, start, end, seconds, verdict, reasons, log, version, schema,\n"
         "station, port, bus, device, devnum, boot, serial, image, counts,\n"
         "failed_blocks). A record that cannot be written is kept and written\n"
         "again; watching, no board is started while records wait.\n"
         "--station NAME names the station in the records (default: the host name).\n"
         "\n"
         "SIGINT, SIGTERM and SIGHUP are passed on to every board, which ends its\n"
         "exchange, writes its line and closes; the station then ends by that signal.\n"
         "A second one ends the station at once, every board's record written.\n"
         "\n"
         "Exit status: 0 every board READY, 1 a board NOT READY, 2 no board found\n"
         "(not when watching), a bad command line, a driver image the run would not\n"
         "load, a logs folder or results file that cannot be written or is held by\n"
         "another station, or a record never written.\n";
}

int usage_error(const std::string& message) {
  std::cerr << "flashprep-station: " << message << "\n" << kUsage << "   (--help tells more)\n";
  return kCannotRun;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == kRunBoardOption) {
    int request = 0;
    const int status = run_board(UsbPlace{argv[2], argv[3], 0}, &request);
    if (request != 0)
      end_by_interrupt(request);
    return status;
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
    } else if (arg == "--station") {
      if (++i == argc || std::string(argv[i]).empty())
        return usage_error("--station needs a NAME");
      options.station = argv[i];
    } else if (arg == "--watch") {
      watch = true;
    } else {
      return usage_error("unknown argument " + arg);
    }
  }
  if (options.station.empty())
    options.station = host_name();
  if (options.station.empty())
    options.station = "unknown";
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
