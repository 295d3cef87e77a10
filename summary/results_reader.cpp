#include "summary/results_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "board/board_facts.h"
#include "runlog/record_time.h"

namespace {

using json = nlohmann::json;

constexpr size_t kReadBytes = size_t{4} << 20;    // one piece of a file, parsed on one thread
constexpr size_t kLongestLine = size_t{1} << 20;  // a record is well under 1 KB
constexpr unsigned kMostThreads = 4;

// A string kept in a piece's text buffer.
struct TextRef {
  uint32_t at = 0;
  uint32_t size = 0;
};

// A record as parsed on a worker thread, its strings in the piece's buffer.
struct Parsed {
  uint64_t line = 0;
  int schema = 1;
  TextRef board;
  TextRef station;
  TextRef port;
  TextRef serial;
  TextRef image_file;
  TextRef image_sha256;
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  double seconds = 0;
  Outcome verdict = Outcome::ready;
  bool image_read = false;
  int64_t image_bytes = 0;
  uint32_t reasons_at = 0;
  uint32_t reasons = 0;
  uint32_t blocks_at = 0;
  uint32_t blocks = 0;
};

// One piece of a file: whole lines in, records out. Its lines are numbered
// from 1 here; the piece's place in the file is known when it is handed on.
struct Piece {
  size_t file = 0;
  uint64_t lines = 0;
  std::string text;  // the records' strings
  std::vector<Parsed> records;
  std::vector<TextRef> reasons;
  std::vector<BlockRange> blocks;
  std::vector<uint64_t> cut_lines;
  uint64_t error_line = 0;  // 0: none
  std::string error;
};

// The members the report reads; the others (bus, device, devnum, boot,
// counts, and any a later station adds) are passed over.
enum class Member : uint8_t {
  board,
  start,
  end,
  seconds,
  verdict,
  reasons,
  log,
  version,
  schema,
  station,
  port,
  serial,
  image,
  failed_blocks,
  other,
};
// The names of the members above, then of those of schema 2 passed over, all
// in the schema's order.
constexpr std::string_view kMemberNames[] = {
    "board",   "start",  "end",     "seconds", "verdict", "reasons", "log",
    "version", "schema", "station", "port",    "serial",  "image",   "failed_blocks",
    "bus",     "device", "devnum",  "boot",    "counts",
};
constexpr int kMembers = static_cast<int>(Member::other);
constexpr int kNames = static_cast<int>(std::size(kMemberNames));
// Every record has these; schema 2 also has station, image and failed_blocks.
constexpr uint32_t bit(Member m) {
  return uint32_t{1} << static_cast<int>(m);
}
constexpr uint32_t kSchema1Members = bit(Member::board) | bit(Member::start) | bit(Member::end) |
                                     bit(Member::seconds) | bit(Member::verdict) |
                                     bit(Member::reasons) | bit(Member::log) | bit(Member::version);
constexpr uint32_t kSchema2Members =
    kSchema1Members | bit(Member::station) | bit(Member::image) | bit(Member::failed_blocks);

enum class ImageMember : uint8_t { file, sha256, bytes, other };

// A JSON value as the parser reports it.
struct Value {
  enum class Kind : uint8_t { null, boolean, integer, number, string } kind;
  int64_t integer = 0;  // integer
  double number = 0;    // integer or number
  std::string* text = nullptr;
};

// The parser's events for one line, checked against the record's members and
// kept in the piece. Where the structure is fixed (reasons is a list of
// strings, failed_blocks a list of pairs) the depth alone tells where a value
// belongs.
class RecordEvents {
 public:
  explicit RecordEvents(Piece* piece) : piece_(piece) {}

  void start(uint64_t line) {
    record_ = Parsed();
    record_.line = line;
    record_.reasons_at = static_cast<uint32_t>(piece_->reasons.size());
    record_.blocks_at = static_cast<uint32_t>(piece_->blocks.size());
    depth_ = 0;
    skip_ = 0;
    seen_ = 0;
    member_ = Member::other;
    next_member_ = 0;
    syntax_error_ = false;
    error_position_ = 0;
    why_.clear();
  }
  const Parsed& record() const { return record_; }
  bool syntax_error() const { return syntax_error_; }
  size_t error_position() const { return error_position_; }
  const std::string& why() const { return why_; }

