#include "runlog/log_lines.h"

namespace {

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr char kUtf16LeMark[] = "\xFF\xFE";

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Every line of a run is ASCII, so UTF-16LE narrows to one byte a character.
std::string narrow_utf16le(const std::string& bytes, size_t from) {
  std::string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = from; i + 1 < bytes.size(); i += 2) {
    const auto low = static_cast<unsigned char>(bytes[i]);
    const auto high = static_cast<unsigned char>(bytes[i + 1]);
    out += (high == 0 && low < 0x80) ? static_cast<char>(low) : '\xFF';
  }
  if (bytes.size() > from && (bytes.size() - from) % 2 != 0)
    out += '\xFF';  // half a character: cut or not text
  return out;
}

}  // namespace

std::vector<LogLine> split_log_lines(const std::string& bytes) {
  std::string text;
  if (starts_with(bytes, kUtf16LeMark))
    text = narrow_utf16le(bytes, 2);
  else if (starts_with(bytes, kUtf8Mark))
    text = bytes.substr(3);
  else
    text = bytes;

  std::vector<LogLine> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const bool ended = end != std::string::npos;
    std::string line = text.substr(start, (ended ? end : text.size()) - start);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back({std::move(line), ended});
    start = ended ? end + 1 : text.size();
  }
  return lines;
}
