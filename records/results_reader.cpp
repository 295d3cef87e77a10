#include "records/results_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <thread>
#include <utility>

namespace {

constexpr size_t kReadBytes = size_t{4} << 20;    // one piece of a file, parsed on one thread
constexpr size_t kLongestLine = size_t{1} << 20;  // a record is well under 1 KB
constexpr unsigned kMostThreads = 4;

// A line of a piece skipped, numbered within the piece.
struct PieceSkip {
  uint64_t line;
  LineDamage damage;
};

// One piece of a file: whole lines in, records out. Its lines are numbered
// from 1 here; the piece's place in the file is known when it is handed on.
struct Piece {
  size_t file = 0;
  uint64_t lines = 0;
  RecordStore store;
  std::vector<StoredRecord> records;
  std::vector<uint64_t> record_lines;
  std::vector<PieceSkip> skipped;
};

// A line longer than any record, passed over without being kept: what its
// first bytes held names it.
LineDamage long_line(std::string_view start) {
  LineDamage damage;
  if (std::memchr(start.data(), '\0', start.size()) != nullptr) {
    damage.damage = Damage::nul_bytes;
  } else {
    damage.damage = Damage::not_a_record;
    damage.why = "longer than 1 MiB";
  }
  return damage;
}

// Parses whole lines (each ended by LF, but maybe the last of a file). A
// piece that starts after a line too long to keep numbers that line 1.
Piece parse_piece(const std::string& bytes, size_t file, bool after_long_line,
                  const LineDamage& long_damage) {
  Piece piece;
  piece.file = file;
  uint64_t line = 1;
  if (after_long_line)
    piece.skipped.push_back({line++, long_damage});
  StoredRecord record;
  LineDamage damage;
  for (size_t at = 0; at < bytes.size(); ++line) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos)
      end = bytes.size();
    std::string_view text(bytes.data() + at, end - at);
    at = end + 1;
    if (!text.empty() && text.back() == '\r')
      text.remove_suffix(1);
    if (text.size() > kLongestLine) {
      piece.skipped.push_back({line, long_line(text.substr(0, kLongestLine))});
    } else if (read_record_line(text, &piece.store, &record, &damage)) {
      piece.records.push_back(record);
      piece.record_lines.push_back(line);
    } else {
      piece.skipped.push_back({line, damage});
    }
  }
  piece.lines = line - 1;
  return piece;
}

struct FileCloser {
  void operator()(std::FILE* f) const { (void)std::fclose(f); }  // read only
};

// Hands a parsed piece's records on, and notes its skipped lines.
class Deliverer {
 public:
  Deliverer(const std::function<void(const ResultRecord&)>& take, ReadNotes* notes)
      : take_(take), notes_(notes) {}

  void deliver(const Piece& piece) {
    const auto view = [&](TextRef ref) { return piece.store.view(ref); };
    const uint64_t before = piece.file == file_ ? lines_ : 0;
    file_ = piece.file;
    lines_ = before + piece.lines;
    // Skipped lines and records in the order of their lines.
    size_t skip = 0;
    for (size_t i = 0; i < piece.records.size(); ++i) {
      const StoredRecord& p = piece.records[i];
      for (; skip < piece.skipped.size() && piece.skipped[skip].line < piece.record_lines[i];
           ++skip)
        note(piece, before, piece.skipped[skip]);
      record_.file = piece.file;
      record_.line = before + piece.record_lines[i];
      record_.schema = p.schema;
      record_.board = view(p.board);
      record_.start_ms = p.start_ms;
      record_.end_ms = p.end_ms;
      record_.seconds = p.seconds;
      record_.verdict = p.verdict;
      record_.reasons.clear();
      for (uint32_t r = 0; r < p.reasons; ++r)
        record_.reasons.push_back(view(piece.store.reasons[p.reasons_at + r]));
      record_.log = view(p.log);
      record_.version = view(p.version);
      record_.station = view(p.station);
      record_.port = view(p.port);
      record_.bus = view(p.bus);
      record_.device = view(p.device);
      record_.devnum = p.devnum;
      record_.boot = view(p.boot);
      record_.serial = view(p.serial);
      record_.image_read = p.image_read;
      record_.image_file = view(p.image_file);
      record_.image_sha256 = view(p.image_sha256);
      record_.image_bytes = p.image_bytes;
      record_.image_start = view(p.image_start);
      record_.image_end = view(p.image_end);
      record_.image_blocks = p.image_blocks;
      std::copy(std::begin(p.counts), std::end(p.counts), std::begin(record_.counts));
      record_.failed_blocks.assign(piece.store.blocks.begin() + p.blocks_at,
                                   piece.store.blocks.begin() + p.blocks_at + p.blocks);
      ++notes_->records_per_file[piece.file];
      take_(record_);
    }
    for (; skip < piece.skipped.size(); ++skip)
      note(piece, before, piece.skipped[skip]);
  }

