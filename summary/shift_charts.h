// The page's charts, each one inline SVG that scales to the page's width:
// the yield and the runs per hour over the shift (with each change of a
// station's driver image marked), and the NOT READY runs by reason and by
// port. Each chart's data has a colour of its own (the page's test tells
// the charts apart by them).
#ifndef FLASHPREP_SUMMARY_SHIFT_CHARTS_H_
#define FLASHPREP_SUMMARY_SHIFT_CHARTS_H_

#include <string>

#include "summary/shift_report.h"
#include "summary/time_zone.h"

// Each needs a report with runs (a timeline).
std::string yield_chart(const ShiftReport& r, const TimeZone& zone);
std::string pace_chart(const ShiftReport& r, const TimeZone& zone);
std::string reasons_chart(const ShiftReport& r);
std::string ports_chart(const ShiftReport& r);

// "15 minutes", "hour", "2 hours", "day", "7 days": what follows "one bar per".
std::string bucket_words(int64_t ms);

#endif  // FLASHPREP_SUMMARY_SHIFT_CHARTS_H_
