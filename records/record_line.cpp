#include "records/record_line.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <nlohmann/json.hpp>

#include "board/board_facts.h"
#include "records/record.h"
#include "records/record_time.h"

namespace {

using json = nlohmann::json;

// The members of a record, in the schema's order.
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
  bus,
  device,
  devnum,
  boot,
  serial,
  image,
  counts,
  failed_blocks,
  unknown,
};
constexpr std::string_view kMemberNames[] = {
    "board",   "start",  "end",     "seconds", "verdict",       "reasons", "log",
    "version", "schema", "station", "port",    "bus",           "device",  "devnum",
    "boot",    "serial", "image",   "counts",  "failed_blocks",
};
constexpr int kMembers = static_cast<int>(std::size(kMemberNames));

constexpr uint32_t bit(Member m) {
  return uint32_t{1} << static_cast<int>(m);
}
// What a record of flashprep 1.0 has, all of it, and nothing else.
constexpr uint32_t kSchema1Members = bit(Member::board) | bit(Member::start) | bit(Member::end) |
                                     bit(Member::seconds) | bit(Member::verdict) |
                                     bit(Member::reasons) | bit(Member::log) | bit(Member::version);
// What schema 2 asks for; port, boot and serial may be left out.
constexpr uint32_t kSchema2Members = kSchema1Members | bit(Member::schema) | bit(Member::station) |
                                     bit(Member::bus) | bit(Member::device) | bit(Member::devnum) |
                                     bit(Member::image) | bit(Member::counts) |
                                     bit(Member::failed_blocks);

constexpr std::string_view kImageNames[] = {"file", "sha256", "bytes", "start", "end", "blocks"};
constexpr std::string_view kCountNames[] = {"driver_downloaded", "driver_refused",
                                            "flash_formatted",   "flash_failed",
                                            "table_written",     "table_refused"};
constexpr uint32_t kAllSix = 0x3F;

// A JSON value as the parser reports it.
struct Value {
  enum class Kind : uint8_t { null, boolean, integer, number, string } kind;
  int64_t integer = 0;  // integer
  double number = 0;    // integer or number
  std::string* text = nullptr;
};

bool all_of(std::string_view text, bool (*ok)(char)) {
  return std::all_of(text.begin(), text.end(), ok);
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}
bool lower_hex(char c) {
  return digit(c) || (c >= 'a' && c <= 'f');
}
bool upper_hex(char c) {
  return digit(c) || (c >= 'A' && c <= 'F');
}
bool boot_char(char c) {
  return lower_hex(c) || c == '-';
}
bool name_char(char c) {
  return digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '.' ||
         c == '-';
}
// ^[A-Za-z0-9_][A-Za-z0-9._-]*$: a board's name is safe as a file name.
bool board_name(std::string_view text) {
  return !text.empty() && text[0] != '.' && text[0] != '-' && all_of(text, name_char);
}
// ^[0-9]+\.[0-9]+\.[0-9]+$
bool version_text(std::string_view text) {
  int dots = 0;
  bool digits_before = false;
  for (const char c : text) {
    if (c == '.' && digits_before && dots < 2) {
      ++dots;
      digits_before = false;
    } else if (digit(c)) {
      digits_before = true;
    } else {
      return false;
    }
  }
  return dots == 2 && digits_before;
}

// The parser's events for one line, checked against the schema as they
// come. A line that breaks a rule is still parsed to its end: whether it is
// cut, or names a newer schema, is known only there.
class RecordEvents {
 public:
  RecordEvents(RecordStore* store, StoredRecord* record) : store_(store), record_(record) {
    record_->reasons_at = static_cast<uint32_t>(store_->reasons.size());
    record_->blocks_at = static_cast<uint32_t>(store_->blocks.size());
  }

  bool broken() const { return !why_.empty(); }
  const std::string& why() const { return why_; }
  bool syntax_error() const { return syntax_error_; }
  size_t error_position() const { return error_position_; }
  int64_t schema() const { return schema_; }

