// No journal on this system: the station writes its plain lines.
#include "station/journal.h"

bool output_is_journal() {
  return false;
}

bool journal_send(const std::string& /*message*/, int /*priority*/,
                  const std::vector<std::string>& /*fields*/) {
  return false;
}
