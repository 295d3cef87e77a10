#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "records/record_time.h"
#include "summary/markup.h"
#include "summary/shift_output.h"

const char kShiftPageMark[] = "<!-- flashprep-summary shift report -->";

namespace {

// Colour-blind-safe colours; each series colour belongs to one chart only.
constexpr const char* kYieldColour = "#0072B2";
constexpr const char* kReadyColour = "#009E73";
constexpr const char* kNotReadyColour = "#D55E00";
constexpr const char* kReasonColour = "#CC79A7";
constexpr const char* kPortColour = "#56B4E9";
constexpr const char* kPortStandsOutColour = "#E69F00";
constexpr const char* kGridColour = "#DDDDDD";
constexpr const char* kTextColour = "#333333";

constexpr int kChartWidth = 920;
constexpr int kBarRow = 20;  // height of one bar's row
constexpr size_t kMostPortBars = 60;
constexpr int64_t kMinuteMs = 60000;
constexpr int64_t kHourMs = 60 * kMinuteMs;
constexpr int64_t kDayMs = 24 * kHourMs;

std::string num(double v) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.1f", v);
  std::string s = text;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0)
    s.resize(s.size() - 2);
  return s;
}

std::string count(uint64_t n) {
  return std::to_string(n);
}

std::string percent(uint64_t part, uint64_t whole) {
  return whole == 0
             ? "-"
             : one_decimal(100.0 * static_cast<double>(part) / static_cast<double>(whole)) + " %";
}

std::string text_at(double x, double y, const std::string& text, const std::string& extra = "") {
  return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + extra + ">" + escaped(text) +
         "</text>\n";
}

std::string line_at(double x1, double y1, double x2, double y2, const std::string& colour,
                    const std::string& extra = "") {
  return "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
         num(y2) + "\" stroke=\"" + colour + "\"" + extra + "/>\n";
}

std::string rect_at(double x, double y, double w, double h, const std::string& fill,
                    const std::string& title) {
  return "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" +
         num(h) + "\" fill=\"" + fill + "\"><title>" + escaped(title) + "</title></rect>\n";
}

std::string svg_open(const char* id, int height, const std::string& label) {
  return "<svg id=\"" + std::string(id) + "\" class=\"chart\" width=\"" +
         std::to_string(kChartWidth) + "\" height=\"" + std::to_string(height) +
         "\" viewBox=\"0 0 " + std::to_string(kChartWidth) + " " + std::to_string(height) +
         "\" role=\"img\" aria-label=\"" + escaped(label) + "\" font-size=\"12\" fill=\"" +
         kTextColour + "\">\n";
}

// The smallest of 1, 2, 5 times a power of ten at or above `v`.
double nice_ceiling(double v) {
  if (v <= 0)
    return 1;
  const double power = std::pow(10.0, std::floor(std::log10(v)));
  constexpr double kSteps[] = {1.0, 2.0, 5.0, 10.0};
  const double* m = std::find_if(std::begin(kSteps), std::end(kSteps),
                                 [&](double step) { return step * power >= v - 1e-9; });
  return (m == std::end(kSteps) ? 10 : *m) * power;
}

// "15 minutes", "hour", "2 hours", "day", "7 days": what follows "one bar per".
std::string bucket_words(int64_t ms) {
  if (ms < kHourMs)
    return std::to_string(ms / kMinuteMs) + " minutes";
  if (ms == kHourMs)
    return "hour";
  if (ms < kDayMs)
    return std::to_string(ms / kHourMs) + " hours";
  if (ms == kDayMs)
    return "day";
  return std::to_string(ms / kDayMs) + " days";
}

// A scale from 0 for values up to `most`: its top and the step between its
// lines, both 1, 2 or 5 times a power of ten (whole numbers for counts).
struct Scale {
  double top;
  double step;
};

Scale scale_for(double most, bool whole) {
  double step = nice_ceiling(std::max(most, 1e-9) / 5);
  if (whole)
    step = std::max(step, 1.0);
  return {std::max(step, std::ceil(most / step) * step), step};
}

