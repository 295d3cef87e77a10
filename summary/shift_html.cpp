#include <algorithm>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "summary/local_time.h"
#include "summary/markup.h"
#include "summary/shift_charts.h"
#include "summary/shift_output.h"

const char kShiftPageMark[] = "<!-- flashprep-summary shift report -->";

namespace {

// On a screen the page is one column up to 960 px, the cards wrap and wide
// tables scroll inside their box, so that a phone's 390 px hold it all. On
// paper no chart, card or row is cut across two pages.
const char kStyle[] = R"(<style>
body { font-family: sans-serif; color: #222; margin: 24px auto; max-width: 960px; padding: 0 16px; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 28px 0 8px; border-bottom: 1px solid #ccc; padding-bottom: 4px; }
.sub { color: #555; margin: 0 0 16px; }
.figures { display: flex; flex-wrap: wrap; gap: 8px; margin-bottom: 16px; }
.figure { flex: 1 1 100px; min-width: 0; border: 1px solid #ccc; border-radius: 6px; padding: 6px 10px; }
.figure .value { font-size: 22px; font-weight: bold; }
.figure .name { font-size: 12px; color: #555; }
.alerts { border-left: 5px solid #333; background: #f4f4f4; padding: 8px 16px; margin-bottom: 16px; overflow-wrap: anywhere; }
.alerts li { margin: 4px 0; }
figure.chart-box { margin: 0 0 18px; border: 1px solid #ddd; border-radius: 6px; padding: 10px; }
svg.chart { display: block; max-width: 100%; height: auto; }
.scroll { overflow-x: auto; max-width: 100%; }
table { border-collapse: collapse; margin-bottom: 8px; }
th, td { padding: 3px 10px; text-align: left; border-bottom: 1px solid #e4e4e4; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.badge { font-size: 11px; font-weight: bold; border: 1px solid #888; border-radius: 3px; padding: 0 3px; white-space: nowrap; }
tr.station td { font-weight: bold; background: #f4f4f4; }
.flag { font-weight: bold; }
.rules { font-size: 13px; color: #444; }
code { font-size: 13px; }
@media (max-width: 600px) {
  body { margin: 8px auto; padding: 0 8px; }
  h1 { font-size: 20px; }
  figure.chart-box { padding: 4px; }
  th, td { padding: 2px 4px; font-size: 12px; }
}
@page { margin: 12mm; }
@media print {
  body { margin: 0; max-width: none; padding: 0; }
  figure.chart-box, .figures, .figure, .alerts, tr, li { break-inside: avoid; page-break-inside: avoid; }
  h2 { break-after: avoid; page-break-after: avoid; }
  .scroll { overflow: visible; }
}
</style>
)";

std::string count(uint64_t n) {
  return std::to_string(n);
}

std::string percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? "-" : one_decimal(Counts::percent_of(part, whole)) + " %";
}

std::string hours(int64_t ms) {
  return one_decimal(static_cast<double>(ms) / 3600000.0) + " h";
}

std::string figure_box(const char* id, const std::string& value, const std::string& name) {
  return "<div class=\"figure\" id=\"" + std::string(id) + "\"><div class=\"value\">" +
         escaped(value) + "</div><div class=\"name\">" + escaped(name) + "</div></div>\n";
}

std::string flagged(const std::string& flag, const std::string& rest) {
  return "<span class=\"flag\">" + flag + "</span> " + rest;
}

std::string row_of(const std::vector<std::string>& cells) {
  std::string h = "<tr>";
  for (const std::string& c : cells)
    h += c;
  return h + "</tr>\n";
}

std::string td(const std::string& text) {
  return "<td>" + escaped(text) + "</td>";
}

std::string td_n(uint64_t n) {
  return "<td class=\"n\">" + count(n) + "</td>";
}

std::string table_open(const std::string& headings) {
  return "<div class=\"scroll\"><table>\n<tr>" + headings + "</tr>\n";
}

const char kTableClose[] = "</table></div>\n";

std::string period_of(const ShiftReport& r, const TimeZone& zone) {
  if (r.timeline.empty())
    return "";
  return local_text(zone, r.first_start_ms) + " to " + local_text(zone, r.last_end_ms) + " (" +
         hours(r.last_end_ms - r.first_start_ms) + ")";
}

std::string page_head(const ShiftReport& r, const TimeZone& zone, const std::string& version) {
  const std::string period = period_of(r, zone);
  const uint64_t records = std::accumulate(r.notes.records_per_file.begin(),
                                           r.notes.records_per_file.end(), uint64_t{0});
  std::string h = "<!DOCTYPE html>\n";
  h += std::string(kShiftPageMark) + "\n";
  h += "<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  h += "<meta name=\"generator\" content=\"flashprep-summary " + escaped(version) + "\">\n";
  h += "<title>Shift report" + (period.empty() ? "" : ": " + escaped(period)) + "</title>\n";
  h += kStyle;
  h += "</head>\n<body>\n<h1>Shift report</h1>\n";
  h += "<p class=\"sub\">" + (period.empty() ? std::string("No runs") : escaped(period));
  if (r.since_given)
    h += " &middot; since " + local_text(zone, r.since_ms);
  if (r.until_given)
    h += " &middot; until " + local_text(zone, r.until_ms);
  h += " &middot; times in " + escaped(r.zone) + " &middot; " + count(r.files.size()) +
       (r.files.size() == 1 ? " file, " : " files, ") + count(records) + " records</p>\n";
  return h;
}

std::string figure_boxes(const ShiftReport& r) {
  const BoardTotals& b = r.boards;
  const bool any = !r.timeline.empty();
  std::string h = "<div class=\"figures\">\n";
  h += figure_box("card-boards", count(b.boards), "boards");
  h += figure_box("card-first-pass", percent(b.first_ready, b.judged), "first-pass yield");
  h += figure_box("card-final", percent(b.final_ready, b.judged), "final yield");
  h += figure_box("card-not-ready", count(b.not_ready_at_end()), "NOT READY at the end");
  h += figure_box("card-runs", count(r.total.runs), "runs judged");
  h += figure_box("card-retests", count(b.retests), "retests");
  h += figure_box("card-pace", r.runs_per_hour > 0 ? one_decimal(r.runs_per_hour) : "-",
                  "runs per hour at work");
  h +=
      figure_box("card-median", any ? one_decimal(r.median_seconds) + " s" : "-", "median per run");
  h += figure_box("card-p95", any ? one_decimal(r.p95_seconds) + " s" : "-", "95th percentile");
  return h + "</div>\n";
}

// What a supervisor should look at first.
std::vector<std::string> alerts_of(const ShiftReport& r, const TimeZone& zone) {
  std::vector<std::string> alerts;
  if (r.boards.not_ready_at_end() > 0)
    alerts.push_back(flagged(count(r.boards.not_ready_at_end()) + " boards NOT READY at the end",
                             "(see Boards NOT READY at the end)."));
  for (const ShiftReport::SharedName& s : r.shared_names) {
    std::string names;
    for (const std::string& n : s.stations)
      names += (names.empty() ? "" : ", ") + escaped(n);
    alerts.push_back(flagged("Station name " + escaped(s.name) + " used by two stations:",
                             "runs overlap on port " + escaped(s.port) + " at " +
                                 local_text(zone, s.at_ms) + "; told apart by boot as " + names +
                                 "."));
  }
  for (const ShiftReport::Station& s : r.stations) {
    for (const ShiftReport::Port& p : s.ports) {
      if (p.stands_out)
        alerts.push_back(
            flagged("Port " + escaped(p.name) + " of " + escaped(s.name) + " stands out:",
                    count(p.counts.not_ready()) + " of " + count(p.counts.runs) +
                        " runs NOT READY (" + percent(p.counts.not_ready(), p.counts.runs) +
                        "), the other ports " + one_decimal(100 * p.others_rate) + " %."));
    }
  }
  std::transform(r.image_changes.begin(), r.image_changes.end(), std::back_inserter(alerts),
                 [&](const ShiftReport::ImageChange& c) {
                   return flagged("Station " + escaped(c.station) + " changed its driver image",
                                  "at " + local_text(zone, c.at_ms) + ": " +
                                      escaped(c.from.substr(0, 12)) + " to " +
                                      escaped(c.to.substr(0, 12)) + ".");
                 });
  for (const ShiftReport::Station& s : r.stations) {
    if (!s.other_images.empty())
      alerts.push_back(flagged("Station " + escaped(s.name) + " used another driver image:",
                               escaped(s.other_images.front().substr(0, 12)) +
                                   (s.other_images.size() > 1 ? " and others" : "") +
                                   ", not the line's " +
                                   escaped(r.images.front().sha256.substr(0, 12)) + "."));
  }
  return alerts;
}

// Of the reading: what was dropped, left out or skipped.
void add_reading_alerts(const ShiftReport& r, std::vector<std::string>* alerts) {
  if (!r.blocks.empty())
    alerts->push_back(flagged("Blocks failed on more than one board:",
                              "see Blocks that failed on more than one board."));
  if (r.duplicates > 0)
    alerts->push_back(count(r.duplicates) + " records were copies of another and dropped.");
  if (r.simulated > 0)
    alerts->push_back(count(r.simulated) + " runs of simulated boards " +
                      (r.simulated_included ? "counted (--include-simulated)." : "left out."));
  if (r.total.ended > 0)
    alerts->push_back(count(r.total.ended) +
                      " runs ended by the station, counted apart (no failure).");
  if (r.notes.skipped_count > 0)
    alerts->push_back(count(r.notes.skipped_count) +
                      (r.notes.skipped_count == 1 ? " damaged line" : " damaged lines") +
                      " skipped: no whole record (see Files read).");
}

std::string alerts_box(const ShiftReport& r, const TimeZone& zone) {
  std::vector<std::string> alerts = alerts_of(r, zone);
  add_reading_alerts(r, &alerts);
  if (alerts.empty())
    return "";
  std::string h = "<div class=\"alerts\"><ul>\n";
  for (const std::string& a : alerts)
    h += "<li>" + a + "</li>\n";
  return h + "</ul></div>\n";
}

std::string charts(const ShiftReport& r, const TimeZone& zone) {
  if (r.timeline.empty())
    return "";
  std::string h = "<figure class=\"chart-box\">\n" + yield_chart(r, zone) + "</figure>\n";
  h += "<figure class=\"chart-box\">\n" + pace_chart(r, zone) + "</figure>\n";
  if (!r.reasons.empty())
    h += "<figure class=\"chart-box\">\n" + reasons_chart(r) + "</figure>\n";
  return h + "<figure class=\"chart-box\">\n" + ports_chart(r) + "</figure>\n";
}

std::string counts_cells(const Counts& c) {
  return td_n(c.runs) + td_n(c.ready) + td_n(c.not_ready()) + "<td class=\"n\">" +
         one_decimal(c.yield_percent()) + " %</td>" + td_n(c.ended);
}

// A flag after a name rather than in a column of its own: the table then
// fits a phone's width.
std::string badge(bool shown, const char* text) {
  return shown ? std::string(" <span class=\"badge\">") + text + "</span>" : "";
}

std::string stations_table(const ShiftReport& r) {
  std::string h = "<h2>Stations and ports</h2>\n" +
                  table_open(
                      "<th>Station / port</th><th class=\"n\">Runs</th><th "
                      "class=\"n\">READY</th><th class=\"n\">NOT READY</th><th "
                      "class=\"n\">Yield</th><th class=\"n\">Ended</th>");
  for (const ShiftReport::Station& s : r.stations) {
    h += "<tr class=\"station\"><td>" + escaped(s.name) +
         badge(!s.other_images.empty(), "other image") + "</td>" + counts_cells(s.counts) +
         "</tr>\n";
    for (const ShiftReport::Port& p : s.ports)
      h += "<tr><td>&nbsp;&nbsp;" + escaped(p.name) + badge(p.stands_out, "stands out") + "</td>" +
           counts_cells(p.counts) + "</tr>\n";
  }
  return h + "<tr class=\"station\"><td>all</td>" + counts_cells(r.total) + "</tr>\n" + kTableClose;
}

std::string reasons_table(const std::vector<ShiftReport::Reason>& reasons, const char* title,
                          uint64_t whole, const char* share) {
  if (reasons.empty())
    return "";
  std::string h = "<h2>" + std::string(title) + "</h2>\n" +
                  table_open("<th>Reason</th><th class=\"n\">Runs</th><th class=\"n\">" +
                             std::string(share) + "</th>");
  for (const ShiftReport::Reason& reason : reasons)
    h += row_of({td(reason.label), td_n(reason.runs),
                 "<td class=\"n\">" + percent(reason.runs, whole) + "</td>"});
  return h + kTableClose;
}

std::string blocks_text(const ShiftReport::Blocks& b) {
  return b.first == b.last ? std::to_string(b.first)
                           : std::to_string(b.first) + "-" + std::to_string(b.last);
}

std::string blocks_table(const ShiftReport& r) {
  std::string h = "<h2>Blocks that failed on more than one board</h2>\n";
  if (r.blocks.empty())
    return h + "<p>None (of " + count(r.boards_with_blocks) + " boards with failed blocks).</p>\n";
  h += table_open("<th>Blocks</th><th class=\"n\">Boards</th>");
  for (const ShiftReport::Blocks& b : r.blocks)
    h += row_of({td(blocks_text(b)), td_n(b.boards)});
  return h + kTableClose;
}

std::string images_table(const ShiftReport& r, const TimeZone& zone) {
  std::string h = "<h2>Driver images</h2>\n";
  if (r.images.empty() && r.no_image == 0)
    return h + "<p>The records name no image (flashprep 1.0).</p>\n";
  h += table_open(
      "<th>sha256</th><th>File</th><th class=\"n\">Bytes</th><th class=\"n\">Runs</th>"
      "<th>Stations</th><th></th>");
  for (size_t i = 0; i < r.images.size(); ++i) {
    const ShiftReport::Image& image = r.images[i];
    std::string stations;
    for (const std::string& s : image.stations)
      stations += (stations.empty() ? "" : ", ") + s;
    h += row_of(
        {"<td><code title=\"" + escaped(image.sha256) + "\">" +
             escaped(image.sha256.substr(0, 16)) + "</code></td>",
         td(image.file), td_n(static_cast<uint64_t>(image.bytes)), td_n(image.runs), td(stations),
         "<td class=\"flag\">" + std::string(i == 0 ? "the line's" : "another image") + "</td>"});
  }
  if (r.no_image > 0)
    h += "<tr><td colspan=\"3\">none could be read</td>" + td_n(r.no_image) +
         "<td></td><td></td></tr>\n";
  h += kTableClose;
  if (r.image_changes.empty())
    return h;
  h += "<h2>Image changes</h2>\n" +
       table_open("<th>Station</th><th>At</th><th>From</th><th>To</th>");
  for (const ShiftReport::ImageChange& c : r.image_changes)
    h += row_of({td(c.station), td(local_text(zone, c.at_ms)), td(c.from.substr(0, 12)),
                 td(c.to.substr(0, 12))});
  return h + kTableClose;
}

std::string board_rows(const std::vector<ShiftReport::Board>& boards, const TimeZone& zone) {
  std::string h;
  for (const ShiftReport::Board& b : boards)
    h += row_of({td(b.serial.empty() ? "(no serial)" : b.serial), td(b.station), td(b.port),
                 td_n(b.runs), td(b.judged ? outcome_text(b.first) : "-"),
                 td(b.judged ? outcome_text(b.last) : "not finished"),
                 td(local_text(zone, b.last_start_ms)), td(b.last_reason)});
  return h;
}

std::string boards_tables(const ShiftReport& r, const TimeZone& zone) {
  const char* const headings =
      "<th>Serial</th><th>Station</th><th>Port</th><th class=\"n\">Runs judged</th>"
      "<th>First</th><th>Last</th><th>Last start</th><th>Last reason</th>";
  const uint64_t n = r.boards.not_ready_at_end();
  std::string h = "<h2 id=\"not-ready\">Boards NOT READY at the end</h2>\n";
  if (n == 0) {
    h += "<p>None.</p>\n";
  } else {
    h += "<p>" + count(n) + " boards" +
         (n > r.not_ready.size() ? "; the first " + count(r.not_ready.size()) + " listed" : "") +
         " (the CSV lists every run).</p>\n" + table_open(headings) +
         board_rows(r.not_ready, zone) + kTableClose;
  }
  h += "<h2>Boards judged more than once</h2>\n";
  if (r.boards.retested == 0)
    return h + "<p>None.</p>\n";
  return h + "<p>" + count(r.boards.retested) + " boards, " + count(r.boards.retests) + " retests" +
         (r.boards.retested > r.retested.size()
              ? "; the first " + count(r.retested.size()) + " listed"
              : "") +
         ".</p>\n" + table_open(headings) + board_rows(r.retested, zone) + kTableClose;
}

std::string files_table(const ShiftReport& r) {
  std::string h =
      "<h2>Files read</h2>\n" + table_open(
                                    "<th>File</th><th class=\"n\">Records</th><th>Damaged lines "
                                    "skipped (line)</th>");
  for (size_t f = 0; f < r.files.size(); ++f) {
    std::string skipped;
    for (const SkippedLine& skip : r.notes.skipped) {
      if (skip.file == f)
        skipped += (skipped.empty() ? "" : ", ") + std::to_string(skip.line) + " (" +
                   damage_name(skip.damage) +
                   (skip.damage.why.empty() ? "" : ": " + skip.damage.why) + ")";
    }
    h += row_of({td(r.files[f]), td_n(r.notes.records_per_file[f]), td(skipped)});
  }
  if (r.notes.skipped_count > r.notes.skipped.size())
    h += "<tr><td colspan=\"3\">and " + count(r.notes.skipped_count - r.notes.skipped.size()) +
         " damaged lines more</td></tr>\n";
  h += kTableClose;
  if (r.outside_window > 0)
    h += "<p>" + count(r.outside_window) + " records started outside the times asked for.</p>\n";
  if (r.schema1 > 0)
    h += "<p>" + count(r.schema1) +
         " records of flashprep 1.0 name no station (counted as unknown), serial or image.</p>\n";
  return h;
}

std::string rules(const ShiftReport& r) {
  return "<h2>How this report counts</h2>\n<div class=\"rules\"><ul>\n"
         "<li>A run is one record; records alike in station, boot, board and start are one run "
         "(a file given twice, overlapping pieces of one file). Runs of simulated boards are "
         "left out unless asked for.</li>\n"
         "<li>A run the station ended (stopped by a signal, not started, not waited for, busy, "
         "the station ended, the log lost) is no verdict on its board: it is counted apart and "
         "never as a failure.</li>\n"
         "<li>A board is its serial, or without one its station, port and plug (boot, device "
         "number). First-pass yield: boards READY on their first run judged; final yield: "
         "boards whose last run judged is READY; both out of the boards judged. Retests: the "
         "runs judged after a board's first. A board not READY on its last run judged, or "
         "with none, is NOT READY at the end.</li>\n"
         "<li>Two boots of one station name whose runs overlap on one port are two stations, "
         "each shown with its boot.</li>\n"
         "<li>Runs per hour: the runs judged over the hours at work, from the first start to "
         "the last end less every gap of " +
         std::to_string(kGapMinutes) +
         " minutes or more with no run in progress; each bar over its own time at work. The "
         "95th percentile of the seconds per run is the value at rank ceil(0.95&nbsp;n).</li>\n"
         "<li>A port stands out when it has at least 3 NOT READY runs, fails at least twice as "
         "often as all the other ports together, and a port failing at their rate would fail as "
         "many of its runs with a chance below 1&nbsp;% divided by the number of ports (" +
         std::to_string(r.ports) +
         " here).</li>\n"
         "<li>A block counts once per board however often that board failed it.</li>\n"
         "<li>The line's image is the one most runs were started with; a station that used "
         "another is flagged, and each change of a station's image is marked on the "
         "timeline.</li>\n"
         "<li>Times are in " +
         escaped(r.zone) +
         ", each with its offset from UTC; each point and bar of the timeline is one " +
         bucket_words(r.bucket_ms) + ".</li>\n</ul></div>\n";
}

}  // namespace

std::string shift_html(const ShiftReport& r, const TimeZone& zone, const std::string& version) {
  std::string h = page_head(r, zone, version);
  h += figure_boxes(r);
  h += alerts_box(r, zone);
  h += charts(r, zone);
  h += stations_table(r);
  h += reasons_table(r.reasons, "Failures by reason", r.total.not_ready(), "Of NOT READY");
  h += reasons_table(r.ended_reasons, "Runs ended by the station", r.total.ended, "Of them");
  h += blocks_table(r);
  h += images_table(r, zone);
  h += boards_tables(r, zone);
  h += files_table(r);
  h += rules(r);
  return h + "</body>\n</html>\n";
}
