// What differs between the systems the simulated board runs on, for its
// set-up: how the environment is listed and how a user asks for the list of
// variables there.
#ifndef FLASHPREP_SIM_ENVIRONMENT_H_
#define FLASHPREP_SIM_ENVIRONMENT_H_

#include <string>
#include <vector>

namespace sim {

// The names of the process's environment variables that start with
// FLASHPREP_SIM_, in the environment's order.
std::vector<std::string> scenario_variables_set();

// False when the file `path` is there and this process may not write it
// (a board's device node, USB_DEVFS_PATH/BUS/NAME, that udev has not given
// to a group of the process's yet).
bool may_write(const std::string& path);

// How a user gets the list of variables: "flashprep-sim --help" on Linux,
// where the launcher prints it; "set FLASHPREP_SIM_HELP=1" on Windows, whose
// zip has the board's libusb0.dll and no launcher.
extern const char kHelpHint[];

}  // namespace sim

#endif  // FLASHPREP_SIM_ENVIRONMENT_H_