// A bucket's label: its time of day, and the date where the day changes.
std::string time_label(int64_t ms, int64_t bucket_ms, bool with_date) {
  const std::string t = utc_text(ms);  // YYYY-MM-DDTHH:MM:SSZ
  if (bucket_ms >= kDayMs)
    return t.substr(5, 5);
  return with_date ? t.substr(5, 5) + " " + t.substr(11, 5) : t.substr(11, 5);
}

// The time axis shared by the two timeline charts: a label at round times
// (whole hours, days) far enough apart that they never run into each other.
struct TimeAxis {
  double left;
  double slot;       // width of one bucket
  int64_t label_ms;  // a label at each multiple of this
};

TimeAxis time_axis(const ShiftReport& r, double left, double width) {
  const size_t n = std::max<size_t>(r.timeline.size(), 1);
  const double slot = width / static_cast<double>(n);
  // At least 80 pixels from one label to the next.
  const auto buckets_apart = static_cast<int64_t>(std::ceil(80.0 / slot));
  int64_t label_ms = r.bucket_ms * buckets_apart;
  constexpr int64_t kRound[] = {15 * kMinuteMs, 30 * kMinuteMs, kHourMs,     2 * kHourMs,
                                3 * kHourMs,    4 * kHourMs,    6 * kHourMs, 12 * kHourMs,
                                kDayMs,         2 * kDayMs,     7 * kDayMs,  14 * kDayMs,
                                28 * kDayMs};
  const int64_t* round = std::find_if(std::begin(kRound), std::end(kRound), [&](int64_t ms) {
    return ms >= label_ms && ms % r.bucket_ms == 0;
  });
  if (round != std::end(kRound))
    label_ms = *round;
  return {left, slot, label_ms};
}

std::string time_labels(const ShiftReport& r, const TimeAxis& axis, double y) {
  std::string svg;
  std::string last_date;
  for (size_t i = 0; i < r.timeline.size(); ++i) {
    if (r.timeline[i].start_ms % axis.label_ms != 0)
      continue;
    const std::string date = utc_text(r.timeline[i].start_ms).substr(0, 10);
    const double x = axis.left + axis.slot * static_cast<double>(i);
    svg += line_at(x, y - 14, x, y - 10, kTextColour);
    svg += text_at(x, y, time_label(r.timeline[i].start_ms, r.bucket_ms, date != last_date),
                   " text-anchor=\"start\" font-size=\"11\"");
    last_date = date;
  }
  return svg;
}

std::string bucket_name(const ShiftReport& r, size_t i) {
  return utc_text(r.timeline[i].start_ms).substr(0, 16) + " to " +
         utc_text(r.timeline[i].start_ms + r.bucket_ms).substr(11, 5) + " UTC";
}

