// InterruptHandlers on POSIX: SIGINT, SIGTERM and SIGHUP.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/interrupt.h"

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// The one flag: 0, or the first signal received while the handlers live;
// and whether a second was recorded rather than taken at once.
volatile sig_atomic_t g_request = 0;
volatile sig_atomic_t g_second = 0;
volatile sig_atomic_t g_record_second = 0;

struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount];
struct sigaction g_previous_pipe;
bool g_pipe_saved = false;

// SIGPIPE ignored: a write to a pipe whose reader went away then fails
// instead of ending the process. sigaction is safe in a signal handler.
void ignore_broken_pipes() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

extern "C" {

static void on_stop_signal(int signal_number) {
  if (g_request != 0 && g_record_second != 0 && g_second == 0) {
    g_second = signal_number;
    return;
  }
  if (g_request != 0) {
    // Asked twice: end now. The signal stays blocked until this handler
    // returns, and is then taken with its default action. Nothing to do
    // here if either call fails: the first request is still served.
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
    return;
  }
  g_request = signal_number;
  // Ctrl-C reaches a reader such as `tee` too, which may end first: the
  // stopping run must still close the board, so from now on its writes fail
  // rather than kill it. Until a stop, a vanished reader ends it as usual.
  ignore_broken_pipes();
}

}  // extern "C"

InterruptHandlers::InterruptHandlers(bool record_second) {
  g_request = 0;
  g_second = 0;
  g_record_second = record_second ? 1 : 0;
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  // The three block each other, so that two handlers never run at once.
  sigemptyset(&action.sa_mask);
  for (int s : kSignals)
    sigaddset(&action.sa_mask, s);
  // SA_RESTART: a console line written while a signal arrives must not fail
  // with EINTR. The transfer in flight goes on either way: libusb waits for
  // it in select() or poll(), which a handler interrupts whatever the flags,
  // and takes EINTR as "keep waiting". No SA_RESETHAND: the handler itself
  // decides what a second signal does.
  action.sa_flags = SA_RESTART;
  g_pipe_saved = sigaction(SIGPIPE, nullptr, &g_previous_pipe) == 0;
  for (int i = 0; i < kSignalCount; ++i) {
    g_installed[i] = false;
    struct sigaction current = {};
    if (sigaction(kSignals[i], nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
      continue;
    g_installed[i] = sigaction(kSignals[i], &action, &g_previous[i]) == 0;
  }
}

InterruptHandlers::~InterruptHandlers() {
  for (int i = 0; i < kSignalCount; ++i)
    if (g_installed[i])
      sigaction(kSignals[i], &g_previous[i], nullptr);
  if (g_pipe_saved)
    sigaction(SIGPIPE, &g_previous_pipe, nullptr);
}

bool interrupt_requested() {
  return g_request != 0;
}

void request_interrupt(int request) {
  // Not a second request: one already recorded is being served.
  if (g_request == 0)
    (void)kill(getpid(), request);  // cannot fail for this process and a stop signal
}

int interrupt_count() {
  return g_request == 0 ? 0 : g_second == 0 ? 1 : 2;
}

int interrupt_request() {
  return g_request;
}

void end_by_interrupt(int request) {
  // Raising the signal skips the exit handlers that would flush the streams;
  // a stream that cannot be flushed now could not be at exit either.
  (void)std::fflush(nullptr);
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(request, &default_action, nullptr);
  sigset_t only = {};
  sigemptyset(&only);
  sigaddset(&only, request);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)raise(request);
  // Not reached for a stop signal; the shells' convention otherwise.
  std::_Exit(128 + request);
}
