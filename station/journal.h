// The systemd journal, for a station that runs as a service: each finished
// board goes there as one structured entry (its FINISHED line as the message,
// the record's facts as FLASHPREP_* fields), so that `journalctl
// FLASHPREP_VERDICT="NOT READY"` lists the failures and a line that gathers
// its machines' journals gets every station's records as they are. Linux
// with systemd only (journal-systemd.cpp); elsewhere (journal-none.cpp)
// there is no journal and the station writes its plain lines.
#ifndef FLASHPREP_STATION_JOURNAL_H_
#define FLASHPREP_STATION_JOURNAL_H_

#include <string>
#include <vector>

// True when the station's standard output is a stream to the journal (the
// service manager names it in JOURNAL_STREAM).
bool output_is_journal();

// Sends one entry: `message` as MESSAGE, `priority` as PRIORITY (syslog's
// numbers: 4 warning, 6 info) and each of `fields` ("NAME=value", NAME in
// upper case). False when it could not be sent; the caller then writes the
// message where it writes its other lines.
bool journal_send(const std::string& message, int priority, const std::vector<std::string>& fields);

#endif  // FLASHPREP_STATION_JOURNAL_H_
