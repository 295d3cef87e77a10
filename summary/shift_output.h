// The shift report written out: a short text for a terminal, and one
// self-contained HTML page (inline SVG charts, no script, nothing fetched).
#ifndef FLASHPREP_SUMMARY_SHIFT_OUTPUT_H_
#define FLASHPREP_SUMMARY_SHIFT_OUTPUT_H_

#include <ostream>
#include <string>

#include "summary/shift_report.h"

// The mark every page carries near its top: flashprep-summary writes over a
// file only when it holds its mark (see summary/output_guard.h).
extern const char kShiftPageMark[];

// About a screen: the totals, stations and ports, reasons, what stands out.
void write_shift_text(const ShiftReport& report, std::ostream& out);

// The page: the same and every list in full, with charts of the yield and
// the boards per hour over the shift and of the failures by reason and port.
std::string shift_html(const ShiftReport& report, const std::string& version);

// "12.3" (one decimal, rounded half away from zero as printf does).
std::string one_decimal(double value);

#endif  // FLASHPREP_SUMMARY_SHIFT_OUTPUT_H_