  // nlohmann/json's SAX interface.
  bool null() { return value({Value::Kind::null}); }
  bool boolean(bool /*v*/) { return value({Value::Kind::boolean}); }
  bool number_integer(json::number_integer_t v) {
    return value({Value::Kind::integer, v, static_cast<double>(v)});
  }
  bool number_unsigned(json::number_unsigned_t v) {
    if (v > static_cast<json::number_unsigned_t>(INT64_MAX))
      return value({Value::Kind::number, 0, static_cast<double>(v)});
    return value({Value::Kind::integer, static_cast<int64_t>(v), static_cast<double>(v)});
  }
  bool number_float(json::number_float_t v, const json::string_t& /*text*/) {
    return value({Value::Kind::number, 0, v});
  }
  bool string(json::string_t& v) { return value({Value::Kind::string, 0, 0, &v}); }
  bool binary(json::binary_t& /*v*/) { return fail("binary data"); }
  bool start_object(std::size_t /*size*/) {
    if (skip_ > 0 || (depth_ == 1 && member_ == Member::other) ||
        (depth_ == 2 && member_ == Member::image && image_member_ == ImageMember::other)) {
      ++skip_;
      return true;
    }
    if (depth_ == 0) {
      depth_ = 1;
      return true;
    }
    if (depth_ == 1 && member_ == Member::image) {
      record_.image_read = true;
      image_seen_ = 0;
      depth_ = 2;
      return true;
    }
    return wrong();
  }
  bool key(const json::string_t& name) {
    if (skip_ > 0)
      return true;
    if (depth_ == 2) {
      const std::string_view n = name;
      image_member_ = n == "file"     ? ImageMember::file
                      : n == "sha256" ? ImageMember::sha256
                      : n == "bytes"  ? ImageMember::bytes
                                      : ImageMember::other;
      return true;
    }
    member_ = member_of(name);
    if (member_ != Member::other)
      seen_ |= bit(member_);
    return true;
  }
  bool end_object() {
    if (skip_ > 0) {
      --skip_;
      return true;
    }
    if (depth_ == 2) {
      depth_ = 1;
      if (image_seen_ != 7)
        return fail("\"image\" lacks file, sha256 or bytes");
      return true;
    }
    depth_ = 0;
    return finish();
  }
  bool start_array(std::size_t /*size*/) {
    if (skip_ > 0 || (depth_ == 1 && member_ == Member::other) ||
        (depth_ == 2 && member_ == Member::image && image_member_ == ImageMember::other)) {
      ++skip_;
      return true;
    }
    if (depth_ == 1 && (member_ == Member::reasons || member_ == Member::failed_blocks)) {
      depth_ = 2;
      return true;
    }
    if (depth_ == 2 && member_ == Member::failed_blocks) {
      depth_ = 3;
      pair_values_ = 0;
      return true;
    }
    return wrong();
  }
  bool end_array() {
    if (skip_ > 0) {
      --skip_;
      return true;
    }
    if (depth_ == 3) {
      depth_ = 2;
      if (pair_values_ != 2 || pair_[0] > pair_[1])
        return fail("\"failed_blocks\" holds a range that is not [first, last]");
      piece_->blocks.push_back({static_cast<uint16_t>(pair_[0]), static_cast<uint16_t>(pair_[1])});
      ++record_.blocks;
      return true;
    }
    depth_ = 1;
    return true;
  }
  bool parse_error(std::size_t position, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& e) {
    syntax_error_ = true;
    error_position_ = position;
    why_ = e.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 5: x"
    // names a line of its own input, which is one line of the file: keep
    // the column and what it found.
    const size_t column = why_.find("column ");
    if (column != std::string::npos)
      why_ = "not JSON: " + why_.substr(column);
    return false;
  }