  // nlohmann/json's SAX interface. Every event returns true but a syntax
  // error's: the rest of the line is still read.
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
    ++level_;
    if (broken())
      return true;
    if (level_ == 1) {
      in_record_ = true;
      return true;
    }
    if (level_ == 2 && member_ == Member::image) {
      record_->image_read = true;
      inner_seen_ = 0;
      return true;
    }
    if (level_ == 2 && member_ == Member::counts) {
      inner_seen_ = 0;
      return true;
    }
    return wrong();
  }
  bool end_object() {
    --level_;
    if (broken())
      return true;
    if (level_ == 1 && inner_seen_ != kAllSix) {
      const std::string_view* names = member_ == Member::image ? kImageNames : kCountNames;
      for (int i = 0; i < 6; ++i) {
        if ((inner_seen_ & (1U << i)) == 0)
          return fail("\"" + name(member_) + "\" has no member \"" + std::string(names[i]) + "\"");
      }
    }
    return level_ == 0 ? finish() : true;
  }
  bool start_array(std::size_t /*size*/) {
    ++level_;
    if (broken())
      return true;
    if (level_ == 2 && (member_ == Member::reasons || member_ == Member::failed_blocks))
      return true;
    if (level_ == 3 && member_ == Member::failed_blocks) {
      pair_values_ = 0;
      return true;
    }
    return wrong();
  }
  bool end_array() {
    --level_;
    if (broken() || level_ != 2)
      return true;
    if (pair_values_ != 2 || pair_[0] > pair_[1])
      return fail("\"failed_blocks\" holds a range that is not [first, last]");
    store_->blocks.push_back({static_cast<uint16_t>(pair_[0]), static_cast<uint16_t>(pair_[1])});
    ++record_->blocks;
    return true;
  }
  bool key(const json::string_t& text) {
    if (level_ == 1) {
      member_ = member_of(text);
      if (broken())
        return true;
      if (member_ == Member::unknown)
        return fail("a member no schema has: \"" + text + "\"");
      if ((seen_ & bit(member_)) != 0)
        return fail("\"" + text + "\" twice");
      seen_ |= bit(member_);
      return true;
    }
    if (broken() || level_ != 2)
      return true;
    const std::string_view* names = member_ == Member::image ? kImageNames : kCountNames;
    inner_ = static_cast<int>(std::find(names, names + 6, std::string_view(text)) - names);
    if (inner_ == 6)
      return fail("\"" + name(member_) + "\" has a member no schema has: \"" + text + "\"");
    if ((inner_seen_ & (1U << inner_)) != 0)
      return fail("\"" + name(member_) + "\" has \"" + text + "\" twice");
    inner_seen_ |= 1U << inner_;
    return true;
  }
  bool parse_error(std::size_t position, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& e) {
    syntax_error_ = true;
    error_position_ = position;
    // "[json.exception.parse_error.101] parse error at line 1, column 5: x"
    // names a line of its own input, which is one line of the file: keep
    // the column and what it found.
    const std::string what = e.what();
    const size_t column = what.find("column ");
    why_ = "not JSON: " + (column == std::string::npos ? what : what.substr(column));
    return false;
  }

 private:
  // The first rule broken is the one named.
  bool fail(const std::string& why) {
    if (why_.empty())
      why_ = why;
    return true;
  }
  static std::string name(Member m) {
    return m == Member::unknown ? "?" : std::string(kMemberNames[static_cast<int>(m)]);
  }
  bool wrong() {
    if (!in_record_)
      return fail("not a JSON object");
    return fail("\"" + name(member_) + "\" is not of its kind");
  }

  // The members come in the schema's order, so the next one is tried first.
  Member member_of(std::string_view text) {
    for (int i = 0; i < kMembers; ++i) {
      const int m = (next_member_ + i) % kMembers;
      if (text == kMemberNames[m]) {
        next_member_ = m + 1;
        return static_cast<Member>(m);
      }
    }
    return Member::unknown;
  }

  TextRef keep(const std::string& text) {
    const TextRef ref{static_cast<uint32_t>(store_->text.size()),
                      static_cast<uint32_t>(text.size())};
    store_->text += text;
    return ref;
  }
  // A string member that passes `ok`.
  bool text_member(const Value& v, TextRef* into, bool (*ok)(std::string_view)) {
    if (v.kind != Value::Kind::string || !ok(*v.text))
      return wrong();
    *into = keep(*v.text);
    return true;
  }
  bool count(const Value& v, int64_t* into) {
    if (v.kind != Value::Kind::integer || v.integer < 0)
      return wrong();
    *into = v.integer;
    return true;
  }

  bool value(const Value& v) {
    // The schema a line names is looked for even in a line that broke a
    // rule: a newer station's record is named as such.
    if (level_ == 1 && member_ == Member::schema && v.kind == Value::Kind::integer &&
        !schema_noted_) {
      schema_ = v.integer;
      schema_noted_ = true;
    }
    if (broken())
      return true;
    if (level_ == 0)
      return wrong();
    if (level_ == 2 && member_ == Member::reasons) {
      if (v.kind != Value::Kind::string || v.text->empty())
        return fail("\"reasons\" holds something else than text");
      store_->reasons.push_back(keep(*v.text));
      ++record_->reasons;
      return true;
    }
    if (level_ == 2 && member_ == Member::image)
      return image_value(v);
    if (level_ == 2 && member_ == Member::counts)
      return count(v, &record_->counts[inner_]);
    if (level_ == 3) {
      if (v.kind != Value::Kind::integer || v.integer < 0 || v.integer >= kFlashBlocks ||
          pair_values_ == 2)
        return fail("\"failed_blocks\" holds something else than block numbers");
      pair_[pair_values_++] = static_cast<int>(v.integer);
      return true;
    }
    if (level_ != 1)
      return wrong();
    return member_value(v);
  }

  bool member_value(const Value& v) {
    const auto any = [](std::string_view) { return true; };
    const auto some = [](std::string_view t) { return !t.empty(); };
    switch (member_) {
      case Member::board:
        return text_member(v, &record_->board, board_name);
      case Member::start:
      case Member::end:
        if (v.kind != Value::Kind::string ||
            !parse_record_time(*v.text,
                               member_ == Member::start ? &record_->start_ms : &record_->end_ms))
          return fail("\"" + name(member_) + "\" is not a time as YYYY-MM-DDTHH:MM:SS.mmmZ");
        return true;
      case Member::seconds:
        if ((v.kind != Value::Kind::integer && v.kind != Value::Kind::number) || !(v.number >= 0))
          return fail("\"seconds\" is not a number of seconds");
        record_->seconds = v.number;
        return true;
      case Member::verdict: {
        constexpr Outcome kOutcomes[] = {Outcome::ready, Outcome::not_ready, Outcome::not_a_log};
        const Outcome* found =
            v.kind != Value::Kind::string
                ? std::end(kOutcomes)
                : std::find_if(std::begin(kOutcomes), std::end(kOutcomes),
                               [&](Outcome o) { return *v.text == outcome_text(o); });
        if (found == std::end(kOutcomes))
          return fail("\"verdict\" is not READY, NOT READY or NOT A FLASHPREP LOG");
        record_->verdict = *found;
        return true;
      }
      case Member::log:
        if (v.kind == Value::Kind::null)
          return true;
        record_->has_log = true;
        return text_member(v, &record_->log, any);
      case Member::version:
        return text_member(v, &record_->version, version_text);
      case Member::schema:
        if (v.kind != Value::Kind::integer || v.integer != 2)
          return fail("\"schema\" is not 2");
        record_->schema = 2;
        return true;
      case Member::station:
        return text_member(v, &record_->station, some);
      case Member::port:
        return text_member(v, &record_->port, some);
      case Member::bus:
        return text_member(v, &record_->bus, any);
      case Member::device:
        return text_member(v, &record_->device, any);
      case Member::devnum:
        return count(v, &record_->devnum);
      case Member::boot:
        return text_member(v, &record_->boot, [](std::string_view t) {
          return t.size() == 36 && all_of(t, boot_char);
        });
      case Member::serial:
        return text_member(v, &record_->serial, any);
      case Member::image:
        return v.kind == Value::Kind::null ? true : wrong();
      default:
        return wrong();  // reasons, counts or failed_blocks given as a single value
    }
  }

  bool image_value(const Value& v) {
    const auto hex_address = [](std::string_view t) {
      return !t.empty() && t.size() <= 8 && all_of(t, upper_hex);
    };
    switch (inner_) {
      case 0:
        return text_member(v, &record_->image_file, [](std::string_view t) { return !t.empty(); });
      case 1:
        if (v.kind != Value::Kind::string || v.text->size() != 64 || !all_of(*v.text, lower_hex))
          return fail("\"image\" has a sha256 that is not 64 hex digits");
        record_->image_sha256 = keep(*v.text);
        return true;
      case 2:
        return count(v, &record_->image_bytes);
      case 3:
        return text_member(v, &record_->image_start, hex_address);
      case 4:
        return text_member(v, &record_->image_end, hex_address);
      default:
        return count(v, &record_->image_blocks);
    }
  }

  // The end of the record: every member it must have is there, and none of
  // another schema.
  bool finish() {
    const uint32_t needed = (seen_ & bit(Member::schema)) != 0 ? kSchema2Members : kSchema1Members;
    for (int m = 0; m < kMembers; ++m) {
      if ((needed & ~seen_ & (uint32_t{1} << m)) != 0)
        return fail("no member \"" + std::string(kMemberNames[m]) + "\"" +
                    (m > static_cast<int>(Member::schema) ? " (schema 2)" : ""));
    }
    if (needed == kSchema1Members && seen_ != kSchema1Members)
      return fail("no member \"schema\"");
    return true;
  }

  RecordStore* store_;
  StoredRecord* record_;
  bool in_record_ = false;
  int level_ = 0;  // 1: in the record; 2: in one of its lists or objects; 3: in a block range
  uint32_t seen_ = 0;
  Member member_ = Member::unknown;
  int next_member_ = 0;
  int inner_ = 0;  // the member of image or counts
  uint32_t inner_seen_ = 0;
  int pair_[2] = {0, 0};
  int pair_values_ = 0;
  int64_t schema_ = 0;
  bool schema_noted_ = false;  // a second "schema" names none
  bool syntax_error_ = false;
  size_t error_position_ = 0;
  std::string why_;
};

