// Windows: the environment block comes from the system, and the zip has no
// launcher, so help is asked for with a variable.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <memory>

#include "sim/environment.h"

namespace sim {
namespace {

struct FreeEnvironmentBlock {
  void operator()(char* block) const {
    (void)FreeEnvironmentStringsA(block);  // nothing to do if it fails
  }
};

}  // namespace

const char kHelpHint[] = "set FLASHPREP_SIM_HELP=1";

std::vector<std::string> scenario_variables_set() {
  std::vector<std::string> names;
  const std::unique_ptr<char, FreeEnvironmentBlock> block(GetEnvironmentStringsA());
  if (!block)
    return names;
  // NAME=VALUE strings one after the other, ended by an empty one.
  for (const char* entry = block.get(); *entry != '\0'; entry += std::strlen(entry) + 1) {
    const char* equals = std::strchr(entry, '=');
    std::string name(entry, equals == nullptr ? std::strlen(entry) : equals - entry);
    // Names are case-insensitive here: getenv finds FLASHPREP_SIM_BOARD set
    // as flashprep_sim_board, so that spelling is known too.
    for (char& c : name)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.rfind("FLASHPREP_SIM_", 0) == 0)
      names.push_back(name);
  }
  return names;
}

// Windows has no device nodes for a user to be kept out of.
bool may_write(const std::string& /*path*/) {
  return true;
}

}  // namespace sim