 private:
  void note(const Piece& piece, uint64_t before, const PieceSkip& skip) {
    ++notes_->skipped_count;
    if (notes_->skipped.size() < ReadNotes::kMostSkippedNamed)
      notes_->skipped.push_back({piece.file, before + skip.line, skip.damage});
  }

  const std::function<void(const ResultRecord&)>& take_;
  ReadNotes* notes_;
  ResultRecord record_;  // its lists keep their room from record to record
  size_t file_ = 0;
  uint64_t lines_ = 0;
};

}  // namespace

RunRecord owned_record(const ResultRecord& r) {
  RunRecord o;
  o.board = r.board;
  o.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(r.start_ms));
  o.end = std::chrono::system_clock::time_point(std::chrono::milliseconds(r.end_ms));
  o.seconds = r.seconds;
  o.verdict = outcome_text(r.verdict);
  o.reasons.assign(r.reasons.begin(), r.reasons.end());
  o.log = r.log;
  o.version = r.version;
  o.station = r.station;
  o.port = r.port;
  o.bus = r.bus;
  o.device = r.device;
  o.devnum = static_cast<int>(r.devnum);
  o.boot = r.boot;
  o.serial = r.serial;
  o.image_known = r.image_read;
  o.image.file = r.image_file;
  o.image.sha256 = r.image_sha256;
  o.image.bytes = static_cast<uint32_t>(r.image_bytes);
  o.image.start = r.image_start;
  o.image.end = r.image_end;
  o.image.blocks = static_cast<int>(r.image_blocks);
  int* const counts[] = {&o.driver_downloaded, &o.driver_refused, &o.flash_formatted,
                         &o.flash_failed,      &o.table_written,  &o.table_refused};
  for (size_t i = 0; i < std::size(counts); ++i)
    *counts[i] = static_cast<int>(r.counts[i]);
  for (const BlockRange& b : r.failed_blocks)
    o.failed_blocks.emplace_back(b.first, b.last);
  return o;
}

bool read_results(const std::vector<std::string>& paths,
                  const std::function<void(const ResultRecord&)>& take, ReadNotes* notes,
                  std::string* error) {
  notes->records_per_file.assign(paths.size(), 0);
  notes->skipped_count = 0;
  notes->skipped.clear();
  Deliverer deliverer(take, notes);
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1U, kMostThreads);
  std::deque<std::future<Piece>> pending;
  const auto hand_on_oldest = [&]() {
    const Piece piece = pending.front().get();
    pending.pop_front();
    deliverer.deliver(piece);
  };
  // The pieces already read are handed on first: their records and skipped
  // lines come before the file that failed.
  const auto stop = [&](const std::string& why) {
    while (!pending.empty())
      hand_on_oldest();
    *error = why;
    return false;
  };

  for (size_t file = 0; file < paths.size(); ++file) {
    const std::unique_ptr<std::FILE, FileCloser> in(std::fopen(paths[file].c_str(), "rb"));
    if (!in)
      return stop(paths[file] + ": cannot read: " + std::strerror(errno));
    std::string rest;  // the start of a line not yet read to its end
    // A line too long for any record is passed over to its end; the piece
    // after it starts with it.
    bool in_long_line = false;
    bool after_long_line = false;
    LineDamage long_damage;
    for (;;) {
      std::string bytes;
      bytes.swap(rest);
      const size_t had = bytes.size();
      bytes.resize(had + kReadBytes);
      const size_t got = std::fread(&bytes[had], 1, kReadBytes, in.get());
      bytes.resize(had + got);
      if (got < kReadBytes && std::ferror(in.get()))
        return stop(paths[file] + ": cannot read: " + std::strerror(errno));
      const bool at_end = got < kReadBytes;
      if (in_long_line) {
        const size_t end = bytes.find('\n');
        if (end == std::string::npos && !at_end)
          continue;
        bytes.erase(0, end == std::string::npos ? bytes.size() : end + 1);
        in_long_line = false;
        after_long_line = true;
      }
      if (!at_end) {
        const size_t last_end = bytes.rfind('\n');
        const size_t keep = last_end == std::string::npos ? 0 : last_end + 1;
        rest = bytes.substr(keep);
        bytes.resize(keep);
        if (rest.size() > kLongestLine) {
          long_damage = long_line(rest);
          rest.clear();
          in_long_line = true;
        }
      }
      if (!bytes.empty() || after_long_line) {
        pending.push_back(std::async(std::launch::async, parse_piece, std::move(bytes), file,
                                     after_long_line, long_damage));
        after_long_line = false;
        if (pending.size() > threads)
          hand_on_oldest();
      }
      if (at_end)
        break;
    }
  }
  while (!pending.empty())
    hand_on_oldest();
  return true;
}
