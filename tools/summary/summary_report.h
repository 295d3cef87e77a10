// The summary printed for a log: the verdict, one REASON line per rule that
// holds, the driver summary as the run printed it and the counts of blocks.
#ifndef FLASHPREP_TOOLS_SUMMARY_SUMMARY_REPORT_H_
#define FLASHPREP_TOOLS_SUMMARY_SUMMARY_REPORT_H_

#include <ostream>

#include "tools/summary/run_log.h"
#include "tools/summary/verdict.h"

// Writes the summary of `log`, judged as `verdict`, to `out`. For a text that
// is no log only the verdict and its reason are written.
void write_summary(const RunLog& log, const Verdict& verdict, std::ostream& out);

// How many flash blocks of `log` are in `state`.
int count_blocks(const RunLog& log, FlashBlock state);

#endif  // FLASHPREP_TOOLS_SUMMARY_SUMMARY_REPORT_H_
