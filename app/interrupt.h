// Requests from outside to stop a run: Ctrl-C, a terminal that was closed, a
// service manager stopping the job (SIGINT, SIGHUP and SIGTERM on POSIX;
// Ctrl-C, Ctrl-Break and the console's close, logoff or shutdown events on
// Windows).
//
// Killed in the middle of an exchange, the host would leave the board with a
// reply that the next run reads in place of its own. So while an
// InterruptHandlers object lives, such a request does not end the process: it
// is only recorded, the run asks interrupt_requested() where each request
// starts and stops there, and once the device is closed the caller ends the
// process by the request with end_by_interrupt(). A second request while the
// first is being served ends the process at once, as it would have without
// the handlers. On POSIX, once a request was recorded, SIGPIPE is ignored
// until the handlers go: the run's writes to a reader that went away (a
// `tee` that Ctrl-C ended first) fail instead of ending it before the close.
//
// The handlers are process-wide: one InterruptHandlers object at a time.
// Systems differ only in the implementation file (interrupt-posix.cpp,
// interrupt-win32.cpp).
#ifndef FLASHPREP_APP_INTERRUPT_H_
#define FLASHPREP_APP_INTERRUPT_H_

#include <cstdint>

// What a Windows console program ended by Ctrl-C, Ctrl-Break or its
// console's close reports to its parent (STATUS_CONTROL_C_EXIT; cmd.exe shows
// it as ^C, -1073741510 as a signed exit code): end_by_interrupt() ends a
// run so on Windows, and the station tells a board's process stopped so.
constexpr uint32_t kWindowsInterruptExit = 0xC000013A;

class InterruptHandlers {
 public:
  // Forgets any earlier request and starts recording them. A request the
  // process was started to ignore (nohup, a background job) stays ignored.
  // With `record_second`, a second request is recorded too (see
  // interrupt_count()) and only a third ends the process at once: for a
  // program that must still write what it knows before it ends (the
  // station's records), and that ends soon after a second request.
  explicit InterruptHandlers(bool record_second = false);
  // Puts back what was there before (SIGPIPE's disposition included); a
  // request already recorded stays so.
  ~InterruptHandlers();
  InterruptHandlers(const InterruptHandlers&) = delete;
  InterruptHandlers& operator=(const InterruptHandlers&) = delete;
};

// True once a request was recorded. Safe to call at any time.
bool interrupt_requested();

// Records `request` (SIGTERM, SIGINT...) as a request from outside would be:
// for a watcher in the program that learns it must stop (the station that
// started it has gone). Safe from any thread. Nothing is recorded when a
// request already was: the first is being served, and this is no second. On POSIX the signal is
// sent to the process, so that it takes the very path of one from outside.
void request_interrupt(int request);

// How many requests were recorded: 0, 1, or 2 once a second one came (only
// with `record_second`).
int interrupt_count();

// The first request recorded, 0 for none: on POSIX, the signal number; on
// Windows, SIGINT for Ctrl-C, SIGBREAK for Ctrl-Break and SIGTERM for the
// console's close, logoff and shutdown.
int interrupt_request();

// Ends the process the way `request` would have ended it without handlers,
// so that a parent sees the process killed by that signal (a shell then
// stops a script, a service manager knows the job was stopped); on Windows
// with STATUS_CONTROL_C_EXIT, as Windows' own handler does. Flushes the C
// streams first. Does not return. REQUIRES: `request` came from
// interrupt_request() and is not 0.
[[noreturn]] void end_by_interrupt(int request);

#endif  // FLASHPREP_APP_INTERRUPT_H_
