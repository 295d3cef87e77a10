// The journal through libsystemd's sd_journal_sendv.
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "station/journal.h"

bool output_is_journal() {
  // "DEVICE:INODE" of the stream the service manager connected: standard
  // output is the journal only while it is still that very stream (a shell
  // in the service may have sent it elsewhere).
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr)
    return false;
  struct stat st = {};
  if (fstat(STDOUT_FILENO, &st) != 0)
    return false;
  const std::string expected = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                               std::to_string(static_cast<unsigned long long>(st.st_ino));
  return expected == stream;
}

bool journal_send(const std::string& message, int priority,
                  const std::vector<std::string>& fields) {
  std::vector<std::string> items = {"MESSAGE=" + message, "PRIORITY=" + std::to_string(priority),
                                    "SYSLOG_IDENTIFIER=flashprep-station"};
  items.insert(items.end(), fields.begin(), fields.end());
  std::vector<iovec> entry(items.size());
  std::transform(items.begin(), items.end(), entry.begin(), [](std::string& item) {
    return iovec{item.data(), item.size()};
  });
  return sd_journal_sendv(entry.data(), static_cast<int>(entry.size())) == 0;
}
