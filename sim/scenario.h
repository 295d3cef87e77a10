// Scenarios of the simulated board, chosen by FLASHPREP_SIM_* environment
// variables, and the files a simulated run reads and leaves behind.
#ifndef FLASHPREP_SIM_SCENARIO_H_
#define FLASHPREP_SIM_SCENARIO_H_

#include <functional>
#include <set>
#include <string>

#include "sim/sim_usb.h"

namespace sim {

// Where a run's board state lives outside the process.
struct ScenarioFiles {
  std::string flash;   // FLASHPREP_SIM_FLASH: flash contents kept between runs
  std::string state;   // FLASHPREP_SIM_STATE: folder that receives the board state at exit
  std::string trace;   // FLASHPREP_SIM_TRACE: usbmon pcap of every transfer
  std::string boards;  // FLASHPREP_SIM_BOARDS: a folder of boards (sim/board_folder.h)
};

using Getenv = std::function<const char*(const char*)>;

// Resets `usb` and sets it up from the variables that `get` returns (null for
// unset). False, with a message in `error`, for a value that cannot be used;
// `usb` is then left as a healthy default board.
bool configure_from_environment(SimUsb& usb, const Getenv& get, ScenarioFiles* files,
                                std::string* error);

// Parses "3", "0-7,12", "all" (every block 0..4095) into `out`.
bool parse_block_list(const std::string& text, std::set<int>* out);

// The variables and their values, for `flashprep-sim --help`.
extern const char kScenarioHelp[];

// Board state files: ram.bin (8 KiB driver RAM), flash.bin (4096 x 256
// bytes) and events.txt (one line per driver request carried out).
bool write_state(const Board& board, const std::string& folder);
bool load_flash(Board& board, const std::string& path);
bool save_flash(const Board& board, const std::string& path);

// What every front end of the board does with `files`, saying on stderr,
// after `program`, what went wrong. open_files(): checks every file first
// (their folders exist, an existing flash file is a flash image: 1 MiB),
// then loads the flash file (a missing one is a new board) and starts the
// trace; false, with one message, when a file cannot be used, nothing then
// read or written. save_files(): writes the flash file and the state
// folder; false when one of them could not be written.
bool open_files(SimUsb& usb, const ScenarioFiles& files, const char* program);
// The check open_files() makes, alone: false, with the reason in `error`,
// when one of the files cannot be used.
bool files_usable(const ScenarioFiles& files, std::string* error);
bool save_files(const Board& board, const ScenarioFiles& files, const char* program);

}  // namespace sim

#endif  // FLASHPREP_SIM_SCENARIO_H_
