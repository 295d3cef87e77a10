// The summary printed for a log: the verdict, one REASON line per rule that
// holds, the driver summary as the run printed it and the counts of blocks.
#ifndef FLASHPREP_SUMMARY_SUMMARY_REPORT_H_
#define FLASHPREP_SUMMARY_SUMMARY_REPORT_H_

#include <ostream>

#include "runlog/run_log.h"
#include "runlog/verdict.h"

// Writes the summary of `log`, judged as `verdict`, to `out`. For a text that
// is no log only the verdict and its reason are written.
void write_summary(const RunLog& log, const Verdict& verdict, std::ostream& out);

#endif  // FLASHPREP_SUMMARY_SUMMARY_REPORT_H_