 private:
  bool fail(const std::string& why) {
    why_ = why;
    return false;
  }
  bool wrong() {
    if (depth_ == 0)
      return fail("not a JSON object");
    return fail("\"" +
                std::string(depth_ >= 2 && member_ == Member::image
                                ? std::string_view("image")
                                : kMemberNames[static_cast<int>(member_)]) +
                "\" is not of its kind");
  }

  // The members come in the schema's order, so the next one is tried first.
  Member member_of(std::string_view name) {
    for (int i = 0; i < kNames; ++i) {
      const int m = (next_member_ + i) % kNames;
      if (name == kMemberNames[m]) {
        next_member_ = m + 1;
        return m < kMembers ? static_cast<Member>(m) : Member::other;
      }
    }
    return Member::other;
  }

  TextRef keep(const std::string& text) {
    const TextRef ref{static_cast<uint32_t>(piece_->text.size()),
                      static_cast<uint32_t>(text.size())};
    piece_->text += text;
    return ref;
  }

  bool string_member(const Value& v, TextRef* into, bool empty_ok) {
    if (v.kind != Value::Kind::string || (!empty_ok && v.text->empty()))
      return wrong();
    *into = keep(*v.text);
    return true;
  }

  bool value(const Value& v) {
    if (skip_ > 0 || (depth_ == 1 && member_ == Member::other))
      return true;
    if (depth_ == 0)
      return wrong();
    if (depth_ == 2 && member_ == Member::image)
      return image_value(v);
    if (depth_ == 2 && member_ == Member::reasons) {
      if (v.kind != Value::Kind::string)
        return fail("\"reasons\" holds something else than text");
      piece_->reasons.push_back(keep(*v.text));
      ++record_.reasons;
      return true;
    }
    if (depth_ == 3) {
      if (v.kind != Value::Kind::integer || v.integer < 0 || v.integer >= kFlashBlocks ||
          pair_values_ == 2)
        return fail("\"failed_blocks\" holds something else than block numbers");
      pair_[pair_values_++] = static_cast<int>(v.integer);
      return true;
    }
    if (depth_ != 1)
      return wrong();
    switch (member_) {
      case Member::board:
        return string_member(v, &record_.board, false);
      case Member::station:
        return string_member(v, &record_.station, false);
      case Member::port:
        return string_member(v, &record_.port, false);
      case Member::serial:
        return string_member(v, &record_.serial, true);
      case Member::start:
      case Member::end:
        if (v.kind != Value::Kind::string ||
            !parse_record_time(*v.text,
                               member_ == Member::start ? &record_.start_ms : &record_.end_ms))
          return fail("\"" + std::string(kMemberNames[static_cast<int>(member_)]) +
                      "\" is not a time as YYYY-MM-DDTHH:MM:SS.mmmZ");
        return true;
      case Member::seconds:
        if ((v.kind != Value::Kind::integer && v.kind != Value::Kind::number) || !(v.number >= 0))
          return fail("\"seconds\" is not a number of seconds");
        record_.seconds = v.number;
        return true;
      case Member::verdict:
        if (v.kind == Value::Kind::string && *v.text == "READY") {
          record_.verdict = Outcome::ready;
        } else if (v.kind == Value::Kind::string && *v.text == "NOT READY") {
          record_.verdict = Outcome::not_ready;
        } else if (v.kind == Value::Kind::string && *v.text == "NOT A FLASHPREP LOG") {
          record_.verdict = Outcome::not_a_log;
        } else {
          return fail("\"verdict\" is not READY, NOT READY or NOT A FLASHPREP LOG");
        }
        return true;
      case Member::log:
        return v.kind == Value::Kind::string || v.kind == Value::Kind::null ? true : wrong();
      case Member::version:
        return v.kind == Value::Kind::string ? true : wrong();
      case Member::schema:
        if (v.kind != Value::Kind::integer || v.integer != 2)
          return fail("\"schema\" is not 2: a record this flashprep-summary does not know");
        record_.schema = 2;
        return true;
      case Member::image:
        if (v.kind != Value::Kind::null)
          return wrong();
        record_.image_read = false;
        return true;
      default:
        return wrong();  // reasons or failed_blocks given as a single value
    }
  }

