// Reading what a run left behind: a whole file as text, text as lines.
#ifndef FLASHPREP_TESTS_E2E_TEXT_FILES_H_
#define FLASHPREP_TESTS_E2E_TEXT_FILES_H_

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The file's bytes as they are (no line-ending translation); empty when it
// cannot be read.
inline std::string read_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The lines of `text` without their newlines; a last line cut short of its
// newline is a line too.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// How many times `part` is in `text`, overlapping ones too.
inline size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

#endif  // FLASHPREP_TESTS_E2E_TEXT_FILES_H_
