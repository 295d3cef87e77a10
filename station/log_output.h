// A board's process writes its log on its standard output, as flashprep
// writes its lines: each line handed to the system as the run reaches it
// (std::endl). Unlike std::cout, it keeps the system's reason when a write
// fails (a full disk, an I/O error), so that the process can tell the station
// what happened to its log instead of leaving a cut log to be guessed at.
//
// The standard streams offer no other way to see a write's error than a
// stream buffer of one's own: LogOutput's buffer is the project's one class
// derived from a standard one, for that reason alone.
//
// Ownership: the object owns its buffer; standard output stays open.
#ifndef FLASHPREP_STATION_LOG_OUTPUT_H_
#define FLASHPREP_STATION_LOG_OUTPUT_H_

#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>

// Why a log could not be written whole, as far as the station needs to tell
// it. A board's process ends with an exit status of its own for each (see
// board_exit_status()), because its standard error may sit on the same full
// disk as its log and say nothing.
enum class LogFailure : uint8_t { none, no_space, io_error, too_large, quota, other };

// The words for a failure, as strerror() gives them on Linux ("No space left
// on device").
const char* log_failure_text(LogFailure failure);

// The exit status of a board's process whose log failed so (3 to 7), and the
// failure an exit status stands for (none for any other status).
int board_exit_status(LogFailure failure);
LogFailure log_failure_of_status(int exit_status);

class LogOutput {
 public:
  LogOutput() : stream_(&buffer_) {}
  LogOutput(const LogOutput&) = delete;
  LogOutput& operator=(const LogOutput&) = delete;

  // The stream the run writes to.
  std::ostream& stream() { return stream_; }
  // Hands what is buffered to the system. True when every byte ever given
  // to the stream was written; false once a write failed (see failure()).
  bool flush();
  // The first write that failed: none when none did.
  LogFailure failure() const { return buffer_.failure(); }

 private:
  class Buffer : public std::streambuf {
   public:
    Buffer() { setp(bytes_, bytes_ + sizeof bytes_); }
    LogFailure failure() const { return failure_; }

   protected:
    int_type overflow(int_type c) override;
    int sync() override;

   private:
    bool write_out();
    char bytes_[4096];
    LogFailure failure_ = LogFailure::none;
  };

  Buffer buffer_;
  std::ostream stream_;
};

// Writes `n` bytes to standard output as the system takes them (on Windows
// with each LF as CR LF, as a console program's text-mode output is). False,
// with the system's reason in `failure`, when they could not all be written.
bool write_standard_output(const char* bytes, size_t n, LogFailure* failure);

#endif  // FLASHPREP_STATION_LOG_OUTPUT_H_