  bool image_value(const Value& v) {
    switch (image_member_) {
      case ImageMember::file:
        image_seen_ |= 1;
        return string_member(v, &record_.image_file, false);
      case ImageMember::sha256:
        image_seen_ |= 2;
        if (v.kind != Value::Kind::string || v.text->size() != 64 ||
            !std::all_of(v.text->begin(), v.text->end(),
                         [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
          return fail("\"image\" has a sha256 that is not 64 hex digits");
        record_.image_sha256 = keep(*v.text);
        return true;
      case ImageMember::bytes:
        image_seen_ |= 4;
        if (v.kind != Value::Kind::integer || v.integer < 0)
          return wrong();
        record_.image_bytes = v.integer;
        return true;
      default:
        return true;
    }
  }

  // The end of the record: every member it must have is there.
  bool finish() {
    const uint32_t needed = record_.schema == 2 ? kSchema2Members : kSchema1Members;
    if ((seen_ & needed) == needed)
      return true;
    for (int m = 0; m < kMembers; ++m) {
      if ((needed & ~seen_ & (uint32_t{1} << m)) != 0)
        return fail("no member \"" + std::string(kMemberNames[m]) + "\"" +
                    (m > static_cast<int>(Member::schema) ? " (schema 2)" : ""));
    }
    return false;
  }

  Piece* piece_;
  Parsed record_;
  int depth_ = 0;
  int skip_ = 0;  // depth inside a value passed over
  uint32_t seen_ = 0;
  Member member_ = Member::other;
  int next_member_ = 0;
  ImageMember image_member_ = ImageMember::other;
  int image_seen_ = 0;
  int pair_[2] = {0, 0};
  int pair_values_ = 0;
  bool syntax_error_ = false;
  size_t error_position_ = 0;
  std::string why_;
};

// Parses whole lines (each ended by LF, but maybe the last of a file).
Piece parse_piece(const std::string& bytes, size_t file) {
  Piece piece;
  piece.file = file;
  RecordEvents events(&piece);
  uint64_t line = 1;
  for (size_t at = 0; at < bytes.size(); ++line) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos)
      end = bytes.size();
    std::string_view text(bytes.data() + at, end - at);
    at = end + 1;
    if (!text.empty() && text.back() == '\r')
      text.remove_suffix(1);
    const size_t text_size = piece.text.size();
    const size_t reasons = piece.reasons.size();
    const size_t blocks = piece.blocks.size();
    events.start(line);
    if (json::sax_parse(text.begin(), text.end(), &events)) {
      piece.records.push_back(events.record());
      continue;
    }
    piece.text.resize(text_size);
    piece.reasons.resize(reasons);
    piece.blocks.resize(blocks);
    // Input that ran out inside a record: the start of a record only.
    if (events.syntax_error() && events.error_position() > text.size() && !text.empty() &&
        text.front() == '{') {
      piece.cut_lines.push_back(line);
      continue;
    }
    piece.error_line = line;
    piece.error = text.empty() ? "an empty line, no record" : events.why();
    break;
  }
  piece.lines = line - 1;
  return piece;
}

struct FileCloser {
  void operator()(std::FILE* f) const { (void)std::fclose(f); }  // read only
};

// Hands a parsed piece's records on; false when the piece ended in an error.
class Deliverer {
 public:
  Deliverer(const std::vector<std::string>& paths,
            const std::function<void(const ResultRecord&)>& take, ReadNotes* notes,
            std::string* error)
      : paths_(paths), take_(take), notes_(notes), error_(error) {}

  // The lines of `file` handed on so far: the next piece's lines follow them.
  uint64_t lines_before(size_t file) const { return file == file_ ? lines_ : 0; }

