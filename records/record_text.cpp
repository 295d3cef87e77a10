#include "records/record_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "records/record_time.h"

std::string utc_time(std::chrono::system_clock::time_point t) {
  return record_time_text(
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      (void)std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;  // UTF-8 passes as it is
    }
  }
  return out + "\"";
}

std::string record_text(const RunRecord& r) {
  char seconds[32];
  (void)std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
  std::string reasons;
  for (const std::string& reason : r.reasons)
    reasons += (reasons.empty() ? "" : ",") + json_string(reason);
  const auto number = [](int n) { return std::to_string(n); };
  std::string text =
      "{\"board\":" + json_string(r.board) + ",\"start\":" + json_string(utc_time(r.start)) +
      ",\"end\":" + json_string(utc_time(r.end)) + ",\"seconds\":" + seconds +
      ",\"verdict\":" + json_string(r.verdict) + ",\"reasons\":[" + reasons +
      "],\"log\":" + (r.log.empty() ? std::string("null") : json_string(r.log)) +
      ",\"version\":" + json_string(r.version) + ",\"schema\":" + number(kRecordSchema) +
      ",\"station\":" + json_string(r.station);
  if (!r.port.empty())
    text += ",\"port\":" + json_string(r.port);
  text += ",\"bus\":" + json_string(r.bus) + ",\"device\":" + json_string(r.device) +
          ",\"devnum\":" + number(r.devnum);
  if (!r.boot.empty())
    text += ",\"boot\":" + json_string(r.boot);
  if (!r.serial.empty())
    text += ",\"serial\":" + json_string(r.serial);
  text += ",\"image\":";
  if (r.image_known) {
    text +=
        "{\"file\":" + json_string(r.image.file) + ",\"sha256\":" + json_string(r.image.sha256) +
        ",\"bytes\":" + std::to_string(r.image.bytes) + ",\"start\":" + json_string(r.image.start) +
        ",\"end\":" + json_string(r.image.end) + ",\"blocks\":" + number(r.image.blocks) + "}";
  } else {
    text += "null";
  }
  text += ",\"counts\":{\"driver_downloaded\":" + number(r.driver_downloaded) +
          ",\"driver_refused\":" + number(r.driver_refused) +
          ",\"flash_formatted\":" + number(r.flash_formatted) +
          ",\"flash_failed\":" + number(r.flash_failed) +
          ",\"table_written\":" + number(r.table_written) +
          ",\"table_refused\":" + number(r.table_refused) + "},\"failed_blocks\":[";
  for (size_t i = 0; i < r.failed_blocks.size(); ++i)
    text += (i == 0 ? "[" : ",[") + number(r.failed_blocks[i].first) + "," +
            number(r.failed_blocks[i].second) + "]";
  return text + "]}";
}

std::vector<std::string> journal_fields(const RunRecord& r) {
  std::vector<std::string> fields = {"FLASHPREP_BOARD=" + r.board, "FLASHPREP_VERDICT=" + r.verdict,
                                     "FLASHPREP_STATION=" + r.station, "FLASHPREP_BUS=" + r.bus,
                                     "FLASHPREP_DEVNUM=" + std::to_string(r.devnum)};
  std::transform(r.reasons.begin(), r.reasons.end(), std::back_inserter(fields),
                 [](const std::string& reason) { return "FLASHPREP_REASON=" + reason; });
  if (!r.port.empty())
    fields.push_back("FLASHPREP_PORT=" + r.port);
  if (!r.serial.empty())
    fields.push_back("FLASHPREP_SERIAL=" + r.serial);
  if (!r.log.empty())
    fields.push_back("FLASHPREP_LOG=" + r.log);
  if (r.image_known)
    fields.push_back("FLASHPREP_IMAGE_SHA256=" + r.image.sha256);
  char seconds[32];
  (void)std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
  fields.push_back(std::string("FLASHPREP_SECONDS=") + seconds);
  fields.push_back("FLASHPREP_RECORD=" + record_text(r));
  return fields;
}