// Yield per bucket of the timeline: a line through the buckets that had
// boards, the shift's yield dashed across.
std::string yield_chart(const ShiftReport& r) {
  const double left = 60;
  const double top = 30;
  const double plot_w = kChartWidth - left - 90;  // room for the shift's yield on the right
  const double plot_h = 170;
  const int height = static_cast<int>(top + plot_h + 40);
  double lowest = 100;
  for (const ShiftReport::Bucket& b : r.timeline) {
    if (b.counts.boards > 0)
      lowest = std::min(lowest, b.counts.yield_percent());
  }
  // The scale starts at a multiple of 10 at least 5 points below the lowest.
  const double floor_percent = std::max(0.0, std::floor((lowest - 5) / 10) * 10);
  const int step = 100 - floor_percent <= 30 ? 5 : 10;
  const auto y_of = [&](double yield) {
    return top + plot_h * (100 - yield) / (100 - floor_percent);
  };
  std::string svg = svg_open("yield-chart", height, "Yield over the shift");
  svg += text_at(0, 16, "Yield over the shift, one point per " + bucket_words(r.bucket_ms),
                 " font-weight=\"bold\" font-size=\"14\"");
  for (int p = static_cast<int>(floor_percent); p <= 100; p += step) {
    svg += line_at(left, y_of(p), left + plot_w, y_of(p), kGridColour);
    svg += text_at(left - 6, y_of(p) + 4, std::to_string(p) + " %", " text-anchor=\"end\"");
  }
  const TimeAxis axis = time_axis(r, left, plot_w);
  svg += time_labels(r, axis, top + plot_h + 24);
  const double overall = r.total.yield_percent();
  svg += line_at(left, y_of(overall), left + plot_w, y_of(overall), kTextColour,
                 " stroke-dasharray=\"6 4\"");
  svg += text_at(left + plot_w + 6, y_of(overall) + 4, "shift " + one_decimal(overall) + " %");
  std::string points;
  std::string dots;
  for (size_t i = 0; i < r.timeline.size(); ++i) {
    const Counts& c = r.timeline[i].counts;
    if (c.boards == 0) {
      // No boards, no yield: the line breaks here.
      if (!points.empty())
        svg += "<polyline fill=\"none\" stroke=\"" + std::string(kYieldColour) +
               "\" stroke-width=\"2.5\" points=\"" + points + "\"/>\n";
      points.clear();
      continue;
    }
    const double x = left + axis.slot * (static_cast<double>(i) + 0.5);
    const double y = y_of(c.yield_percent());
    points += (points.empty() ? "" : " ") + num(x) + "," + num(y);
    dots += "<circle cx=\"" + num(x) + "\" cy=\"" + num(y) + "\" r=\"4\" fill=\"" + kYieldColour +
            "\"><title>" + escaped(bucket_name(r, i)) + ": " + one_decimal(c.yield_percent()) +
            " %, " + count(c.ready) + " of " + count(c.boards) + " READY</title></circle>\n";
  }
  if (!points.empty())
    svg += "<polyline fill=\"none\" stroke=\"" + std::string(kYieldColour) +
           "\" stroke-width=\"2.5\" points=\"" + points + "\"/>\n";
  return svg + dots + "</svg>\n";
}

// Boards per hour in each bucket, READY and NOT READY stacked.
std::string pace_chart(const ShiftReport& r) {
  const double left = 60;
  const double top = 30;
  const double plot_w = kChartWidth - left - 20;
  const double plot_h = 170;
  const int height = static_cast<int>(top + plot_h + 40);
  const double per_hour = static_cast<double>(kHourMs) / static_cast<double>(r.bucket_ms);
  double most = 0;
  for (const ShiftReport::Bucket& b : r.timeline)
    most = std::max(most, static_cast<double>(b.counts.boards) * per_hour);
  const Scale scale = scale_for(most, false);
  const auto y_of = [&](double v) { return top + plot_h * (1 - v / scale.top); };
  std::string svg = svg_open("pace-chart", height, "Boards per hour");
  svg += text_at(0, 16, "Boards per hour, one bar per " + bucket_words(r.bucket_ms),
                 " font-weight=\"bold\" font-size=\"14\"");
  svg += rect_at(left + plot_w - 200, 6, 12, 12, kReadyColour, "READY");
  svg += text_at(left + plot_w - 184, 16, "READY");
  svg += rect_at(left + plot_w - 120, 6, 12, 12, kNotReadyColour, "NOT READY");
  svg += text_at(left + plot_w - 104, 16, "NOT READY");
  for (int k = 0; k * scale.step <= scale.top + 1e-9; ++k) {
    const double v = k * scale.step;
    svg += line_at(left, y_of(v), left + plot_w, y_of(v), kGridColour);
    svg += text_at(left - 6, y_of(v) + 4, num(v), " text-anchor=\"end\"");
  }
  const TimeAxis axis = time_axis(r, left, plot_w);
  svg += time_labels(r, axis, top + plot_h + 24);
  const double bar_w = std::max(1.0, axis.slot * 0.8);
  for (size_t i = 0; i < r.timeline.size(); ++i) {
    const Counts& c = r.timeline[i].counts;
    if (c.boards == 0)
      continue;
    const double x = left + axis.slot * static_cast<double>(i) + (axis.slot - bar_w) / 2;
    const double ready = static_cast<double>(c.ready) * per_hour;
    const double all = static_cast<double>(c.boards) * per_hour;
    const std::string what = bucket_name(r, i) + ": " + count(c.boards) + " boards, " +
                             count(c.ready) + " READY, " + count(c.not_ready()) + " NOT READY";
    svg += rect_at(x, y_of(ready), bar_w, y_of(0) - y_of(ready), kReadyColour, what);
    if (c.not_ready() > 0)
      svg += rect_at(x, y_of(all), bar_w, y_of(ready) - y_of(all), kNotReadyColour, what);
  }
  return svg + "</svg>\n";
}

