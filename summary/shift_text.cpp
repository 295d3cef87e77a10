#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>

#include "summary/local_time.h"
#include "summary/shift_output.h"

namespace {

constexpr size_t kMostSkippedNamed = 3;
constexpr size_t kMostBlockLines = 8;
constexpr size_t kMostBoardLines = 20;
constexpr size_t kMostChangeLines = 8;
constexpr int kNameWidth = 20;

// A name read from the records as the report shows it: a control character
// (a newline, an escape) as '?', so that no name forges a line of its own
// or commands the terminal.
std::string shown(std::string text) {
  std::replace_if(
      text.begin(), text.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
  return text;
}

// Columns a terminal gives a UTF-8 text: a wide (East Asian, emoji)
// character two, a combining mark none, any other character one.
size_t display_width(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t length = byte < 0x80    ? 1
                          : byte >= 0xF0 ? 4
                          : byte >= 0xE0 ? 3
                          : byte >= 0xC0 ? 2
                                         : 1;
    uint32_t code = length == 1 ? byte : byte & (0x3Fu >> (length - 1));
    for (size_t k = 1; k < length && i + k < text.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    i += length;
    const bool combining = code >= 0x300 && code <= 0x36F;
    const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                      (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                      (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                      (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F) ||
                      (code >= 0x1F900 && code <= 0x1F9FF) || (code >= 0x20000 && code <= 0x3FFFD);
    width += combining ? 0 : wide ? 2 : 1;
  }
  return width;
}

std::string padded(std::string text, size_t width) {
  text = shown(text);
  const size_t columns = display_width(text);
  if (columns < width)
    text.append(width - columns, ' ');
  return text;
}

// One row of the stations and ports table.
std::string row(const std::string& name, const Counts& c) {
  char numbers[80];
  (void)std::snprintf(
      numbers, sizeof numbers, "%7llu %7llu %10llu %6s %% %6llu",
      static_cast<unsigned long long>(c.runs), static_cast<unsigned long long>(c.ready),
      static_cast<unsigned long long>(c.not_ready()), one_decimal(c.yield_percent()).c_str(),
      static_cast<unsigned long long>(c.ended));
  return padded(name, kNameWidth) + numbers;
}

std::string plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string upper(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string short_sha(const std::string& sha256) {
  return sha256.substr(0, 12);
}

std::string share(uint64_t part, uint64_t whole) {
  return one_decimal(Counts::percent_of(part, whole)) + " %";
}

void write_heading(const ShiftReport& r, const TimeZone& zone, std::ostream& out) {
  out << "SHIFT REPORT";
  if (r.since_given)
    out << " SINCE " << local_text(zone, r.since_ms);
  if (r.until_given)
    out << " UNTIL " << local_text(zone, r.until_ms);
  if (!r.timeline.empty()) {
    out << (r.since_given || r.until_given ? ", RUNS FROM " : ": ")
        << local_text(zone, r.first_start_ms) << " TO " << local_text(zone, r.last_end_ms) << " ("
        << one_decimal(static_cast<double>(r.last_end_ms - r.first_start_ms) / 3600000.0) << " H)";
  }
  out << ", TIMES IN " << r.zone << "\n";
}

void write_reading(const ShiftReport& r, std::ostream& out) {
  const uint64_t records = std::accumulate(r.notes.records_per_file.begin(),
                                           r.notes.records_per_file.end(), uint64_t{0});
  out << "READ   : " << plural(r.files.size(), "FILE", "FILES") << ", "
      << plural(records, "RECORD", "RECORDS");
  if (r.outside_window > 0)
    out << ", " << r.outside_window << " OF THEM OUTSIDE THE TIMES ASKED FOR";
  if (r.duplicates > 0)
    out << ", " << plural(r.duplicates, "COPY", "COPIES") << " OF ANOTHER DROPPED";
  if (r.schema1 > 0)
    out << ", " << r.schema1 << " OF FLASHPREP 1.0 (NO STATION, SERIAL OR IMAGE)";
  out << "\n";
  if (r.notes.skipped_count > 0) {
    out << "SKIPPED: " << plural(r.notes.skipped_count, "DAMAGED LINE", "DAMAGED LINES") << ":";
    for (size_t i = 0; i < r.notes.skipped.size() && i < kMostSkippedNamed; ++i) {
      const SkippedLine& skip = r.notes.skipped[i];
      out << (i == 0 ? " " : ", ") << shown(r.files[skip.file]) << " LINE " << skip.line << " ("
          << upper(damage_name(skip.damage)) << ")";
    }
    if (r.notes.skipped_count > kMostSkippedNamed)
      out << ", ...";
    out << "\n";
  }
  if (r.simulated > 0) {
    out << "SIMULATED: " << plural(r.simulated, "RUN", "RUNS") << " OF SIMULATED BOARDS"
        << (r.simulated_included ? " COUNTED (--include-simulated)\n" : " LEFT OUT\n");
  }
}

void write_shared_names(const ShiftReport& r, const TimeZone& zone, std::ostream& out) {
  for (const ShiftReport::SharedName& s : r.shared_names) {
    out << "STATION NAME USED BY TWO STATIONS: " << shown(s.name) << ", RUNS OVERLAP ON PORT "
        << shown(s.port) << " AT " << local_text(zone, s.at_ms) << "; TOLD APART BY BOOT:";
    for (size_t i = 0; i < s.stations.size(); ++i)
      out << (i == 0 ? " " : ", ") << shown(s.stations[i]);
    out << "\n";
  }
}

void write_totals(const ShiftReport& r, std::ostream& out) {
  const BoardTotals& b = r.boards;
  const Counts& t = r.total;
  out << "BOARDS : " << b.boards << ", FIRST PASS " << b.first_ready << " READY ("
      << share(b.first_ready, b.judged) << "), FINAL " << b.final_ready << " READY ("
      << share(b.final_ready, b.judged) << "), " << b.not_ready_at_end()
      << " NOT READY AT THE END\n";
  out << "RUNS   : " << t.runs << ", " << t.ready << " READY, " << t.not_ready()
      << " NOT READY; RETESTS: " << plural(b.retests, "RUN", "RUNS") << " ON "
      << plural(b.retested, "BOARD", "BOARDS");
  if (t.ended > 0)
    out << "; " << t.ended << " ENDED BY THE STATION (NO FAILURE)";
  out << "\n";
  out << "PACE   : " << (r.runs_per_hour > 0 ? one_decimal(r.runs_per_hour) : std::string("-"))
      << " RUNS PER HOUR OVER " << one_decimal(static_cast<double>(r.work_ms) / 3600000.0)
      << " H AT WORK";
  if (r.gaps > 0)
    out << " (" << plural(r.gaps, "GAP", "GAPS") << " OF " << kGapMinutes
        << " MIN OR MORE LEFT OUT)";
  out << "; SECONDS PER RUN: MEDIAN " << one_decimal(r.median_seconds) << ", 95TH PERCENTILE "
      << one_decimal(r.p95_seconds) << "\n";
}

void write_ports(const ShiftReport& r, std::ostream& out) {
  out << "\n"
      << padded("STATION / PORT", kNameWidth) << "   RUNS   READY  NOT READY   YIELD   ENDED\n";
  for (const ShiftReport::Station& s : r.stations) {
    out << row(s.name, s.counts) << (s.other_images.empty() ? "" : "  OTHER IMAGE") << "\n";
    for (const ShiftReport::Port& p : s.ports)
      out << row("  " + p.name, p.counts) << (p.stands_out ? "  STANDS OUT" : "") << "\n";
  }
  for (const ShiftReport::Station& s : r.stations) {
    for (const ShiftReport::Port& p : s.ports) {
      if (p.stands_out)
        out << "STANDS OUT: " << shown(s.name) << " " << shown(p.name) << ", "
            << p.counts.not_ready() << " OF " << p.counts.runs << " RUNS NOT READY ("
            << share(p.counts.not_ready(), p.counts.runs) << "), THE OTHER PORTS "
            << one_decimal(100 * p.others_rate) << " %\n";
    }
  }
}

void write_reasons(const std::vector<ShiftReport::Reason>& reasons, const char* title,
                   std::ostream& out) {
  if (reasons.empty())
    return;
  size_t width = 24;
  for (const ShiftReport::Reason& reason : reasons)
    width = std::max(width, display_width(reason.label) + 2);
  out << "\n" << padded(title, width) << "   RUNS\n";
  for (const ShiftReport::Reason& reason : reasons) {
    char n[24];
    (void)std::snprintf(n, sizeof n, "%7llu", static_cast<unsigned long long>(reason.runs));
    out << padded(reason.label, width) << n << "\n";
  }
}

void write_blocks(const ShiftReport& r, std::ostream& out) {
  if (r.blocks.empty())
    return;
  out << "\nBLOCKS FAILED ON MORE THAN ONE BOARD:";
  for (size_t i = 0; i < r.blocks.size() && i < kMostBlockLines; ++i) {
    const ShiftReport::Blocks& b = r.blocks[i];
    out << (i == 0 ? " " : ", ") << b.first;
    if (b.last != b.first)
      out << "-" << b.last;
    out << " (" << b.boards << ")";
  }
  if (r.blocks.size() > kMostBlockLines)
    out << " AND " << r.blocks.size() - kMostBlockLines << " MORE";
  out << "\n";
}

void write_images(const ShiftReport& r, const TimeZone& zone, std::ostream& out) {
  if (!r.images.empty() || r.no_image > 0)
    out << "\n";
  for (size_t i = 0; i < r.images.size(); ++i) {
    const ShiftReport::Image& image = r.images[i];
    out << "IMAGE " << short_sha(image.sha256) << " " << shown(image.file) << ", " << image.bytes
        << " BYTES: " << plural(image.runs, "RUN", "RUNS") << " (";
    for (size_t k = 0; k < image.stations.size(); ++k)
      out << (k == 0 ? "" : ", ") << shown(image.stations[k]);
    out << ")" << (i == 0 ? "" : ", NOT THE LINE'S IMAGE") << "\n";
  }
  for (size_t i = 0; i < r.image_changes.size() && i < kMostChangeLines; ++i) {
    const ShiftReport::ImageChange& c = r.image_changes[i];
    out << "IMAGE CHANGED: " << shown(c.station) << " AT " << local_text(zone, c.at_ms) << ", "
        << short_sha(c.from) << " TO " << short_sha(c.to) << "\n";
  }
  if (r.image_changes.size() > kMostChangeLines)
    out << "IMAGE CHANGED: AND " << r.image_changes.size() - kMostChangeLines << " MORE\n";
  if (r.no_image > 0)
    out << "NO IMAGE READ: " << plural(r.no_image, "RUN", "RUNS") << "\n";
}

// The boards a supervisor must find before signing: still NOT READY.
void write_not_ready(const ShiftReport& r, const TimeZone& zone, std::ostream& out) {
  const uint64_t n = r.boards.not_ready_at_end();
  if (n == 0)
    return;
  out << "\nNOT READY AT THE END: " << plural(n, "BOARD", "BOARDS") << ":\n";
  for (size_t i = 0; i < r.not_ready.size() && i < kMostBoardLines; ++i) {
    const ShiftReport::Board& b = r.not_ready[i];
    out << "  " << padded(b.serial.empty() ? "(NO SERIAL)" : b.serial, 16) << " "
        << padded(b.station + " " + b.port, kNameWidth) << " "
        << (b.judged ? plural(b.runs, "RUN", "RUNS") : std::string("NOT FINISHED")) << ", "
        << local_text(zone, b.last_start_ms) << ": " << shown(b.last_reason) << "\n";
  }
  if (n > kMostBoardLines)
    out << "  AND " << n - kMostBoardLines << " MORE (THE PAGE AND THE CSV LIST THEM)\n";
}

}  // namespace

void write_shift_text(const ShiftReport& r, const TimeZone& zone, std::ostream& out) {
  write_heading(r, zone, out);
  write_reading(r, out);
  write_shared_names(r, zone, out);
  if (r.timeline.empty()) {
    out << "BOARDS : 0\n";
    return;
  }
  write_totals(r, out);
  write_ports(r, out);
  write_reasons(r.reasons, "FAILURES BY REASON", out);
  write_reasons(r.ended_reasons, "ENDED BY THE STATION", out);
  write_blocks(r, out);
  write_images(r, zone, out);
  write_not_ready(r, zone, out);
}

std::string one_decimal(double value) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}
