// flashprep-station [--watch] [--logs DIR] [--results FILE] [--station NAME]:
// prepares every board plugged in, all at once, each in a process of its own
// (the program started again with --run-board BUS DEVICE, its standard output
// on the board's log); watching, every board plugged in later too.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "app/interrupt.h"
#include "station/host.h"
#include "station/station.h"
#include "util/command_line.h"

namespace {

enum Option { kWatch = 1, kLogs, kResults, kStation };

ProgramSyntax station_syntax() {
  return {"flashprep-station",
          {"[--watch] [--logs DIR] [--results FILE] [--station NAME]"},
          0,
          "Prepares the serial flash of every board plugged in when it starts, all at\n"
          "the same time, each exactly as flashprep would prepare it alone (with\n"
          "serial_flash.S19 from the working folder, which is checked first: the\n"
          "station does not start with an image the run would not load). A board is\n"
          "named by the USB port it is plugged into (Linux: its sysfs name, such as\n"
          "1-1.3), otherwise by its libusb bus and device names. Each run writes what\n"
          "flashprep would print for that board to a new file of its own,\n"
          "DIR/NAME.YYYYMMDDTHHMMSSZ.log (its start in UTC; _2, _3... when taken), and\n"
          "its process's own messages to the same name ending in .err (removed when\n"
          "empty). The latest log of a board is the last of\n"
          "DIR/NAME.????????T??????Z*.log in name order. flashprep-summary reads a\n"
          "log, and the station judges each board by the same rules.\n"
          "\n"
          "One station at a time uses a logs folder (it holds\n"
          "DIR/.flashprep-station.lock) and a results file; a second is refused.\n"
          "\n"
          "Each board costs the station a process and an open file: they are counted\n"
          "against the system's limits before any board starts (a soft limit raised to\n"
          "the hard one where it helps).\n"
          "\n"
          "On a terminal it shows one line per board (a grid of cells, those that need\n"
          "a person first, when the lines would not fit), an overall line and a\n"
          "closing table; otherwise one line per event:\n"
          "  FOUND NAME | STARTED NAME LOG | NOT STARTED NAME: WHY\n"
          "  STOPPING ON SIGNAL N | FINISHED NAME SECONDS VERDICT[: FIRST REASON]\n"
          "  RECORD NOT WRITTEN NAME: WHY | RECORDS WRITTEN N\n"
          "  BUS FULL BUS: N devices, every address taken; a board plugged in there is\n"
          "  not seen\n"
          "  DONE R READY, N NOT READY | NO BOARD FOUND\n"
          "and, watching, UNPLUGGED NAME and ALREADY PREPARED NAME.\n"
          "The verdict is flashprep-summary's, with what only the station knows\n"
          "first: UNPLUGGED, STOPPED BY SIGNAL N, LOG NOT WRITTEN: WHY, NOT STARTED:\n"
          "WHY, ENDED BY SIGNAL N, NOT WAITED FOR.\n",
          {
              {kWatch, "watch", nullptr,
               "keeps it running: it looks for boards about once a second and prepares each "
               "board plugged in once; a board left plugged is not prepared again, one pulled "
               "out and plugged in again is; started again in the same boot with the same "
               "--results, it does not prepare again a board it prepared before that is still "
               "plugged"},
              {kLogs, "logs", "DIR", "the folder of the boards' logs (default: station-logs)"},
              {kResults, "results", "FILE",
               "appends one JSON line per finished board (schema 2: board, start, end, seconds, "
               "verdict, reasons, log, version, schema, station, port, bus, device, devnum, boot, "
               "serial, image, counts, failed_blocks). A record that cannot be written is kept "
               "and written again; watching, no board is started while records wait"},
              {kStation, "station", "NAME",
               "names the station in the records (default: the host name)"},
          },
          "SIGINT, SIGTERM and SIGHUP are passed on to every board, which ends its\n"
          "exchange, writes its line and closes; the station then ends by that signal.\n"
          "A second one ends the station at once, every board's record written.\n"
          "\n"
          "Exit status: 0 every board READY, 1 a board NOT READY or BUSY, 2 no board\n"
          "found (not when watching), a bad command line, a driver image the run would\n"
          "not load, more boards than the system's limits allow at once (not when\n"
          "watching: a board waits for room), or a record never written; 3 a logs\n"
          "folder or results file that cannot be written now or is held by another\n"
          "station.\n"};
}

// True when `text` holds a control character (a newline, an escape...): a
// name that would put a line, or a terminal's command, of its own into the
// station's events, its records' readers' reports or the journal.
bool has_control_character(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

int main(int argc, char** argv) {
  // Not a user's option: the station starts itself so for each board.
  if (argc == 4 && std::string(argv[1]) == kRunBoardOption) {
    stop_when_station_ends();
    int request = 0;
    const int status = run_board(UsbPlace{argv[2], argv[3], 0}, &request);
    if (request != 0)
      end_by_interrupt(request);
    return status;
  }
  const ProgramSyntax syntax = station_syntax();
  const CommandLine command = read_command_line(syntax, argc, argv);
  if (!command.run)
    return command.status;
  const std::vector<CommandLineArg>& args = command.args;
  StationOptions options;
  options.version = FLASHPREP_VERSION;
  bool watch = false;
  for (const CommandLineArg& arg : args) {
    if (arg.id == kWatch)
      watch = true;
    else if (arg.id == kLogs)
      options.logs = arg.value;
    else if (arg.id == kResults)
      options.results = arg.value;
    else if (arg.id == kStation)
      options.station = arg.value;
  }
  for (const auto& [option, value] :
       {std::pair<const char*, const std::string&>{"--logs", options.logs},
        {"--results", options.results},
        {"--station", options.station}})
    if (has_control_character(value))
      return refuse_command_line(syntax, std::string(option) + " has a control character");
  if (options.station.empty())
    options.station = host_name();
  if (options.station.empty())
    options.station = "unknown";
  options.program = own_program_path();
  if (options.program.empty())
    options.program = argv[0];
  options.program_file = own_program();
  if (options.program_file.empty())
    options.program_file = options.program;
  survive_closed_output();
  int request = 0;
  const int status =
      watch ? run_watch(options, std::cout, &request) : run_station(options, std::cout, &request);
  if (request != 0)
    end_by_interrupt(request);
  return status;
}
