#include "summary/summary_report.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

// "n WHAT, n WHAT", then the blocks not reached when there are any.
std::string counts(std::initializer_list<std::pair<int, const char*>> parts, int not_reached) {
  std::string out;
  for (const auto& [n, what] : parts)
    out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  if (not_reached > 0)
    out += ", " + std::to_string(not_reached) + " NOT REACHED";
  return out;
}

}  // namespace

void write_summary(const RunLog& log, const Verdict& verdict, std::ostream& out) {
  out << verdict.headline << '\n';
  for (const Reason& r : verdict.reasons)
    out << "REASON : " << reason_text(r, true) << '\n';
  if (log.end == RunLog::End::not_a_log)
    return;
  for (const std::string& line : log.driver_summary)
    out << line << '\n';
  if (!log.driver_summary.empty()) {
    const auto driver = [&](DriverBlock s) {
      return static_cast<int>(std::count(log.driver_blocks.begin(), log.driver_blocks.end(), s));
    };
    out << "DRIVER BLOCKS : "
        << counts({{driver(DriverBlock::downloaded), "DOWNLOADED"},
                   {driver(DriverBlock::refused), "REFUSED"}},
                  driver(DriverBlock::not_reached))
        << '\n';
  }
  // Reserved blocks not reached are tables that a cut run could still have
  // written: they count with the tables.
  const int reserved_not_reached = static_cast<int>(
      std::count(log.flash.begin() + format_layout::kFirstTableBlock,
                 log.flash.begin() + format_layout::kSecondRangeFirst, FlashBlock::not_reached));
  out << "FLASH BLOCKS  : "
      << counts({{count_blocks(log, FlashBlock::formatted), "FORMATTED"},
                 {count_blocks(log, FlashBlock::failed), "FAILED"}},
                count_blocks(log, FlashBlock::not_reached) - reserved_not_reached)
      << '\n';
  out << "TABLE BLOCKS  : "
      << counts({{count_blocks(log, FlashBlock::table_written), "WRITTEN"},
                 {count_blocks(log, FlashBlock::table_refused), "REFUSED"},
                 {count_blocks(log, FlashBlock::unused), "UNUSED"}},
                reserved_not_reached)
      << '\n';
}
