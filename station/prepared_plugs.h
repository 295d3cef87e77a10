// What a watching station prepared before it was started again in the same
// boot (after a crash, a kill, a service restart): for each board name, the
// plug of its latest record in this boot. A board still plugged there was
// prepared once already and is not prepared again; a board whose run was cut
// by the end of the station has no record, so it is prepared again. A new
// boot makes every board a new plug (the boot id differs).
//
// A plug is known by its port's name, its bus and its device number, and the
// boot: device numbers come round again on a busy bus, but a port whose
// latest record names the board plugged there now has had no other board in
// between, or that one would have the latest record.
#ifndef FLASHPREP_STATION_PREPARED_PLUGS_H_
#define FLASHPREP_STATION_PREPARED_PLUGS_H_

#include <map>
#include <string>

#include "usb/board_bus.h"

// Reads the results file `path` by the records' one rule
// (records/record_line.h) and fills `latest` with the place (bus, device,
// device number) of each board name's latest record of the boot `boot`.
// Records of other boots and of flashprep 1.0 are passed over; lines that
// are no record are skipped, and `skipped` says which ("results.jsonl: 2
// damaged lines skipped: line 4 (cut), line 9 (schema 3)"; "" when none
// was). A missing file is no record. False, with the reason, only when the
// file exists but cannot be read. Nothing is read when `boot` is "" (a
// system that tells no boot).
bool read_prepared_plugs(const std::string& path, const std::string& boot,
                         std::map<std::string, UsbPlace>* latest, std::string* skipped,
                         std::string* error);

#endif  // FLASHPREP_STATION_PREPARED_PLUGS_H_
