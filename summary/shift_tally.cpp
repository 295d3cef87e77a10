#include "summary/shift_tally.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "summary/shift_steps.h"
#include "summary/station_ends.h"

namespace {

constexpr std::string_view kUnknownStation = "unknown";

// A simulated board's bus: "sim", or "simN" for a folder of boards on bus N.
bool simulated_bus(std::string_view bus) {
  return bus.substr(0, 3) == "sim";
}

uint32_t clamped(int64_t value) {
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

uint32_t RunTable::where_of(const Where& w) {
  const uint64_t hash = (uint64_t{w.station} * 0x9E3779B97F4A7C15ULL) ^ (uint64_t{w.boot} << 40) ^
                        (uint64_t{w.port} << 20) ^ w.place;
  std::vector<uint32_t>& same_hash = where_index[hash];
  for (const uint32_t id : same_hash) {
    const Where& o = wheres[id];
    if (o.station == w.station && o.boot == w.boot && o.port == w.port && o.place == w.place)
      return id;
  }
  same_hash.push_back(static_cast<uint32_t>(wheres.size()));
  wheres.push_back(w);
  return same_hash.back();
}

std::vector<std::string_view> RunTable::reasons_of(const Run& run) const {
  std::vector<std::string_view> out;
  if (run.failure == kNone)
    return out;
  const Failure& f = failures[run.failure];
  for (uint32_t i = 0; i < f.reasons; ++i)
    out.push_back(texts.text(reasons[f.reasons_at + i]));
  return out;
}

bool ShiftTally::inside(const ResultRecord& record) const {
  return (!options_.since_given || record.start_ms >= options_.since_ms) &&
         (!options_.until_given || record.start_ms < options_.until_ms);
}

bool ShiftTally::add(const ResultRecord& record) {
  if (!inside(record)) {
    ++outside_window_;
    return false;
  }
  if (kept_per_file_.size() <= record.file)
    kept_per_file_.resize(record.file + 1, 0);
  ++kept_per_file_[record.file];
  RunTable& t = table_;
  Run run{};
  run.start_ms = record.start_ms;
  run.duration_ms = clamped(record.end_ms - record.start_ms);
  run.run_ms = clamped(std::llround(record.seconds * 1000));
  // A station's file names the same station and boot on every line: look
  // them up once.
  const std::string_view station = record.schema == 1 ? kUnknownStation : record.station;
  if (last_station_ == RunTable::kNone || t.texts.text(last_station_) != station)
    last_station_ = t.texts.add(station);
  if (record.boot.empty())
    last_boot_ = RunTable::kNone;
  else if (last_boot_ == RunTable::kNone || t.texts.text(last_boot_) != record.boot)
    last_boot_ = t.texts.add(record.boot);
  const uint32_t place = t.texts.add(record.board);
  run.where = t.where_of(
      {last_station_, last_boot_, record.port.empty() ? place : t.texts.add(record.port), place});
  run.serial = record.serial.empty() ? RunTable::kNone : t.serials.add(record.serial);
  run.image = RunTable::kNone;
  if (record.image_read) {
    run.image = t.images.add(record.image_sha256);
    if (run.image == t.image_files.size()) {
      t.image_files.emplace_back(record.image_file);
      t.image_bytes.push_back(record.image_bytes);
    }
  }
  run.devnum = clamped(record.devnum);
  run.verdict = record.verdict;
  run.flags = static_cast<uint8_t>((simulated_bus(record.bus) ? Run::kSimulated : 0) |
                                   (record.schema == 1 ? Run::kSchema1 : 0));
  run.failure = RunTable::kNone;
  if (!record.reasons.empty() || !record.failed_blocks.empty()) {
    run.failure = static_cast<uint32_t>(t.failures.size());
    t.failures.push_back({static_cast<uint32_t>(t.reasons.size()),
                          static_cast<uint32_t>(t.blocks.size()),
                          static_cast<uint16_t>(record.reasons.size()),
                          static_cast<uint16_t>(record.failed_blocks.size())});
    for (const std::string_view reason : record.reasons) {
      t.reasons.push_back(t.texts.add(reason));
      if (ended_by_station(reason))
        run.flags |= Run::kEnded;
    }
    t.blocks.insert(t.blocks.end(), record.failed_blocks.begin(), record.failed_blocks.end());
  }
  t.runs.push_back(run);
  return true;
}

ShiftReport ShiftTally::report(const std::vector<std::string>& files, const ReadNotes& notes,
                               const TimeZone& zone) {
  ShiftReport r;
  r.files = files;
  r.notes = notes;
  r.zone = zone.name();
  r.since_given = options_.since_given;
  r.until_given = options_.until_given;
  r.since_ms = options_.since_ms;
  r.until_ms = options_.until_ms;
  r.simulated_included = options_.with_simulated;
  r.outside_window = outside_window_;
  Analysis& a = analysis_;
  a.with_simulated = options_.with_simulated;
  r.duplicates = drop_copies(&table_);
  for (const Run& run : table_.runs) {
    if ((run.flags & Run::kCopy) != 0)
      continue;
    r.simulated += (run.flags & Run::kSimulated) != 0 ? 1 : 0;
    r.schema1 +=
        (run.flags & Run::kSchema1) != 0 && RunTable::counted(run, a.with_simulated) ? 1 : 0;
  }
  tell_stations_apart(table_, &a, &r);
  order_counted(table_, &a);
  if (a.counted.empty())
    return r;
  a.zone_offset_ms = zone.offset_ms(table_.runs[a.counted.front()].start_ms);
  count_ports(table_, a, &r);
  count_reasons(table_, a, &r);
  count_boards(&table_, &a, &r);
  count_blocks(table_, a, &r);
  count_images(table_, a, &r);
  count_pace(table_, a, &r);
  return r;
}

bool ShiftTally::facts(size_t file, uint64_t n, RunFacts* out) const {
  if (file >= kept_per_file_.size() || n >= kept_per_file_[file])
    return false;
  // The files' records were kept one file after the other.
  const uint64_t k = std::accumulate(kept_per_file_.begin(),
                                     kept_per_file_.begin() + static_cast<std::ptrdiff_t>(file), n);
  const Run& run = table_.runs[k];
  RunFacts& f = *out;
  f = RunFacts();
  f.copy = (run.flags & Run::kCopy) != 0;
  f.simulated = (run.flags & Run::kSimulated) != 0;
  f.ended = !run.judged();
  if (!analysis_.station_of_where.empty())
    f.station = analysis_.stations[analysis_.station_of_where[run.where]];
  f.board = run.serial != RunTable::kNone ? std::string(table_.serials.text(run.serial))
                                          : plug_board_name(table_, analysis_, run);
  f.run_of_board = run.nth;
  return true;
}
