// The runs as CSV, for a quality system's import: a record's members
// flattened, then what the report made of the run.
#include <cstdio>
#include <string>

#include "records/record_time.h"
#include "summary/local_time.h"
#include "summary/shift_output.h"

const char kRunsCsvMark[] = "flashprep_run,file,line,station,";

namespace {

const char* const kCountNames[] = {"driver_downloaded", "driver_refused", "flash_formatted",
                                   "flash_failed",      "table_written",  "table_refused"};

// A field as RFC 4180 has it: quoted when it holds a comma, a quote or a
// line end, its quotes doubled.
std::string field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos)
    return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    out += c;
    if (c == '"')
      out += '"';
  }
  return out + "\"";
}

std::string joined_reasons(const ResultRecord& r) {
  std::string out;
  for (const std::string_view reason : r.reasons)
    out += (out.empty() ? "" : " | ") + std::string(reason);
  return out;
}

std::string blocks_text(const ResultRecord& r) {
  std::string out;
  for (const BlockRange& b : r.failed_blocks) {
    out += (out.empty() ? "" : " ") + std::to_string(b.first);
    if (b.last != b.first)
      out += "-" + std::to_string(b.last);
  }
  return out;
}

// A run the report did not count has no number among its board's runs.
const char* counted_as(const RunFacts& f) {
  if (f.run_of_board == 0)
    return "simulated, left out";
  return f.ended ? "ended by the station" : "judged";
}

}  // namespace

std::string runs_csv_header() {
  std::string h = kRunsCsvMark;
  h += "board,port,bus,device,devnum,boot,serial,start,end,seconds,verdict,reasons,log,version,"
       "schema,image_file,image_sha256,image_bytes,image_start,image_end,image_blocks";
  for (const char* name : kCountNames)
    h += std::string(",") + name;
  return h + ",failed_blocks,start_local,report_station,report_board,run_of_board,counted_as\r\n";
}

std::string runs_csv_row(uint64_t number, const std::string& file, const ResultRecord& r,
                         const RunFacts& facts, const TimeZone& zone) {
  const bool v2 = r.schema >= 2;
  char seconds[32];
  (void)std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
  std::string row =
      std::to_string(number) + "," + field(file) + "," + std::to_string(r.line) + "," +
      field(r.station) + "," + field(r.board) + "," + field(r.port) + "," + field(r.bus) + "," +
      field(r.device) + "," + (v2 ? std::to_string(r.devnum) : "") + "," + field(r.boot) + "," +
      field(r.serial) + "," + record_time_text(r.start_ms) + "," + record_time_text(r.end_ms) +
      "," + seconds + "," + outcome_text(r.verdict) + "," + field(joined_reasons(r)) + "," +
      field(r.log) + "," + field(r.version) + "," + std::to_string(r.schema) + "," +
      field(r.image_file) + "," + field(r.image_sha256) + "," +
      (r.image_read ? std::to_string(r.image_bytes) : "") + "," + field(r.image_start) + "," +
      field(r.image_end) + "," + (r.image_read ? std::to_string(r.image_blocks) : "");
  for (const int64_t count : r.counts)
    row += "," + (v2 ? std::to_string(count) : std::string());
  return row + "," + blocks_text(r) + "," + local_text(zone, r.start_ms) + "," +
         field(facts.station) + "," + field(facts.board) + "," +
         std::to_string(facts.run_of_board) + "," + field(counted_as(facts)) + "\r\n";
}