bool blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

}  // namespace

const char* outcome_text(Outcome outcome) {
  switch (outcome) {
    case Outcome::ready:
      return "READY";
    case Outcome::not_ready:
      return "NOT READY";
    case Outcome::not_a_log:
      break;
  }
  return "NOT A FLASHPREP LOG";
}

std::string damage_name(const LineDamage& damage) {
  switch (damage.damage) {
    case Damage::cut:
      return "cut";
    case Damage::blank:
      return "blank";
    case Damage::nul_bytes:
      return "NUL bytes";
    case Damage::newer_schema:
      return "schema " + std::to_string(damage.schema);
    case Damage::not_a_record:
      break;
  }
  return "not a record";
}

bool read_record_line(std::string_view line, RecordStore* store, StoredRecord* record,
                      LineDamage* damage) {
  *record = StoredRecord();
  damage->schema = 0;
  damage->why.clear();
  if (blank(line)) {
    damage->damage = Damage::blank;
    return false;
  }
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) {
    damage->damage = Damage::nul_bytes;
    return false;
  }
  const size_t text_size = store->text.size();
  const size_t reasons = store->reasons.size();
  const size_t blocks = store->blocks.size();
  RecordEvents events(store, record);
  const bool parsed = json::sax_parse(line.begin(), line.end(), &events);
  if (parsed && !events.broken())
    return true;
  store->text.resize(text_size);
  store->reasons.resize(reasons);
  store->blocks.resize(blocks);
  // Input that ran out inside a record: the start of a record only.
  if (events.syntax_error() && events.error_position() > line.size() && line.front() == '{') {
    damage->damage = Damage::cut;
  } else if (!events.syntax_error() && events.schema() > kRecordSchema) {
    damage->damage = Damage::newer_schema;
    damage->schema = events.schema();
  } else {
    damage->damage = Damage::not_a_record;
    damage->why = events.why();
  }
  return false;
}