  bool deliver(const Piece& piece) {
    const auto view = [&](TextRef ref) {
      return std::string_view(piece.text).substr(ref.at, ref.size);
    };
    const uint64_t before = lines_before(piece.file);
    file_ = piece.file;
    lines_ = before + piece.lines;
    // Cut lines and records in the order of their lines.
    size_t cut = 0;
    for (const Parsed& p : piece.records) {
      for (; cut < piece.cut_lines.size() && piece.cut_lines[cut] < p.line; ++cut)
        notes_->cut_lines.push_back({piece.file, before + piece.cut_lines[cut]});
      record_.file = piece.file;
      record_.line = before + p.line;
      record_.schema = p.schema;
      record_.board = view(p.board);
      record_.station = view(p.station);
      record_.port = view(p.port);
      record_.serial = view(p.serial);
      record_.start_ms = p.start_ms;
      record_.end_ms = p.end_ms;
      record_.seconds = p.seconds;
      record_.verdict = p.verdict;
      record_.reasons.clear();
      for (uint32_t i = 0; i < p.reasons; ++i)
        record_.reasons.push_back(view(piece.reasons[p.reasons_at + i]));
      record_.image_read = p.image_read;
      record_.image_file = view(p.image_file);
      record_.image_sha256 = view(p.image_sha256);
      record_.image_bytes = p.image_bytes;
      record_.failed_blocks.assign(piece.blocks.begin() + p.blocks_at,
                                   piece.blocks.begin() + p.blocks_at + p.blocks);
      ++notes_->records_per_file[piece.file];
      take_(record_);
    }
    for (; cut < piece.cut_lines.size(); ++cut)
      notes_->cut_lines.push_back({piece.file, before + piece.cut_lines[cut]});
    if (piece.error_line == 0)
      return true;
    *error_ = paths_[piece.file] + " line " + std::to_string(before + piece.error_line) +
              ": no record: " + piece.error;
    return false;
  }

 private:
  const std::vector<std::string>& paths_;
  const std::function<void(const ResultRecord&)>& take_;
  ReadNotes* notes_;
  std::string* error_;
  ResultRecord record_;  // its lists keep their room from record to record
  size_t file_ = 0;
  uint64_t lines_ = 0;
};

}  // namespace

bool read_results(const std::vector<std::string>& paths,
                  const std::function<void(const ResultRecord&)>& take, ReadNotes* notes,
                  std::string* error) {
  notes->records_per_file.assign(paths.size(), 0);
  notes->cut_lines.clear();
  Deliverer deliverer(paths, take, notes, error);
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1U, kMostThreads);
  std::deque<std::future<Piece>> pending;
  bool ok = true;
  // Hands on the oldest piece; false once any piece has failed.
  const auto hand_on_oldest = [&]() {
    const Piece piece = pending.front().get();
    pending.pop_front();
    ok = ok && deliverer.deliver(piece);
    return ok;
  };
  // An error found here comes after those of the pieces still being parsed.
  const auto stop = [&](const std::string& why) {
    while (!pending.empty())
      hand_on_oldest();
    if (ok)
      *error = why;
    return false;
  };

  for (size_t file = 0; file < paths.size(); ++file) {
    const std::unique_ptr<std::FILE, FileCloser> in(std::fopen(paths[file].c_str(), "rb"));
    if (!in)
      return stop(paths[file] + ": cannot read: " + std::strerror(errno));
    std::string rest;  // the start of a line not yet read to its end
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
      const size_t last_end = bytes.rfind('\n');
      if (!at_end) {
        const size_t keep = last_end == std::string::npos ? 0 : last_end + 1;
        rest = bytes.substr(keep);
        bytes.resize(keep);
        if (rest.size() > kLongestLine) {
          // Its number: the lines handed on, then those of this piece.
          const auto here = static_cast<uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
          while (ok && !pending.empty())
            hand_on_oldest();
          return stop(paths[file] + " line " +
                      std::to_string(deliverer.lines_before(file) + here + 1) +
                      ": no record: longer than 1 MiB");
        }
      }
      if (!bytes.empty()) {
        pending.push_back(std::async(std::launch::async, parse_piece, std::move(bytes), file));
        if (pending.size() > threads && !hand_on_oldest())
          return stop("");
      }
      if (at_end)
        break;
    }
  }
  while (!pending.empty()) {
    if (!hand_on_oldest())
      return stop("");
  }
  return ok;
}
