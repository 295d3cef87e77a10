#include "station/board_log.h"

#include "runlog/log_lines.h"

bool BoardLog::follow() {
  if (!in_.is_open()) {
    in_.open(path_, std::ios::binary);
    if (!in_.is_open())
      return false;
  }
  // At the end of what it has, a stream stays failed: clear it and look
  // again from where the last read ended.
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(bytes_.size()));
  char chunk[65536];
  while (in_.read(chunk, sizeof chunk) || in_.gcount() > 0)
    bytes_.append(chunk, static_cast<size_t>(in_.gcount()));
  const size_t end = bytes_.rfind('\n');
  const size_t whole = end == std::string::npos ? 0 : end + 1;
  if (whole == whole_)
    return false;
  whole_ = whole;
  run_ = read_run_log(split_log_lines(bytes_.substr(0, whole_)));
  return true;
}

Verdict BoardLog::verdict() const {
  return judge(read_run_log(split_log_lines(bytes_)));
}
