// The shift report written out: a short text for a terminal, one
// self-contained HTML page (inline SVG charts, no script, nothing fetched),
// and a CSV file of the runs for a quality system. Times are shown in
// `zone`, each with its offset.
#ifndef FLASHPREP_SUMMARY_SHIFT_OUTPUT_H_
#define FLASHPREP_SUMMARY_SHIFT_OUTPUT_H_

#include <ostream>
#include <string>

#include "records/results_reader.h"
#include "summary/shift_report.h"
#include "summary/shift_tally.h"
#include "summary/time_zone.h"

// The mark every page carries near its top: flashprep-summary writes over a
// file only when it holds its mark (see summary/output_guard.h).
extern const char kShiftPageMark[];
// The CSV's mark: the start of its header line.
extern const char kRunsCsvMark[];

// About a screen: the boards and runs, stations and ports, reasons, what
// stands out, the boards still NOT READY.
void write_shift_text(const ShiftReport& report, const TimeZone& zone, std::ostream& out);

// The page: the same and every list in full, with charts of the yield and
// the runs per hour over the shift and of the failures by reason and port.
std::string shift_html(const ShiftReport& report, const TimeZone& zone, const std::string& version);

// The CSV's header line, and the row of a record with what the report made
// of it (RFC 4180: commas, CR LF at each line's end, quotes where needed).
std::string runs_csv_header();
std::string runs_csv_row(uint64_t number, const std::string& file, const ResultRecord& record,
                         const RunFacts& facts, const TimeZone& zone);

// "12.3" (one decimal, rounded half away from zero as printf does).
std::string one_decimal(double value);

#endif  // FLASHPREP_SUMMARY_SHIFT_OUTPUT_H_
