#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>

#include "records/record_time.h"
#include "summary/shift_output.h"

namespace {

constexpr size_t kMostSkippedNamed = 3;
constexpr size_t kMostBlockLines = 8;
constexpr size_t kMostRepeatLines = 8;
constexpr int kNameWidth = 20;

// A name read from the records as the report shows it: a control character
// (a newline, an escape) as '?', so that no name forges a line of its own
// or commands the terminal.
std::string shown(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
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
  char numbers[64];
  (void)std::snprintf(
      numbers, sizeof numbers, "%7llu %7llu %10llu %6s %%",
      static_cast<unsigned long long>(c.boards), static_cast<unsigned long long>(c.ready),
      static_cast<unsigned long long>(c.not_ready()), one_decimal(c.yield_percent()).c_str());
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

}  // namespace

void write_shift_text(const ShiftReport& r, std::ostream& out) {
  const Counts& t = r.total;
  out << "SHIFT REPORT";
  if (r.since_given)
    out << " SINCE " << utc_text(r.since_ms);
  if (r.until_given)
    out << " UNTIL " << utc_text(r.until_ms);
  if (t.boards > 0) {
    out << (r.since_given || r.until_given ? ", BOARDS FROM " : ": ") << utc_text(r.first_start_ms)
        << " TO " << utc_text(r.last_end_ms) << " ("
        << one_decimal(static_cast<double>(r.last_end_ms - r.first_start_ms) / 3600000.0) << " H)";
  }
  out << "\n";

  const uint64_t records = std::accumulate(r.notes.records_per_file.begin(),
                                           r.notes.records_per_file.end(), uint64_t{0});
  out << "READ   : " << plural(r.files.size(), "FILE", "FILES") << ", "
      << plural(records, "RECORD", "RECORDS");
  if (r.outside_window > 0)
    out << ", " << r.outside_window << " OF THEM OUTSIDE THE TIMES ASKED FOR";
  if (r.schema1 > 0)
    out << ", " << r.schema1 << " OF FLASHPREP 1.0 (NO STATION, SERIAL OR IMAGE)";
  out << "\n";
  if (r.notes.skipped_count > 0) {
    out << "SKIPPED: " << plural(r.notes.skipped_count, "DAMAGED LINE", "DAMAGED LINES") << ":";
    for (size_t i = 0; i < r.notes.skipped.size() && i < kMostSkippedNamed; ++i) {
      const SkippedLine& skip = r.notes.skipped[i];
      out << (i == 0 ? " " : ", ") << r.files[skip.file] << " LINE " << skip.line << " ("
          << upper(damage_name(skip.damage)) << ")";
    }
    if (r.notes.skipped_count > kMostSkippedNamed)
      out << ", ...";
    out << "\n";
  }
  if (t.boards == 0) {
    out << "BOARDS : 0\n";
    return;
  }
  out << "BOARDS : " << t.boards << ", " << t.ready << " READY, " << t.not_ready()
      << " NOT READY, YIELD " << one_decimal(t.yield_percent()) << " %\n";
  out << "PACE   : " << (r.boards_per_hour > 0 ? one_decimal(r.boards_per_hour) : std::string("-"))
      << " BOARDS PER HOUR; SECONDS PER BOARD: MEDIAN " << one_decimal(r.median_seconds)
      << ", 95TH PERCENTILE " << one_decimal(r.p95_seconds) << "\n";

  out << "\n" << padded("STATION / PORT", kNameWidth) << " BOARDS   READY  NOT READY   YIELD\n";
  for (const ShiftReport::Station& s : r.stations) {
    out << row(s.name, s.counts) << (s.other_images.empty() ? "" : "  OTHER IMAGE") << "\n";
    for (const ShiftReport::Port& p : s.ports)
      out << row("  " + p.name, p.counts) << (p.stands_out ? "  STANDS OUT" : "") << "\n";
  }

  for (const ShiftReport::Station& s : r.stations) {
    for (const ShiftReport::Port& p : s.ports) {
      if (!p.stands_out)
        continue;
      out << "STANDS OUT: " << shown(s.name) << " " << shown(p.name) << ", " << p.counts.not_ready()
          << " OF " << p.counts.boards << " NOT READY ("
          << one_decimal(100.0 * static_cast<double>(p.counts.not_ready()) /
                         static_cast<double>(p.counts.boards))
          << " %), THE OTHER PORTS " << one_decimal(100 * p.others_rate) << " %\n";
    }
  }

  if (!r.reasons.empty()) {
    size_t width = 20;
    for (const ShiftReport::Reason& reason : r.reasons)
      width = std::max(width, display_width(reason.label) + 2);
    out << "\n" << padded("FAILURES BY REASON", width) << " BOARDS\n";
    for (const ShiftReport::Reason& reason : r.reasons) {
      char n[24];
      (void)std::snprintf(n, sizeof n, "%7llu", static_cast<unsigned long long>(reason.boards));
      out << padded(reason.label, width) << n << "\n";
    }
  }

  if (!r.blocks.empty()) {
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

  if (!r.images.empty() || r.no_image > 0)
    out << "\n";
  for (size_t i = 0; i < r.images.size(); ++i) {
    const ShiftReport::Image& image = r.images[i];
    out << "IMAGE " << short_sha(image.sha256) << " " << shown(image.file) << ", " << image.bytes
        << " BYTES: " << plural(image.boards, "BOARD", "BOARDS") << " (";
    for (size_t k = 0; k < image.stations.size(); ++k)
      out << (k == 0 ? "" : ", ") << shown(image.stations[k]);
    out << ")" << (i == 0 ? "" : ", NOT THE LINE'S IMAGE") << "\n";
  }
  if (r.no_image > 0)
    out << "NO IMAGE READ: " << plural(r.no_image, "BOARD", "BOARDS") << "\n";

  // Of the boards prepared more than once, those still NOT READY are the
  // ones to look for; the page lists the others too.
  if (r.repeated > 0) {
    out << "\nPREPARED MORE THAN ONCE: " << plural(r.repeated, "BOARD", "BOARDS") << ", "
        << r.repeated_not_ready << " OF THEM LAST NOT READY"
        << (r.repeated_not_ready > 0 ? ":" : "") << "\n";
    size_t listed = 0;
    for (const ShiftReport::Repeat& rep : r.repeats) {
      if (rep.last == Outcome::ready || listed == kMostRepeatLines)
        break;
      out << "  " << padded(rep.serial, 16) << " " << rep.times << " TIMES, LAST NOT READY ("
          << shown(rep.last_station) << " " << shown(rep.last_port) << ", "
          << utc_text(rep.last_start_ms) << ")\n";
      ++listed;
    }
    if (r.repeated_not_ready > listed)
      out << "  AND " << r.repeated_not_ready - listed << " MORE\n";
  }
}

std::string one_decimal(double value) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}
