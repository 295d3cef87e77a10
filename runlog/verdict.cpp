#include "runlog/verdict.h"

#include <algorithm>

namespace {

// A reason names at most this many ranges of blocks; the log and the map show
// them all.
constexpr size_t kMostRanges = 16;

// Ascending block numbers as ranges: "3, 7-9".
std::string ranges(const std::vector<int>& blocks) {
  std::string out;
  size_t shown = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    size_t last = i;
    while (last + 1 < blocks.size() && blocks[last + 1] == blocks[last] + 1)
      ++last;
    if (shown == kMostRanges)
      return out + ", ...";
    out += (shown++ == 0 ? "" : ", ") + std::to_string(blocks[i]);
    if (last > i)
      out += "-" + std::to_string(blocks[last]);
    i = last;
  }
  return out;
}

void add_blocks(Verdict* v, Rule rule, const std::vector<int>& blocks) {
  if (!blocks.empty())
    v->reasons.push_back({rule, std::to_string(blocks.size()), ranges(blocks)});
}

}  // namespace

const std::vector<RuleText>& all_rules() {
  static const std::vector<RuleText> rules = {
#define SUMMARY_RULE(id, status, label, text) {Rule::id, status, label, text},
#include "runlog/rules.def"
#undef SUMMARY_RULE
  };
  return rules;
}

// Reasons come in the order of rules.def.
Verdict judge(const RunLog& log) {
  Verdict v;
  if (log.end == RunLog::End::not_a_log) {
    v.reasons.push_back({Rule::unexpected_line, log.problem, ""});
  } else {
    if (!log.stopped_by.empty())
      v.reasons.push_back({Rule::run_stopped, log.stopped_by, ""});
    std::vector<int> refused;
    for (size_t i = 0; i < log.driver_blocks.size(); ++i) {
      if (log.driver_blocks[i] == DriverBlock::refused)
        refused.push_back(log.first_driver_block + static_cast<int>(i));
    }
    add_blocks(&v, Rule::driver_refused, refused);
    std::vector<int> failed;
    std::vector<int> tables;
    for (int n = 0; n < kFlashBlocks; ++n) {
      if (log.flash[n] == FlashBlock::failed)
        failed.push_back(n);
      if (log.flash[n] == FlashBlock::table_refused)
        tables.push_back(n);
    }
    add_blocks(&v, Rule::format_failed, failed);
    add_blocks(&v, Rule::table_refused, tables);
    if (log.end == RunLog::End::cut) {
      const std::string where = log.lines == 0 && !log.cut_in_line ? "EMPTY"
                                : log.cut_in_line ? "IN LINE " + std::to_string(log.lines + 1)
                                                  : "AFTER LINE " + std::to_string(log.lines);
      v.reasons.push_back({Rule::log_cut, where, ""});
    }
  }
  for (const Reason& r : v.reasons)
    v.exit_status = std::max(v.exit_status, all_rules()[static_cast<size_t>(r.rule)].exit_status);
  v.headline = v.exit_status == 0   ? all_rules()[static_cast<size_t>(Rule::ready)].label
               : v.exit_status == 1 ? "NOT READY"
                                    : "NOT A FLASHPREP LOG";
  return v;
}

std::string reason_text(const Reason& reason, bool with_blocks) {
  std::string text = all_rules()[static_cast<size_t>(reason.rule)].label;
  text += ": " + reason.detail;
  if (with_blocks && !reason.blocks.empty())
    text += " (" + reason.blocks + ")";
  return text;
}