struct Bar {
  std::string label;
  double value;       // the bar's length on the scale
  std::string shown;  // the figure written after it
  bool marked;
};

// Horizontal bars, one row each, labels on the left.
std::string bar_chart(const char* id, const std::string& title, const std::vector<Bar>& bars,
                      const Scale& scale, const char* colour, const char* marked_colour,
                      const std::string& reference_label, double reference) {
  const double left = 330;
  const double top = 34;
  const double plot_w = kChartWidth - left - 190;  // room for the figure after the longest bar
  const int height = static_cast<int>(top + kBarRow * static_cast<double>(bars.size()) + 30);
  const auto x_of = [&](double v) { return left + plot_w * v / scale.top; };
  std::string svg = svg_open(id, height, title);
  svg += text_at(0, 16, title, " font-weight=\"bold\" font-size=\"14\"");
  const double bottom = top + kBarRow * static_cast<double>(bars.size());
  for (int k = 0; k * scale.step <= scale.top + 1e-9; ++k) {
    const double v = k * scale.step;
    svg += line_at(x_of(v), top - 4, x_of(v), bottom, kGridColour);
    svg += text_at(x_of(v), bottom + 16, num(v), " text-anchor=\"middle\" font-size=\"11\"");
  }
  // The reference first, so that the bars and their figures lie over it.
  if (!reference_label.empty()) {
    svg += line_at(x_of(reference), top - 8, x_of(reference), bottom, kTextColour,
                   " stroke-dasharray=\"5 3\"");
    svg += text_at(x_of(reference) + 4, top - 10, reference_label, " font-size=\"11\"");
  }
  for (size_t i = 0; i < bars.size(); ++i) {
    const Bar& b = bars[i];
    const double y = top + kBarRow * static_cast<double>(i);
    svg += text_at(left - 8, y + 14, b.label,
                   std::string(" text-anchor=\"end\"") + (b.marked ? " font-weight=\"bold\"" : ""));
    const double w = std::max(b.value > 0 ? 2.0 : 0.0, x_of(b.value) - left);
    if (w > 0)
      svg += rect_at(left, y + 3, w, kBarRow - 6, b.marked ? marked_colour : colour,
                     b.label + ": " + b.shown);
    // A white edge keeps the figure legible where it crosses the reference.
    svg += text_at(left + w + 6, y + 14, b.shown,
                   " stroke=\"#FFFFFF\" stroke-width=\"4\" paint-order=\"stroke\"");
  }
  return svg + "</svg>\n";
}

std::string reasons_chart(const ShiftReport& r) {
  std::vector<Bar> bars;
  double most = 0;
  for (const ShiftReport::Reason& reason : r.reasons) {
    bars.push_back({reason.label, static_cast<double>(reason.boards),
                    count(reason.boards) + " (" + percent(reason.boards, r.total.not_ready()) + ")",
                    false});
    most = std::max(most, static_cast<double>(reason.boards));
  }
  return bar_chart("reasons-chart", "NOT READY boards by reason (share of NOT READY)", bars,
                   scale_for(most, true), kReasonColour, kReasonColour, "", 0);
}

