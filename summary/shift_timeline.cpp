// The pace: seconds per run, the time at work, and the shift's timeline.
#include <algorithm>
#include <iterator>

#include "summary/shift_steps.h"

namespace {

constexpr int kMostBuckets = 48;
constexpr int64_t kMinute = int64_t{60} * 1000;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;
constexpr int64_t kGap = kGapMinutes * kMinute;
// Widths of the timeline's buckets, the narrowest that gives at most
// kMostBuckets chosen.
constexpr int64_t kBucketWidths[] = {5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute,
                                     kHour,       2 * kHour,    3 * kHour,    4 * kHour,
                                     6 * kHour,   12 * kHour,   kDay,         2 * kDay,
                                     7 * kDay,    14 * kDay,    28 * kDay,    91 * kDay};

struct Span {
  int64_t from;
  int64_t to;
};

int64_t overlap(const Span& a, const Span& b) {
  return std::max<int64_t>(0, std::min(a.to, b.to) - std::max(a.from, b.from));
}

// The stretches with no run in progress of kGap or more, in order.
std::vector<Span> gaps_of(const RunTable& table, const std::vector<uint32_t>& by_start) {
  std::vector<Span> gaps;
  int64_t busy_until = table.runs[by_start.front()].end_ms();
  for (const uint32_t i : by_start) {
    const Run& run = table.runs[i];
    if (run.start_ms - busy_until >= kGap)
      gaps.push_back({busy_until, run.start_ms});
    busy_until = std::max(busy_until, run.end_ms());
  }
  return gaps;
}

void seconds_per_run(const RunTable& table, const Analysis& a, ShiftReport* report) {
  std::vector<uint32_t> ms;
  for (const uint32_t i : a.counted) {
    if (table.runs[i].judged())
      ms.push_back(table.runs[i].run_ms);
  }
  if (ms.empty())
    return;
  std::sort(ms.begin(), ms.end());
  const size_t n = ms.size();
  report->median_seconds = ms[n / 2] / 1000.0;
  // Two runs' milliseconds add up well within a double's exact integers.
  if (n % 2 == 0)
    report->median_seconds = (static_cast<double>(ms[n / 2 - 1]) + ms[n / 2]) / 2000.0;
  // Nearest rank: the smallest value with at least 95 % of them at or below it.
  report->p95_seconds = ms[(n * 95 + 99) / 100 - 1] / 1000.0;
}

// Buckets of round local times (the zone's at the first start), from the
// first start's to the last start's.
void lay_timeline(const RunTable& table, const Analysis& a, const std::vector<Span>& gaps,
                  ShiftReport* r) {
  const int64_t last_start = table.runs[a.counted.back()].start_ms;
  const int64_t span = last_start - r->first_start_ms;
  const int64_t* width = std::find_if(std::begin(kBucketWidths), std::end(kBucketWidths),
                                      [&](int64_t w) { return span / w + 2 <= kMostBuckets; });
  r->bucket_ms = width == std::end(kBucketWidths) ? *std::prev(width) : *width;
  const auto bucket_of = [&](int64_t ms) {
    const int64_t local = ms + a.zone_offset_ms;
    return local / r->bucket_ms - (local < 0 && local % r->bucket_ms != 0 ? 1 : 0);
  };
  const int64_t first_bucket = bucket_of(r->first_start_ms);
  const int64_t buckets = bucket_of(last_start) - first_bucket + 1;
  const Span shift{r->first_start_ms, r->last_end_ms};
  r->timeline.resize(static_cast<size_t>(buckets));
  for (int64_t b = 0; b < buckets; ++b) {
    ShiftReport::Bucket& bucket = r->timeline[static_cast<size_t>(b)];
    bucket.start_ms = (first_bucket + b) * r->bucket_ms - a.zone_offset_ms;
    const Span own{bucket.start_ms, bucket.start_ms + r->bucket_ms};
    bucket.work_ms = overlap(own, shift);
    for (const Span& gap : gaps)
      bucket.work_ms -= overlap(own, gap);
  }
  for (const uint32_t i : a.counted) {
    const Run& run = table.runs[i];
    Counts& c = r->timeline[static_cast<size_t>(bucket_of(run.start_ms) - first_bucket)].counts;
    if (!run.judged()) {
      ++c.ended;
      continue;
    }
    ++c.runs;
    c.ready += run.verdict == Outcome::ready ? 1 : 0;
  }
}

}  // namespace

void count_pace(const RunTable& table, const Analysis& a, ShiftReport* report) {
  seconds_per_run(table, a, report);
  report->first_start_ms = table.runs[a.counted.front()].start_ms;
  report->last_end_ms = report->first_start_ms;
  for (const uint32_t i : a.counted)
    report->last_end_ms = std::max(report->last_end_ms, table.runs[i].end_ms());
  const std::vector<Span> gaps = gaps_of(table, a.counted);
  report->gaps = gaps.size();
  report->work_ms = report->last_end_ms - report->first_start_ms;
  for (const Span& gap : gaps)
    report->work_ms -= gap.to - gap.from;
  if (report->work_ms > 0)
    report->runs_per_hour =
        static_cast<double>(report->total.runs) * kHour / static_cast<double>(report->work_ms);
  lay_timeline(table, a, gaps, report);
}
