#include "station/log_output.h"

namespace {

// Exit statuses 3 to 7; 0 is a run that ended by itself and 2 a process that
// refused to start (a bad command line or simulated board file).
constexpr int kFirstFailureStatus = 3;
constexpr LogFailure kFailures[] = {LogFailure::no_space, LogFailure::io_error,
                                    LogFailure::too_large, LogFailure::quota, LogFailure::other};

}  // namespace

const char* log_failure_text(LogFailure failure) {
  switch (failure) {
    case LogFailure::none:
      return "";
    case LogFailure::no_space:
      return "No space left on device";
    case LogFailure::io_error:
      return "Input/output error";
    case LogFailure::too_large:
      return "File too large";
    case LogFailure::quota:
      return "Disk quota exceeded";
    case LogFailure::other:
      break;
  }
  return "the system refused a write";
}

int board_exit_status(LogFailure failure) {
  for (int i = 0; i < static_cast<int>(sizeof kFailures / sizeof kFailures[0]); ++i)
    if (kFailures[i] == failure)
      return kFirstFailureStatus + i;
  return 0;
}

LogFailure log_failure_of_status(int exit_status) {
  const int i = exit_status - kFirstFailureStatus;
  if (i < 0 || i >= static_cast<int>(sizeof kFailures / sizeof kFailures[0]))
    return LogFailure::none;
  return kFailures[i];
}

bool LogOutput::flush() {
  stream_.flush();
  return buffer_.failure() == LogFailure::none && !stream_.fail();
}

bool LogOutput::Buffer::write_out() {
  const size_t n = static_cast<size_t>(pptr() - pbase());
  setp(bytes_, bytes_ + sizeof bytes_);
  if (failure_ != LogFailure::none)
    return false;  // once a write failed, the log has a hole: nothing after it
  return n == 0 || write_standard_output(bytes_, n, &failure_);
}

LogOutput::Buffer::int_type LogOutput::Buffer::overflow(int_type c) {
  if (!write_out())
    return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int LogOutput::Buffer::sync() {
  return write_out() ? 0 : -1;
}