std::string ports_chart(const ShiftReport& r) {
  struct PortRef {
    const ShiftReport::Station* station;
    const ShiftReport::Port* port;
  };
  std::vector<PortRef> ports;
  for (const ShiftReport::Station& s : r.stations) {
    std::transform(s.ports.begin(), s.ports.end(), std::back_inserter(ports),
                   [&](const ShiftReport::Port& p) {
                     return PortRef{&s, &p};
                   });
  }
  const auto rate = [](const ShiftReport::Port& p) {
    return 100.0 * static_cast<double>(p.counts.not_ready()) / static_cast<double>(p.counts.boards);
  };
  // In the order of the table, so that a station's ports stay together; a
  // line over the others is a port that fails more often.
  if (ports.size() > kMostPortBars) {
    std::stable_sort(ports.begin(), ports.end(), [&](const PortRef& a, const PortRef& b) {
      return rate(*a.port) > rate(*b.port);
    });
  }
  std::vector<Bar> bars;
  double most = 0;
  for (size_t i = 0; i < ports.size() && i < kMostPortBars; ++i) {
    const ShiftReport::Port& p = *ports[i].port;
    bars.push_back({ports[i].station->name + "  " + p.name, rate(p),
                    count(p.counts.not_ready()) + " of " + count(p.counts.boards) + " (" +
                        one_decimal(rate(p)) + " %)" + (p.stands_out ? " stands out" : ""),
                    p.stands_out});
    most = std::max(most, rate(p));
  }
  const double shift_rate = 100.0 - r.total.yield_percent();
  std::string title = "NOT READY rate by port (%)";
  if (ports.size() > kMostPortBars)
    title +=
        ", the " + std::to_string(kMostPortBars) + " highest of " + std::to_string(ports.size());
  return bar_chart("ports-chart", title, bars, scale_for(std::max(most, shift_rate), false),
                   kPortColour, kPortStandsOutColour, "shift " + one_decimal(shift_rate) + " %",
                   shift_rate);
}

