// POSIX: the environment is the `environ` array, and the launcher prints help.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/environment.h"

namespace sim {

const char kHelpHint[] = "flashprep-sim --help";

std::vector<std::string> scenario_variables_set() {
  std::vector<std::string> names;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    const std::string name(*entry, equals == nullptr ? std::strlen(*entry) : equals - *entry);
    if (name.rfind("FLASHPREP_SIM_", 0) == 0)
      names.push_back(name);
  }
  return names;
}

bool may_write(const std::string& path) {
  return access(path.c_str(), W_OK) == 0 || errno == ENOENT || errno == ENOTDIR;
}

}  // namespace sim
