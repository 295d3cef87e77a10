// One line of a results file, read by the rule every reader of the records
// follows (the shift report, a station started again, the tests): a line is
// a record when it is one JSON object that docs/results-record.schema.json
// accepts (schema 2), or a record of flashprep 1.0 (schema 1: the members up
// to version, no others). Any other line is damaged and skipped: cut (the
// start of a record only: a station killed while writing, a file cut short
// by a full disk or a power cut), blank, holding NUL bytes (what some file
// systems leave after a power cut), not a record (anything else), or a
// record of a schema newer than this reader knows (it is named, as it may be
// whole). The reader is stricter than the schema where the schema cannot say
// it (a day that is not in its month, a range of failed blocks backwards, a
// member twice), never looser.
#ifndef FLASHPREP_RECORDS_RECORD_LINE_H_
#define FLASHPREP_RECORDS_RECORD_LINE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class Outcome : uint8_t { ready, not_ready, not_a_log };

struct BlockRange {
  uint16_t first;
  uint16_t last;
};

// Why a line was skipped.
enum class Damage : uint8_t { cut, blank, nul_bytes, not_a_record, newer_schema };

struct LineDamage {
  Damage damage = Damage::not_a_record;
  int64_t schema = 0;  // newer_schema: the schema the record names
  std::string why;     // not_a_record: what is wrong ("\"start\" is not a time ...")
};

// "READY", "NOT READY" or "NOT A FLASHPREP LOG".
const char* outcome_text(Outcome outcome);

// What the damage is called wherever a skipped line is named: "cut",
// "blank", "NUL bytes", "not a record", "schema 3". The tests' validator
// (tests/validate_records.py) uses the same words.
std::string damage_name(const LineDamage& damage);

// A string kept in a RecordStore.
struct TextRef {
  uint32_t at = 0;
  uint32_t size = 0;
};

// The strings and lists of the records read into one store, for as long as
// the store lives. Records keep positions in it, so that a reader of many
// records allocates per store, not per record.
struct RecordStore {
  std::string text;
  std::vector<TextRef> reasons;
  std::vector<BlockRange> blocks;

  std::string_view view(TextRef ref) const {
    return std::string_view(text).substr(ref.at, ref.size);
  }
  void clear() {
    text.clear();
    reasons.clear();
    blocks.clear();
  }
};

// A record as read, its strings and lists in a RecordStore. Members a
// record leaves out (schema 1, or a port, boot or serial the system did not
// tell) are empty.
struct StoredRecord {
  int schema = 1;
  TextRef board;
  int64_t start_ms = 0;  // UTC, milliseconds since 1970
  int64_t end_ms = 0;
  double seconds = 0;
  Outcome verdict = Outcome::ready;
  uint32_t reasons_at = 0;
  uint32_t reasons = 0;
  bool has_log = false;  // false: null
  TextRef log;
  TextRef version;
  TextRef station;
  TextRef port;
  TextRef bus;
  TextRef device;
  int64_t devnum = 0;
  TextRef boot;
  TextRef serial;
  bool image_read = false;  // schema 2 with an image object (null: it could not be read)
  TextRef image_file;
  TextRef image_sha256;
  int64_t image_bytes = 0;
  TextRef image_start;
  TextRef image_end;
  int64_t image_blocks = 0;
  // driver_downloaded, driver_refused, flash_formatted, flash_failed,
  // table_written, table_refused
  int64_t counts[6] = {0, 0, 0, 0, 0, 0};
  uint32_t blocks_at = 0;
  uint32_t blocks = 0;
};

// Reads one line (its newline, and a CR before it, taken off). True when it
// is a record: `record` is filled and its strings and lists are appended to
// `store`. False when it is damaged: `damage` says how, and `store` is as it
// was.
bool read_record_line(std::string_view line, RecordStore* store, StoredRecord* record,
                      LineDamage* damage);

#endif  // FLASHPREP_RECORDS_RECORD_LINE_H_