const char kStyle[] = R"(<style>
body { font-family: sans-serif; color: #222; margin: 24px auto; max-width: 960px; padding: 0 16px; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 28px 0 8px; border-bottom: 1px solid #ccc; padding-bottom: 4px; }
.sub { color: #555; margin: 0 0 16px; }
.figures { display: flex; gap: 8px; margin-bottom: 16px; }
.figure { flex: 1; border: 1px solid #ccc; border-radius: 6px; padding: 6px 10px; }
.figure .value { font-size: 22px; font-weight: bold; }
.figure .name { font-size: 12px; color: #555; }
.alerts { border-left: 5px solid #333; background: #f4f4f4; padding: 8px 16px; margin-bottom: 16px; }
.alerts li { margin: 4px 0; }
figure.chart-box { margin: 0 0 18px; border: 1px solid #ddd; border-radius: 6px; padding: 10px; }
table { border-collapse: collapse; margin-bottom: 8px; }
th, td { padding: 3px 10px; text-align: left; border-bottom: 1px solid #e4e4e4; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.station td { font-weight: bold; background: #f4f4f4; }
.flag { font-weight: bold; }
.rules { font-size: 13px; color: #444; }
code { font-size: 13px; }
</style>
)";

std::string figure_box(const std::string& value, const std::string& name) {
  return "<div class=\"figure\"><div class=\"value\">" + escaped(value) +
         "</div><div class=\"name\">" + escaped(name) + "</div></div>\n";
}

std::string counts_cells(const Counts& c) {
  return "<td class=\"n\">" + count(c.boards) + "</td><td class=\"n\">" + count(c.ready) +
         "</td><td class=\"n\">" + count(c.not_ready()) + "</td><td class=\"n\">" +
         one_decimal(c.yield_percent()) + " %</td>";
}

std::string blocks_text(const ShiftReport::Blocks& b) {
  return b.first == b.last ? std::to_string(b.first)
                           : std::to_string(b.first) + "-" + std::to_string(b.last);
}

}  // namespace

std::string shift_html(const ShiftReport& r, const std::string& version) {
  const Counts& t = r.total;
  std::string period;
  if (t.boards > 0)
    period = utc_text(r.first_start_ms).substr(0, 16) + " to " +
             utc_text(r.last_end_ms).substr(0, 16) + " UTC (" +
             one_decimal(static_cast<double>(r.last_end_ms - r.first_start_ms) / kHourMs) + " h)";
  const uint64_t records = std::accumulate(r.notes.records_per_file.begin(),
                                           r.notes.records_per_file.end(), uint64_t{0});

  std::string h = "<!DOCTYPE html>\n";
  h += std::string(kShiftPageMark) + "\n";
  h += "<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  h += "<meta name=\"generator\" content=\"flashprep-summary " + escaped(version) + "\">\n";
  h += "<title>Shift report" + (period.empty() ? "" : ": " + escaped(period)) + "</title>\n";
  h += kStyle;
  h += "</head>\n<body>\n<h1>Shift report</h1>\n";
  h += "<p class=\"sub\">" + (period.empty() ? std::string("No boards") : escaped(period));
  if (r.since_given)
    h += " &middot; since " + utc_text(r.since_ms);
  if (r.until_given)
    h += " &middot; until " + utc_text(r.until_ms);
  h += " &middot; " + count(r.files.size()) + (r.files.size() == 1 ? " file, " : " files, ") +
       count(records) + " records</p>\n";

  h += "<div class=\"figures\">\n";
  h += figure_box(count(t.boards), "boards");
  h += figure_box(count(t.ready), "READY");
  h += figure_box(count(t.not_ready()), "NOT READY");
  h += figure_box(t.boards == 0 ? "-" : one_decimal(t.yield_percent()) + " %", "yield");
  h += figure_box(r.boards_per_hour > 0 ? one_decimal(r.boards_per_hour) : "-", "boards per hour");
  h += figure_box(t.boards == 0 ? "-" : one_decimal(r.median_seconds) + " s", "median per board");
  h += figure_box(t.boards == 0 ? "-" : one_decimal(r.p95_seconds) + " s", "95th percentile");
  h += "</div>\n";

  // What a supervisor should look at first.
  std::vector<std::string> alerts;
  for (const ShiftReport::Station& s : r.stations) {
    for (const ShiftReport::Port& p : s.ports) {
      if (p.stands_out)
        alerts.push_back("<span class=\"flag\">Port " + escaped(p.name) + " of " + escaped(s.name) +
                         " stands out:</span> " + count(p.counts.not_ready()) + " of " +
                         count(p.counts.boards) + " NOT READY (" +
                         percent(p.counts.not_ready(), p.counts.boards) + "), the other ports " +
                         one_decimal(100 * p.others_rate) + " %.");
    }
  }
  for (const ShiftReport::Station& s : r.stations) {
    if (!s.other_images.empty())
      alerts.push_back("<span class=\"flag\">Station " + escaped(s.name) +
                       " used another driver image:</span> " +
                       escaped(s.other_images.front().substr(0, 12)) +
                       (s.other_images.size() > 1 ? " and others" : "") + ", not the line's " +
                       escaped(r.images.front().sha256.substr(0, 12)) + " (see Driver images).");
  }
  if (!r.blocks.empty()) {
    std::string blocks;
    for (size_t i = 0; i < r.blocks.size() && i < 5; ++i)
      blocks += (i == 0 ? "" : ", ") + blocks_text(r.blocks[i]) + " (" + count(r.blocks[i].boards) +
                " boards)";
    alerts.push_back("<span class=\"flag\">Blocks failed on more than one board:</span> " + blocks +
                     (r.blocks.size() > 5 ? ", ..." : "") + ".");
  }
  if (r.repeated_not_ready > 0)
    alerts.push_back(count(r.repeated_not_ready) +
                     " boards prepared more than once were last NOT READY.");
  if (r.notes.skipped_count > 0)
    alerts.push_back(count(r.notes.skipped_count) +
                     (r.notes.skipped_count == 1 ? " damaged line" : " damaged lines") +
                     " skipped: no whole record (see Files read).");
  if (!alerts.empty()) {
    h += "<div class=\"alerts\"><ul>\n";
    for (const std::string& a : alerts)
      h += "<li>" + a + "</li>\n";
    h += "</ul></div>\n";
  }

  if (t.boards > 0) {
    h += "<figure class=\"chart-box\">\n" + yield_chart(r) + "</figure>\n";
    h += "<figure class=\"chart-box\">\n" + pace_chart(r) + "</figure>\n";
    if (!r.reasons.empty())
      h += "<figure class=\"chart-box\">\n" + reasons_chart(r) + "</figure>\n";
    h += "<figure class=\"chart-box\">\n" + ports_chart(r) + "</figure>\n";
  }

  h +=
      "<h2>Stations and ports</h2>\n<table>\n<tr><th>Station / port</th><th class=\"n\">Boards</th>"
      "<th class=\"n\">READY</th><th class=\"n\">NOT READY</th><th class=\"n\">Yield</th>"
      "<th></th></tr>\n";
  for (const ShiftReport::Station& s : r.stations) {
    h += "<tr class=\"station\"><td>" + escaped(s.name) + "</td>" + counts_cells(s.counts) +
         "<td>" + (s.other_images.empty() ? "" : "other image") + "</td></tr>\n";
    for (const ShiftReport::Port& p : s.ports)
      h += "<tr><td>&nbsp;&nbsp;" + escaped(p.name) + "</td>" + counts_cells(p.counts) +
           "<td class=\"flag\">" + (p.stands_out ? "stands out" : "") + "</td></tr>\n";
  }
  h += "<tr class=\"station\"><td>all</td>" + counts_cells(t) + "<td></td></tr>\n</table>\n";

  if (!r.reasons.empty()) {
    h += "<h2>Failures by reason</h2>\n<table>\n<tr><th>Reason</th><th class=\"n\">Boards</th>"
         "<th class=\"n\">Of NOT READY</th></tr>\n";
    for (const ShiftReport::Reason& reason : r.reasons)
      h += "<tr><td>" + escaped(reason.label) + "</td><td class=\"n\">" + count(reason.boards) +
           "</td><td class=\"n\">" + percent(reason.boards, t.not_ready()) + "</td></tr>\n";
    h += "</table>\n";
  }

  h += "<h2>Blocks that failed on more than one board</h2>\n";
  if (r.blocks.empty()) {
    h += "<p>None (of " + count(r.boards_with_blocks) + " boards with failed blocks).</p>\n";
  } else {
    h += "<table>\n<tr><th>Blocks</th><th class=\"n\">Boards</th></tr>\n";
    for (const ShiftReport::Blocks& b : r.blocks)
      h += "<tr><td>" + blocks_text(b) + "</td><td class=\"n\">" + count(b.boards) + "</td></tr>\n";
    h += "</table>\n";
  }

  h += "<h2>Driver images</h2>\n";
  if (r.images.empty() && r.no_image == 0) {
    h += "<p>The records name no image (flashprep 1.0).</p>\n";
  } else {
    h += "<table>\n<tr><th>sha256</th><th>File</th><th class=\"n\">Bytes</th>"
         "<th class=\"n\">Boards</th><th>Stations</th><th></th></tr>\n";
    for (size_t i = 0; i < r.images.size(); ++i) {
      const ShiftReport::Image& image = r.images[i];
      std::string stations;
      for (const std::string& s : image.stations)
        stations += (stations.empty() ? "" : ", ") + escaped(s);
      h += "<tr><td><code title=\"" + escaped(image.sha256) + "\">" +
           escaped(image.sha256.substr(0, 16)) + "</code></td><td>" + escaped(image.file) +
           "</td><td class=\"n\">" + std::to_string(image.bytes) + "</td><td class=\"n\">" +
           count(image.boards) + "</td><td>" + stations + "</td><td class=\"flag\">" +
           (i == 0 ? "the line's" : "another image") + "</td></tr>\n";
    }
    if (r.no_image > 0)
      h += "<tr><td colspan=\"3\">none could be read</td><td class=\"n\">" + count(r.no_image) +
           "</td><td></td><td></td></tr>\n";
    h += "</table>\n";
  }

  h += "<h2>Boards prepared more than once</h2>\n";
  if (r.repeated == 0) {
    h += "<p>None.</p>\n";
  } else {
    h += "<p>" + count(r.repeated) + " boards, " + count(r.repeated_not_ready) +
         " of them last NOT READY" +
         (r.repeated > r.repeats.size() ? "; the first " + count(r.repeats.size()) + " listed"
                                        : "") +
         ".</p>\n";
    h += "<table>\n<tr><th>Serial</th><th class=\"n\">Times</th><th>Last verdict</th>"
         "<th>Last station</th><th>Port</th><th>Last start (UTC)</th></tr>\n";
    for (const ShiftReport::Repeat& rep : r.repeats)
      h += "<tr><td>" + escaped(rep.serial) + "</td><td class=\"n\">" + count(rep.times) +
           "</td><td>" + (rep.last == Outcome::ready ? "READY" : "NOT READY") + "</td><td>" +
           escaped(rep.last_station) + "</td><td>" + escaped(rep.last_port) + "</td><td>" +
           utc_text(rep.last_start_ms) + "</td></tr>\n";
    h += "</table>\n";
  }

  h += "<h2>Files read</h2>\n<table>\n<tr><th>File</th><th class=\"n\">Records</th>"
       "<th>Damaged lines skipped (line)</th></tr>\n";
  for (size_t f = 0; f < r.files.size(); ++f) {
    std::string skipped;
    for (const SkippedLine& skip : r.notes.skipped) {
      if (skip.file == f)
        skipped += (skipped.empty() ? "" : ", ") + std::to_string(skip.line) + " (" +
                   escaped(damage_name(skip.damage)) +
                   (skip.damage.why.empty() ? "" : ": " + escaped(skip.damage.why)) + ")";
    }
    h += "<tr><td>" + escaped(r.files[f]) + "</td><td class=\"n\">" +
         count(r.notes.records_per_file[f]) + "</td><td>" + skipped + "</td></tr>\n";
  }
  if (r.notes.skipped_count > r.notes.skipped.size())
    h += "<tr><td colspan=\"3\">and " + count(r.notes.skipped_count - r.notes.skipped.size()) +
         " damaged lines more</td></tr>\n";
  h += "</table>\n";
  if (r.outside_window > 0)
    h += "<p>" + count(r.outside_window) + " records started outside the times asked for.</p>\n";
  if (r.schema1 > 0)
    h += "<p>" + count(r.schema1) +
         " records of flashprep 1.0 name no station (counted as unknown), serial or image.</p>\n";

  h += "<h2>How this report counts</h2>\n<div class=\"rules\"><ul>\n"
       "<li>A board is a record; NOT READY is every verdict but READY. The yield is READY out of "
       "all boards.</li>\n"
       "<li>Boards per hour: the boards over the hours from the first start to the last end. The "
       "95th percentile of the seconds per board is the value at rank ceil(0.95&nbsp;n).</li>\n"
       "<li>A port stands out when it has at least 3 NOT READY boards, fails at least twice as "
       "often as all the other ports together, and a port failing at their rate would fail as "
       "many of its boards with a chance below 1&nbsp;% divided by the number of ports (" +
       std::to_string(r.ports) +
       " here).</li>\n"
       "<li>A block counts once per board (by serial) however often that board failed it.</li>\n"
       "<li>The line's image is the one most boards were prepared with; a station that used "
       "another is flagged.</li>\n"
       "<li>Times are UTC; each point and bar of the timeline is one " +
       bucket_words(r.bucket_ms) + ".</li>\n</ul></div>\n";
  h += "</body>\n</html>\n";
  return h;
}
