// A record written as its line in the results file (records/record.h), and
// its facts as journal fields.
#ifndef FLASHPREP_RECORDS_RECORD_TEXT_H_
#define FLASHPREP_RECORDS_RECORD_TEXT_H_

#include <chrono>
#include <string>
#include <vector>

#include "records/record.h"

// The record as its line in the results file, schema 2; no newline.
std::string record_text(const RunRecord& record);

// The record's facts as journal fields ("FLASHPREP_VERDICT=NOT READY", ...),
// the record's line itself among them as FLASHPREP_RECORD.
std::vector<std::string> journal_fields(const RunRecord& record);

// `t` as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string utc_time(std::chrono::system_clock::time_point t);

// `text` as a JSON string, quotes included.
std::string json_string(const std::string& text);

#endif  // FLASHPREP_RECORDS_RECORD_TEXT_H_
