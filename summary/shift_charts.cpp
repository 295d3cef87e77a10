#include "summary/shift_charts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <vector>

#include "summary/local_time.h"
#include "summary/markup.h"
#include "summary/shift_output.h"

namespace {

// Colour-blind-safe colours; each series colour belongs to one chart only.
constexpr const char* kYieldColour = "#0072B2";
constexpr const char* kReadyColour = "#009E73";
constexpr const char* kNotReadyColour = "#D55E00";
constexpr const char* kReasonColour = "#CC79A7";
constexpr const char* kPortColour = "#56B4E9";
constexpr const char* kPortStandsOutColour = "#E69F00";
constexpr const char* kChangeColour = "#555555";
constexpr const char* kGridColour = "#DDDDDD";
constexpr const char* kTextColour = "#333333";

constexpr int kChartWidth = 920;
constexpr int kBarRow = 20;  // height of one bar's row
constexpr size_t kMostPortBars = 60;
constexpr size_t kMostChangeMarks = 12;
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

// The chart scales down with the page (a phone, a printed page), never up.
std::string svg_open(const char* id, int height, const std::string& label) {
  return "<svg id=\"" + std::string(id) + "\" class=\"chart\" width=\"" +
         std::to_string(kChartWidth) + "\" height=\"" + std::to_string(height) +
         "\" viewBox=\"0 0 " + std::to_string(kChartWidth) + " " + std::to_string(height) +
         "\" preserveAspectRatio=\"xMinYMin meet\" role=\"img\" aria-label=\"" + escaped(label) +
         "\" font-size=\"12\" fill=\"" + kTextColour + "\">\n";
}

std::string title_at(const std::string& title) {
  return text_at(0, 16, title, " font-weight=\"bold\" font-size=\"14\"");
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

// A scale from 0 for values up to `most`: its top and the step between its
// lines, both 1, 2 or 5 times a power of ten (whole numbers for counts). The
// lines are counted, not found by comparing sums of steps with the top, which
// a fixed tolerance gets wrong at either end of the doubles.
struct Scale {
  double top;
  double step;
  int steps;  // lines above the one at 0, the last at the top
};

Scale scale_for(double most, bool whole) {
  // Nothing to draw (every run READY, or none judged) gets the scale of 1,
  // not one of a ten-billionth whose lines run far past the chart.
  double step = nice_ceiling(most / 5);
  if (whole)
    step = std::max(step, 1.0);
  // A nice step is at least a fifth of `most`: a handful of lines.
  const int steps = std::max(1, static_cast<int>(std::ceil(most / step)));
  return {steps * step, step, steps};
}

// The time axis shared by the two timeline charts: a label at round times
// (whole hours, days) far enough apart that they never run into each other.
struct TimeAxis {
  double left;
  double slot;       // width of one bucket
  int64_t label_ms;  // a label at each multiple of this
  int64_t first_ms;  // the first bucket's start
  int64_t bucket_ms;
  double x_of(int64_t ms) const {
    return left + slot * static_cast<double>(ms - first_ms) / static_cast<double>(bucket_ms);
  }
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
  return {left, slot, label_ms, r.timeline.front().start_ms, r.bucket_ms};
}

// A label at each bucket that starts at a multiple of the axis's step, in
// local time: the date where the day changes.
std::string time_labels(const ShiftReport& r, const TimeZone& zone, const TimeAxis& axis,
                        double y) {
  std::string svg;
  std::string last_date;
  const int64_t offset = zone.offset_ms(axis.first_ms);
  for (const ShiftReport::Bucket& bucket : r.timeline) {
    const int64_t start = bucket.start_ms;
    if ((start + offset) % axis.label_ms != 0)
      continue;
    const std::string local = local_minute(zone, start);  // YYYY-MM-DDTHH:MM
    const std::string date = local.substr(0, 10);
    std::string label = local.substr(5, 5);
    if (r.bucket_ms < kDayMs) {
      // The date only where the day changes.
      if (date != last_date)
        label += " ";
      else
        label.clear();
      label += local.substr(11, 5);
    }
    const double x = axis.x_of(start);
    svg += line_at(x, y - 14, x, y - 10, kTextColour);
    svg += text_at(x, y, label, " text-anchor=\"start\" font-size=\"11\"");
    last_date = date;
  }
  return svg;
}

std::string bucket_name(const ShiftReport& r, const TimeZone& zone, size_t i) {
  const int64_t start = r.timeline[i].start_ms;
  return local_minute(zone, start) + " to " + local_minute(zone, start + r.bucket_ms).substr(11) +
         " " + offset_text(zone.offset_ms(start));
}

// Each change of a station's image: a dashed line at its time, named.
std::string change_marks(const ShiftReport& r, const TimeAxis& axis, double top, double bottom) {
  std::string svg;
  for (size_t i = 0; i < r.image_changes.size() && i < kMostChangeMarks; ++i) {
    const ShiftReport::ImageChange& c = r.image_changes[i];
    const double x = axis.x_of(c.at_ms);
    const std::string what = c.station + ": image " + c.to.substr(0, 8);
    svg +=
        "<g class=\"image-change\"><title>" + escaped(what) + "</title>\n" +
        line_at(x, top, x, bottom, kChangeColour, " stroke-dasharray=\"3 3\"") +
        text_at(x + 3, top + 10 + 12 * static_cast<double>(i % 3), what,
                " font-size=\"10\" stroke=\"#FFFFFF\" stroke-width=\"3\" paint-order=\"stroke\"") +
        "</g>\n";
  }
  return svg;
}

std::string polyline(const std::string& points) {
  return "<polyline fill=\"none\" stroke=\"" + std::string(kYieldColour) +
         "\" stroke-width=\"2.5\" points=\"" + points + "\"/>\n";
}

}  // namespace

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

// Yield per bucket of the timeline: a line through the buckets that had
// runs judged, the shift's yield dashed across.
std::string yield_chart(const ShiftReport& r, const TimeZone& zone) {
  const double left = 60;
  const double top = 30;
  const double plot_w = kChartWidth - left - 90;  // room for the shift's yield on the right
  const double plot_h = 170;
  double lowest = 100;
  for (const ShiftReport::Bucket& b : r.timeline) {
    if (b.counts.runs > 0)
      lowest = std::min(lowest, b.counts.yield_percent());
  }
  // The scale starts at a multiple of 10 at least 5 points below the lowest.
  const double floor_percent = std::max(0.0, std::floor((lowest - 5) / 10) * 10);
  const int step = 100 - floor_percent <= 30 ? 5 : 10;
  const auto y_of = [&](double yield) {
    return top + plot_h * (100 - yield) / (100 - floor_percent);
  };
  std::string svg = svg_open("yield-chart", static_cast<int>(top + plot_h + 40),
                             "Yield of the runs over the shift");
  svg += title_at("Yield of the runs over the shift, one point per " + bucket_words(r.bucket_ms));
  for (int p = static_cast<int>(floor_percent); p <= 100; p += step) {
    svg += line_at(left, y_of(p), left + plot_w, y_of(p), kGridColour);
    svg += text_at(left - 6, y_of(p) + 4, std::to_string(p) + " %", " text-anchor=\"end\"");
  }
  const TimeAxis axis = time_axis(r, left, plot_w);
  svg += time_labels(r, zone, axis, top + plot_h + 24);
  svg += change_marks(r, axis, top, top + plot_h);
  // No run judged, no yield: a line at 0 % would lie far below the scale.
  if (r.total.runs > 0) {
    const double overall = r.total.yield_percent();
    svg += line_at(left, y_of(overall), left + plot_w, y_of(overall), kTextColour,
                   " stroke-dasharray=\"6 4\"");
    svg += text_at(left + plot_w + 6, y_of(overall) + 4, "shift " + one_decimal(overall) + " %");
  }
  std::string points;
  std::string dots;
  for (size_t i = 0; i < r.timeline.size(); ++i) {
    const Counts& c = r.timeline[i].counts;
    if (c.runs == 0) {
      // No runs judged, no yield: the line breaks here.
      svg += points.empty() ? "" : polyline(points);
      points.clear();
      continue;
    }
    const double x = left + axis.slot * (static_cast<double>(i) + 0.5);
    const double y = y_of(c.yield_percent());
    points += (points.empty() ? "" : " ") + num(x) + "," + num(y);
    dots += "<circle cx=\"" + num(x) + "\" cy=\"" + num(y) + "\" r=\"4\" fill=\"" + kYieldColour +
            "\"><title>" + escaped(bucket_name(r, zone, i)) + ": " +
            one_decimal(c.yield_percent()) + " %, " + count(c.ready) + " of " + count(c.runs) +
            " READY</title></circle>\n";
  }
  svg += points.empty() ? "" : polyline(points);
  return svg + dots + "</svg>\n";
}

// Runs per hour in each bucket, READY and NOT READY stacked, each over the
// time of its bucket at work (the last bucket's few minutes, a gap's edges).
std::string pace_chart(const ShiftReport& r, const TimeZone& zone) {
  const double left = 60;
  const double top = 30;
  const double plot_w = kChartWidth - left - 20;
  const double plot_h = 170;
  const auto per_hour = [](const ShiftReport::Bucket& b, uint64_t n) {
    return b.work_ms <= 0 ? 0.0 : static_cast<double>(n) * kHourMs / static_cast<double>(b.work_ms);
  };
  double most = 0;
  for (const ShiftReport::Bucket& b : r.timeline)
    most = std::max(most, per_hour(b, b.counts.runs));
  const Scale scale = scale_for(most, false);
  const auto y_of = [&](double v) { return top + plot_h * (1 - v / scale.top); };
  std::string svg =
      svg_open("pace-chart", static_cast<int>(top + plot_h + 40), "Runs per hour at work");
  svg += title_at("Runs per hour at work, one bar per " + bucket_words(r.bucket_ms));
  svg += rect_at(left + plot_w - 200, 6, 12, 12, kReadyColour, "READY");
  svg += text_at(left + plot_w - 184, 16, "READY");
  svg += rect_at(left + plot_w - 120, 6, 12, 12, kNotReadyColour, "NOT READY");
  svg += text_at(left + plot_w - 104, 16, "NOT READY");
  for (int k = 0; k <= scale.steps; ++k) {
    const double v = k * scale.step;
    svg += line_at(left, y_of(v), left + plot_w, y_of(v), kGridColour);
    svg += text_at(left - 6, y_of(v) + 4, num(v), " text-anchor=\"end\"");
  }
  const TimeAxis axis = time_axis(r, left, plot_w);
  svg += time_labels(r, zone, axis, top + plot_h + 24);
  const double bar_w = std::max(1.0, axis.slot * 0.8);
  for (size_t i = 0; i < r.timeline.size(); ++i) {
    const ShiftReport::Bucket& b = r.timeline[i];
    const Counts& c = b.counts;
    if (c.runs == 0 || b.work_ms <= 0)
      continue;
    const double x = left + axis.slot * static_cast<double>(i) + (axis.slot - bar_w) / 2;
    const double ready = per_hour(b, c.ready);
    const double all = per_hour(b, c.runs);
    const std::string what = bucket_name(r, zone, i) + ": " + count(c.runs) + " runs in " +
                             num(static_cast<double>(b.work_ms) / kMinuteMs) + " min at work, " +
                             count(c.ready) + " READY, " + count(c.not_ready()) + " NOT READY";
    svg += rect_at(x, y_of(ready), bar_w, y_of(0) - y_of(ready), kReadyColour, what);
    if (c.not_ready() > 0)
      svg += rect_at(x, y_of(all), bar_w, y_of(ready) - y_of(all), kNotReadyColour, what);
  }
  svg += change_marks(r, axis, top, top + plot_h);
  return svg + "</svg>\n";
}

namespace {

struct Bar {
  std::string label;
  double value;       // the bar's length on the scale
  std::string shown;  // the figure written after it
  bool marked;
};

struct BarStyle {
  const char* colour;
  const char* marked_colour;
  std::string reference_label;  // none: no reference line
  double reference;
};

// Horizontal bars, one row each, labels on the left.
std::string bar_chart(const char* id, const std::string& title, const std::vector<Bar>& bars,
                      const Scale& scale, const BarStyle& style) {
  const double left = 330;
  const double top = 34;
  const double plot_w = kChartWidth - left - 190;  // room for the figure after the longest bar
  const double bottom = top + kBarRow * static_cast<double>(bars.size());
  const auto x_of = [&](double v) { return left + plot_w * v / scale.top; };
  std::string svg = svg_open(id, static_cast<int>(bottom + 30), title) + title_at(title);
  for (int k = 0; k <= scale.steps; ++k) {
    const double v = k * scale.step;
    svg += line_at(x_of(v), top - 4, x_of(v), bottom, kGridColour);
    svg += text_at(x_of(v), bottom + 16, num(v), " text-anchor=\"middle\" font-size=\"11\"");
  }
  // The reference first, so that the bars and their figures lie over it.
  if (!style.reference_label.empty()) {
    svg += line_at(x_of(style.reference), top - 8, x_of(style.reference), bottom, kTextColour,
                   " stroke-dasharray=\"5 3\"");
    svg += text_at(x_of(style.reference) + 4, top - 10, style.reference_label, " font-size=\"11\"");
  }
  for (size_t i = 0; i < bars.size(); ++i) {
    const Bar& b = bars[i];
    const double y = top + kBarRow * static_cast<double>(i);
    svg += text_at(left - 8, y + 14, b.label,
                   std::string(" text-anchor=\"end\"") + (b.marked ? " font-weight=\"bold\"" : ""));
    const double w = std::max(b.value > 0 ? 2.0 : 0.0, x_of(b.value) - left);
    if (w > 0)
      svg += rect_at(left, y + 3, w, kBarRow - 6, b.marked ? style.marked_colour : style.colour,
                     b.label + ": " + b.shown);
    // A white edge keeps the figure legible where it crosses the reference.
    svg += text_at(left + w + 6, y + 14, b.shown,
                   " stroke=\"#FFFFFF\" stroke-width=\"4\" paint-order=\"stroke\"");
  }
  return svg + "</svg>\n";
}

double rate_of(const ShiftReport::Port& p) {
  return Counts::percent_of(p.counts.not_ready(), p.counts.runs);
}

}  // namespace

std::string reasons_chart(const ShiftReport& r) {
  std::vector<Bar> bars;
  double most = 0;
  for (const ShiftReport::Reason& reason : r.reasons) {
    bars.push_back({reason.label, static_cast<double>(reason.runs),
                    count(reason.runs) + " (" +
                        one_decimal(Counts::percent_of(reason.runs, r.total.not_ready())) + " %)",
                    false});
    most = std::max(most, static_cast<double>(reason.runs));
  }
  return bar_chart("reasons-chart", "NOT READY runs by reason (share of NOT READY)", bars,
                   scale_for(most, true), {kReasonColour, kReasonColour, "", 0});
}

std::string ports_chart(const ShiftReport& r) {
  struct PortRef {
    const ShiftReport::Station* station;
    const ShiftReport::Port* port;
  };
  std::vector<PortRef> ports;
  for (const ShiftReport::Station& s : r.stations) {
    for (const ShiftReport::Port& p : s.ports) {
      if (p.counts.runs > 0)
        ports.push_back({&s, &p});
    }
  }
  // In the order of the table, so that a station's ports stay together; a
  // line over the others is a port that fails more often.
  if (ports.size() > kMostPortBars) {
    std::stable_sort(ports.begin(), ports.end(), [&](const PortRef& a, const PortRef& b) {
      return rate_of(*a.port) > rate_of(*b.port);
    });
  }
  std::vector<Bar> bars;
  double most = 0;
  for (size_t i = 0; i < ports.size() && i < kMostPortBars; ++i) {
    const ShiftReport::Port& p = *ports[i].port;
    bars.push_back({ports[i].station->name + "  " + p.name, rate_of(p),
                    count(p.counts.not_ready()) + " of " + count(p.counts.runs) + " (" +
                        one_decimal(rate_of(p)) + " %)" + (p.stands_out ? " stands out" : ""),
                    p.stands_out});
    most = std::max(most, rate_of(p));
  }
  const double shift_rate = 100.0 - r.total.yield_percent();
  std::string title = "NOT READY rate of the runs by port (%)";
  if (ports.size() > kMostPortBars)
    title +=
        ", the " + std::to_string(kMostPortBars) + " highest of " + std::to_string(ports.size());
  return bar_chart(
      "ports-chart", title, bars, scale_for(std::max(most, shift_rate), false),
      {kPortColour, kPortStandsOutColour, "shift " + one_decimal(shift_rate) + " %", shift_rate});
}
