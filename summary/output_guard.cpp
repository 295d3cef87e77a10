#include "summary/output_guard.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

const char kFlashMapMark[] = "<!-- flashprep-summary flash map -->";

bool may_write_over(const std::string& path, const std::string& mark, const std::string& what,
                    const std::vector<std::string>& inputs, std::string* why) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status))
    return true;  // nothing there to lose (or the write fails and says so)
  for (const std::string& input : inputs) {
    std::error_code same_ec;
    if (fs::equivalent(path, input, same_ec) && !same_ec) {
      *why = path;
      *why += " is ";
      *why += input;
      *why += " (the same file), which this run reads: not written over";
      return false;
    }
  }
  if (!fs::is_regular_file(status))
    return true;
  std::ifstream in(path, std::ios::binary);
  std::string head(512, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  if (head.find(mark) != std::string::npos)
    return true;
  *why = path + " exists and is no " + what +
         " that flashprep-summary wrote: not written over (remove it or name another file)";
  return false;
}
