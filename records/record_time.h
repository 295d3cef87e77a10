// Times of the results records: UTC, as milliseconds since 1970-01-01, read
// from and written as ISO 8601 text.
#ifndef FLASHPREP_RECORDS_RECORD_TIME_H_
#define FLASHPREP_RECORDS_RECORD_TIME_H_

#include <cstdint>
#include <string>
#include <string_view>

// A record's time, exactly "YYYY-MM-DDTHH:MM:SS.mmmZ"; false for anything
// else, a day that is not in its month included.
bool parse_record_time(std::string_view text, int64_t* ms);

// A time given on the command line, UTC: "YYYY-MM-DD" (its midnight),
// "YYYY-MM-DDTHH:MM", "YYYY-MM-DDTHH:MM:SS" or "YYYY-MM-DDTHH:MM:SS.mmm",
// each with or without a final Z; false for anything else.
bool parse_time_argument(std::string_view text, int64_t* ms);

// "YYYY-MM-DDTHH:MM:SSZ" (the milliseconds dropped).
std::string utc_text(int64_t ms);

// "YYYY-MM-DDTHH:MM:SS.mmmZ", as a record's start and end are written.
std::string record_time_text(int64_t ms);

#endif  // FLASHPREP_RECORDS_RECORD_TIME_H_
