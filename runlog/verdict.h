// The verdict on a run from its log: READY, NOT READY or NOT A FLASHPREP LOG,
// with one reason for each rule of rules.def that holds.
#ifndef FLASHPREP_RUNLOG_VERDICT_H_
#define FLASHPREP_RUNLOG_VERDICT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "runlog/run_log.h"

enum class Rule : uint8_t {
#define SUMMARY_RULE(id, status, label, text) id,
#include "runlog/rules.def"
#undef SUMMARY_RULE
};

struct RuleText {
  Rule rule;
  int exit_status;
  const char* label;
  const char* text;
};

// Every rule, in the order of rules.def (READY last).
const std::vector<RuleText>& all_rules();

struct Reason {
  Rule rule;
  std::string detail;  // what in the log made the rule hold
  std::string blocks;  // the blocks concerned, as ranges ("7, 100-101"); may be empty
};

struct Verdict {
  int exit_status = 0;
  const char* headline = "";  // READY, NOT READY or NOT A FLASHPREP LOG
  std::vector<Reason> reasons;
};

Verdict judge(const RunLog& log);

// "LABEL: detail", and the blocks in parentheses when `with_blocks`.
std::string reason_text(const Reason& reason, bool with_blocks);

#endif  // FLASHPREP_RUNLOG_VERDICT_H_
