// The FLASHPREP_SIM_* names the simulated board knows, in one list, so that
// a misspelt one is refused rather than silently ignored.
#ifndef FLASHPREP_SIM_SCENARIO_NAMES_H_
#define FLASHPREP_SIM_SCENARIO_NAMES_H_

#include <string>
#include <vector>

namespace sim {

// True when every name in `set_names` (the FLASHPREP_SIM_* variables of the
// environment) is known; false for the first that is not, with a message in
// `error` naming the closest known name.
bool check_scenario_names(const std::vector<std::string>& set_names, std::string* error);

// The known name nearest to `name` (fewest single-letter edits).
std::string closest_scenario_name(const std::string& name);

}  // namespace sim

#endif  // FLASHPREP_SIM_SCENARIO_NAMES_H_
