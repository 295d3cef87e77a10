#include "runlog/log_lines.h"

#include <algorithm>

namespace {

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr char kUtf16LeMark[] = "\xFF\xFE";
constexpr size_t kUtf8MarkBytes = 3;
constexpr size_t kUtf16LeMarkBytes = 2;

// True when `head` and `mark` agree on their common length.
bool agrees(const std::string& head, const char* mark, size_t mark_bytes) {
  return head.compare(0, mark_bytes, mark, std::min(head.size(), mark_bytes)) == 0;
}

}  // namespace

void LogLineSplitter::add(const char* bytes, size_t n, std::vector<LogLine>* lines) {
  std::string text(bytes, n);
  if (encoding_ == Encoding::unknown) {
    // The first bytes decide: a mark, a start of a mark still to complete,
    // or plain text.
    head_ += text;
    text.clear();
    if (agrees(head_, kUtf16LeMark, kUtf16LeMarkBytes)) {
      if (head_.size() < kUtf16LeMarkBytes)
        return;
      encoding_ = Encoding::utf16le;
      head_.erase(0, kUtf16LeMarkBytes);
    } else if (agrees(head_, kUtf8Mark, kUtf8MarkBytes)) {
      if (head_.size() < kUtf8MarkBytes)
        return;
      encoding_ = Encoding::ascii;
      head_.erase(0, kUtf8MarkBytes);
    } else {
      encoding_ = Encoding::ascii;
    }
    text.swap(head_);
  }
  if (encoding_ == Encoding::utf16le) {
    // Every line of a run is ASCII, so UTF-16LE narrows to one byte a
    // character.
    std::string wide = odd_ + text;
    odd_.clear();
    std::string narrow;
    narrow.reserve(wide.size() / 2);
    size_t i = 0;
    for (; i + 1 < wide.size(); i += 2) {
      const auto low = static_cast<unsigned char>(wide[i]);
      const auto high = static_cast<unsigned char>(wide[i + 1]);
      narrow += (high == 0 && low < 0x80) ? static_cast<char>(low) : '\xFF';
    }
    odd_ = wide.substr(i);
    text.swap(narrow);
  }
  take_text(text, lines);
}

void LogLineSplitter::take_text(const std::string& text, std::vector<LogLine>* lines) {
  size_t start = 0;
  for (size_t stop = text.find('\n'); stop != std::string::npos; stop = text.find('\n', start)) {
    line_.append(text, start, stop - start);
    if (!line_.empty() && line_.back() == '\r')
      line_.pop_back();
    lines->push_back({std::move(line_), true});
    line_.clear();
    start = stop + 1;
  }
  line_ += text.substr(start);
}

void LogLineSplitter::end(std::vector<LogLine>* lines) {
  if (encoding_ == Encoding::unknown && !head_.empty()) {
    // Fewer bytes than a mark: they are text.
    encoding_ = Encoding::ascii;
    std::string text;
    text.swap(head_);
    take_text(text, lines);
  }
  if (!odd_.empty()) {
    line_ += '\xFF';  // half a character: cut or not text
    odd_.clear();
  }
  if (!line_.empty()) {
    std::string last;
    last.swap(line_);
    if (last.back() == '\r')
      last.pop_back();
    lines->push_back({std::move(last), false});
  }
}

std::vector<LogLine> split_log_lines(const std::string& bytes) {
  std::vector<LogLine> lines;
  LogLineSplitter splitter;
  splitter.add(bytes.data(), bytes.size(), &lines);
  splitter.end(&lines);
  return lines;
}
