#include "sim/scenario_names.h"

#include <algorithm>
#include <iterator>

#include "sim/environment.h"

namespace sim {
namespace {

// Every variable that the board, its launcher or its library reads. A new
// one is added here, and in kScenarioHelp when users set it.
const char* const kKnownNames[] = {
    "FLASHPREP_SIM_BOARD",
    "FLASHPREP_SIM_REFUSE",
    "FLASHPREP_SIM_BOOTLOADER",
    "FLASHPREP_SIM_VERSION",
    "FLASHPREP_SIM_SERIAL",
    "FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS",
    "FLASHPREP_SIM_REFUSE_INIT",
    "FLASHPREP_SIM_FORMAT_REQUEST_FAILS",
    "FLASHPREP_SIM_FORMAT_REPLY_FAILS",
    "FLASHPREP_SIM_SHORT_REPLY",
    "FLASHPREP_SIM_OVERSIZED_REPLY",
    "FLASHPREP_SIM_REFUSE_WRITES",
    "FLASHPREP_SIM_WEAK_SEED",
    "FLASHPREP_SIM_FORMAT_DELAY_MS",
    "FLASHPREP_SIM_FORMAT_DELAY_BLOCKS",
    "FLASHPREP_SIM_HOLD_FILE",
    "FLASHPREP_SIM_HOLD_BLOCKS",
    "FLASHPREP_SIM_PENDING_REPLY",
    "FLASHPREP_SIM_UNPLUG_AFTER",
    "FLASHPREP_SIM_FAULT",
    "FLASHPREP_SIM_REAL_TIMEOUTS",
    "FLASHPREP_SIM_FLASH",
    "FLASHPREP_SIM_STATE",
    "FLASHPREP_SIM_TRACE",
    "FLASHPREP_SIM_BOARDS",
    "FLASHPREP_SIM_BUS",
    "FLASHPREP_SIM_DEVNUM",
    "FLASHPREP_SIM_HELP",     // the library prints the variables
    "FLASHPREP_SIM_LIBRARY",  // the launcher's choice of library
};

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string closest_scenario_name(const std::string& name) {
  return *std::min_element(std::begin(kKnownNames), std::end(kKnownNames),
                           [&](const char* a, const char* b) {
                             return edit_distance(name, a) < edit_distance(name, b);
                           });
}

bool check_scenario_names(const std::vector<std::string>& set_names, std::string* error) {
  for (const std::string& name : set_names) {
    const bool known = std::any_of(std::begin(kKnownNames), std::end(kKnownNames),
                                   [&](const char* k) { return name == k; });
    if (!known) {
      *error = "unknown variable " + name + " (did you mean " + closest_scenario_name(name) + "? " +
               kHelpHint + " lists them)";
      return false;
    }
  }
  return true;
}

}  // namespace sim
