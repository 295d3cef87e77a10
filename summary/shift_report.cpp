#include "summary/shift_report.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string_view>

#include "board/board_facts.h"

namespace {

constexpr std::string_view kUnknownStation = "unknown";
constexpr uint64_t kFewestFailures = 3;  // a port with fewer never stands out
constexpr double kRateFactor = 2;        // ... nor one failing less than twice as often
constexpr double kChanceOverAll = 0.01;  // shared out among the ports
constexpr int kMostBuckets = 48;
constexpr int64_t kMinute = int64_t{60} * 1000;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;
// Widths of the timeline's buckets, the narrowest that gives at most
// kMostBuckets chosen.
constexpr int64_t kBucketWidths[] = {5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute,
                                     kHour,       2 * kHour,    3 * kHour,    4 * kHour,
                                     6 * kHour,   12 * kHour,   kDay,         2 * kDay,
                                     7 * kDay,    14 * kDay,    28 * kDay,    91 * kDay};

uint64_t pair_key(uint32_t a, uint32_t b) {
  return uint64_t{a} << 32 | b;
}

// What a failure is counted under: the reason's label, the text before ": ",
// but for RUN STOPPED, whose detail names the step (one of four FAIL lines).
std::string_view reason_label(std::string_view reason) {
  if (reason.rfind("RUN STOPPED: ", 0) == 0)
    return reason;
  return reason.substr(0, reason.find(": "));
}

// Names in the order a person counts: digits as numbers ("1-1.2" before
// "1-1.10"), the rest byte by byte.
bool natural_less(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t i_end = i;
      size_t j_end = j;
      while (i_end < a.size() && digit(a[i_end]))
        ++i_end;
      while (j_end < b.size() && digit(b[j_end]))
        ++j_end;
      // Leading zeros aside, the longer run is the larger number.
      std::string_view x = a.substr(i, i_end - i);
      std::string_view y = b.substr(j, j_end - j);
      x.remove_prefix(std::min(x.find_first_not_of('0'), x.size()));
      y.remove_prefix(std::min(y.find_first_not_of('0'), y.size()));
      if (x.size() != y.size())
        return x.size() < y.size();
      if (x != y)
        return x < y;
      i = i_end;
      j = j_end;
    } else {
      if (a[i] != b[j])
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// P(X >= k) for X binomial with n trials at rate p, summed in logarithms
// from k up until the terms no longer count.
double binomial_tail(uint64_t n, uint64_t k, double p) {
  if (k == 0)
    return 1;
  if (p <= 0)
    return 0;
  if (p >= 1)
    return 1;
  const double log_p = std::log(p);
  const double log_q = std::log1p(-p);
  const auto nd = static_cast<double>(n);
  double sum = 0;
  for (uint64_t i = k; i <= n; ++i) {
    const auto id = static_cast<double>(i);
    const double term = std::exp(std::lgamma(nd + 1) - std::lgamma(id + 1) -
                                 std::lgamma(nd - id + 1) + id * log_p + (nd - id) * log_q);
    sum += term;
    // Past the mode the terms only shrink: stop once they no longer add.
    if (id > nd * p && term < sum * 1e-17)
      break;
  }
  return std::min(sum, 1.0);
}

}  // namespace

ShiftTally::ShiftTally(bool since_given, int64_t since_ms, bool until_given, int64_t until_ms)
    : since_given_(since_given),
      until_given_(until_given),
      since_ms_(since_ms),
      until_ms_(until_ms) {}

void ShiftTally::add(const ResultRecord& record) {
  if ((since_given_ && record.start_ms < since_ms_) ||
      (until_given_ && record.start_ms >= until_ms_)) {
    ++outside_window_;
    return;
  }
  const bool ready = record.verdict == Outcome::ready;
  if (record.schema == 1)
    ++schema1_;
  first_start_ms_ = std::min(first_start_ms_, record.start_ms);
  last_end_ms_ = std::max(last_end_ms_, std::max(record.end_ms, record.start_ms));
  starts_.push_back(record.start_ms);
  seconds_.push_back(static_cast<float>(record.seconds));
  ready_.push_back(ready ? 1 : 0);

  // A station's file names the same station on every line: look it up once.
  const std::string_view station_name = record.schema == 1 ? kUnknownStation : record.station;
  if (last_station_ == StringTable::kNone || stations_.text(last_station_) != station_name)
    last_station_ = stations_.add(station_name);
  const uint32_t station = last_station_;
  if (station == station_counts_.size())
    station_counts_.emplace_back();
  Counts& station_counts = station_counts_[station];
  ++station_counts.boards;
  station_counts.ready += ready ? 1 : 0;

  const uint32_t port = port_names_.add(record.port.empty() ? record.board : record.port);
  PortTally& port_tally =
      ports_.try_emplace(pair_key(station, port), PortTally{station, port, {}}).first->second;
  ++port_tally.counts.boards;
  port_tally.counts.ready += ready ? 1 : 0;

  if (!ready) {
    record_reasons_.clear();
    for (const std::string_view reason : record.reasons) {
      const uint32_t label = reasons_.add(reason_label(reason));
      if (label == reason_boards_.size())
        reason_boards_.push_back(0);
      if (std::find(record_reasons_.begin(), record_reasons_.end(), label) ==
          record_reasons_.end()) {
        record_reasons_.push_back(label);
        ++reason_boards_[label];
      }
    }
  }

  if (record.schema == 2 && !record.image_read) {
    ++no_image_;
  } else if (record.schema == 2) {
    const uint32_t image = images_.add(record.image_sha256);
    if (image == image_boards_.size()) {
      image_files_.emplace_back(record.image_file);
      image_bytes_.push_back(record.image_bytes);
      image_boards_.push_back(0);
    }
    ++image_boards_[image];
    ++station_images_[pair_key(station, image)];
  }

  uint32_t board = 0;
  if (!record.serial.empty()) {
    board = serials_.add(record.serial);
    if (board == serial_tallies_.size())
      serial_tallies_.emplace_back();
    SerialTally& s = serial_tallies_[board];
    ++s.times;
    const uint64_t order = uint64_t{record.file} << 40 | record.line;
    if (s.times == 1 || record.start_ms > s.last_start_ms ||
        (record.start_ms == s.last_start_ms && order > s.last_order)) {
      s.last = record.verdict;
      s.last_station = station;
      s.last_port = port;
      s.last_start_ms = record.start_ms;
      s.last_order = order;
    }
  } else {
    // Boards without a serial are told apart from the serials' numbers by
    // the top bit; each is a board of its own.
    board = 0x80000000U | boards_without_serial_++;
  }
  std::transform(record.failed_blocks.begin(), record.failed_blocks.end(),
                 std::back_inserter(block_events_), [&](const BlockRange& range) {
                   return BlockEvent{board, range};
                 });
}

ShiftReport ShiftTally::report(const std::vector<std::string>& files,
                               const ReadNotes& notes) const {
  ShiftReport r;
  r.files = files;
  r.notes = notes;
  r.since_given = since_given_;
  r.until_given = until_given_;
  r.since_ms = since_ms_;
  r.until_ms = until_ms_;
  r.outside_window = outside_window_;
  r.schema1 = schema1_;
  r.total.boards = starts_.size();
  r.total.ready = static_cast<uint64_t>(std::count(ready_.begin(), ready_.end(), 1));
  if (r.total.boards == 0)
    return r;
  r.first_start_ms = first_start_ms_;
  r.last_end_ms = last_end_ms_;
  if (last_end_ms_ > first_start_ms_)
    r.boards_per_hour = static_cast<double>(r.total.boards) * kHour /
                        static_cast<double>(last_end_ms_ - first_start_ms_);

  std::vector<float> seconds = seconds_;
  std::sort(seconds.begin(), seconds.end());
  const size_t n = seconds.size();
  r.median_seconds = n % 2 == 1 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2.0;
  // Nearest rank: the smallest value with at least 95 % of them at or below it.
  r.p95_seconds = seconds[(n * 95 + 99) / 100 - 1];

  // Stations and their ports, each port judged against all the others.
  std::vector<uint32_t> station_order(stations_.size());
  for (uint32_t i = 0; i < stations_.size(); ++i)
    station_order[i] = i;
  std::sort(station_order.begin(), station_order.end(), [&](uint32_t a, uint32_t b) {
    return natural_less(stations_.text(a), stations_.text(b));
  });
  std::vector<size_t> station_row(stations_.size());
  for (const uint32_t s : station_order) {
    station_row[s] = r.stations.size();
    r.stations.push_back({std::string(stations_.text(s)), station_counts_[s], {}, {}});
  }
  r.ports = static_cast<int>(ports_.size());
  for (const auto& [key, tally] : ports_) {
    ShiftReport::Port port{std::string(port_names_.text(tally.port)), tally.counts};
    const uint64_t other_boards = r.total.boards - tally.counts.boards;
    const uint64_t other_failed = r.total.not_ready() - tally.counts.not_ready();
    if (other_boards > 0) {
      port.others_rate = static_cast<double>(other_failed) / static_cast<double>(other_boards);
      const uint64_t failed = tally.counts.not_ready();
      const double rate = static_cast<double>(failed) / static_cast<double>(tally.counts.boards);
      if (failed >= kFewestFailures && rate >= kRateFactor * port.others_rate) {
        port.chance = binomial_tail(tally.counts.boards, failed, port.others_rate);
        port.stands_out = port.chance < kChanceOverAll / r.ports;
      }
    }
    r.ports_standing_out += port.stands_out ? 1 : 0;
    r.stations[station_row[tally.station]].ports.push_back(port);
  }
  for (ShiftReport::Station& station : r.stations) {
    std::sort(station.ports.begin(), station.ports.end(),
              [](const ShiftReport::Port& a, const ShiftReport::Port& b) {
                return natural_less(a.name, b.name);
              });
  }

  for (uint32_t i = 0; i < reasons_.size(); ++i)
    r.reasons.push_back({std::string(reasons_.text(i)), reason_boards_[i]});
  std::sort(r.reasons.begin(), r.reasons.end(),
            [](const ShiftReport::Reason& a, const ShiftReport::Reason& b) {
              return a.boards != b.boards ? a.boards > b.boards : a.label < b.label;
            });

  // Blocks: each board's failed blocks as one set, then boards per block.
  std::vector<BlockEvent> events = block_events_;
  std::sort(events.begin(), events.end(), [](const BlockEvent& a, const BlockEvent& b) {
    return a.board != b.board ? a.board < b.board : a.range.first < b.range.first;
  });
  std::vector<int64_t> change(kFlashBlocks + 1, 0);
  for (size_t i = 0; i < events.size();) {
    const uint32_t board = events[i].board;
    ++r.boards_with_blocks;
    int first = events[i].range.first;
    int last = events[i].range.last;
    for (++i; i < events.size() && events[i].board == board; ++i) {
      if (events[i].range.first <= last + 1) {
        last = std::max(last, static_cast<int>(events[i].range.last));
        continue;
      }
      ++change[first];
      --change[last + 1];
      first = events[i].range.first;
      last = events[i].range.last;
    }
    ++change[first];
    --change[last + 1];
  }
  int64_t boards = 0;
  for (int block = 0; block < kFlashBlocks; ++block) {
    boards += change[block];
    if (boards < 2)
      continue;
    // Neighbouring blocks that failed on as many boards make one line.
    if (!r.blocks.empty() && r.blocks.back().last == block - 1 &&
        r.blocks.back().boards == static_cast<uint64_t>(boards)) {
      r.blocks.back().last = block;
    } else {
      r.blocks.push_back({block, block, static_cast<uint64_t>(boards)});
    }
  }
  std::stable_sort(r.blocks.begin(), r.blocks.end(),
                   [](const ShiftReport::Blocks& a, const ShiftReport::Blocks& b) {
                     return a.boards > b.boards;
                   });

  // Images: the line's is the one most boards had.
  std::vector<uint32_t> image_order(images_.size());
  for (uint32_t i = 0; i < images_.size(); ++i)
    image_order[i] = i;
  std::sort(image_order.begin(), image_order.end(), [&](uint32_t a, uint32_t b) {
    return image_boards_[a] != image_boards_[b] ? image_boards_[a] > image_boards_[b]
                                                : images_.text(a) < images_.text(b);
  });
  for (const uint32_t i : image_order) {
    ShiftReport::Image image{
        std::string(images_.text(i)), image_files_[i], image_bytes_[i], image_boards_[i], {}};
    for (const uint32_t s : station_order) {
      if (station_images_.count(pair_key(s, i)) == 0)
        continue;
      image.stations.emplace_back(stations_.text(s));
      if (i != image_order.front())
        r.stations[station_row[s]].other_images.push_back(image.sha256);
    }
    r.images.push_back(image);
  }
  r.no_image = no_image_;

  // Boards prepared more than once.
  std::vector<uint32_t> repeated;
  for (uint32_t i = 0; i < serial_tallies_.size(); ++i) {
    if (serial_tallies_[i].times > 1)
      repeated.push_back(i);
  }
  r.repeated = repeated.size();
  const auto last_not_ready = [&](uint32_t i) { return serial_tallies_[i].last != Outcome::ready; };
  r.repeated_not_ready =
      static_cast<uint64_t>(std::count_if(repeated.begin(), repeated.end(), last_not_ready));
  const auto repeat_before = [&](uint32_t a, uint32_t b) {
    if (last_not_ready(a) != last_not_ready(b))
      return last_not_ready(a);
    if (serial_tallies_[a].times != serial_tallies_[b].times)
      return serial_tallies_[a].times > serial_tallies_[b].times;
    return natural_less(serials_.text(a), serials_.text(b));
  };
  const size_t shown = std::min(repeated.size(), ShiftReport::kMostRepeats);
  std::partial_sort(repeated.begin(), repeated.begin() + static_cast<std::ptrdiff_t>(shown),
                    repeated.end(), repeat_before);
  for (size_t k = 0; k < shown; ++k) {
    const SerialTally& s = serial_tallies_[repeated[k]];
    r.repeats.push_back({std::string(serials_.text(repeated[k])), s.times, s.last,
                         std::string(stations_.text(s.last_station)),
                         std::string(port_names_.text(s.last_port)), s.last_start_ms});
  }

  // The timeline, in buckets from the epoch on (whole hours, days).
  const int64_t span = *std::max_element(starts_.begin(), starts_.end()) - first_start_ms_;
  const int64_t* width = std::find_if(std::begin(kBucketWidths), std::end(kBucketWidths),
                                      [&](int64_t w) { return span / w + 2 <= kMostBuckets; });
  r.bucket_ms = width == std::end(kBucketWidths) ? *std::prev(width) : *width;
  const auto bucket_of = [&](int64_t ms) {
    const int64_t b = ms / r.bucket_ms;
    return ms < 0 && ms % r.bucket_ms != 0 ? b - 1 : b;
  };
  const int64_t first_bucket = bucket_of(first_start_ms_);
  const int64_t buckets =
      bucket_of(*std::max_element(starts_.begin(), starts_.end())) - first_bucket + 1;
  r.timeline.resize(static_cast<size_t>(buckets));
  for (int64_t b = 0; b < buckets; ++b)
    r.timeline[static_cast<size_t>(b)].start_ms = (first_bucket + b) * r.bucket_ms;
  for (size_t i = 0; i < starts_.size(); ++i) {
    Counts& c = r.timeline[static_cast<size_t>(bucket_of(starts_[i]) - first_bucket)].counts;
    ++c.boards;
    c.ready += ready_[i];
  }
  return r;
}
