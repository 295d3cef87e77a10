// InterruptHandlers on Windows: the console's Ctrl-C and Ctrl-Break, and its
// window being closed (or the user logging off, or the system shutting down).
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "app/interrupt.h"

namespace {

// The one flag: 0, or the first request, named by the C signal that stands
// for it on Windows. Atomic rather than volatile sig_atomic_t: Windows runs
// a console handler on a thread of its own, not on the interrupted one.
std::atomic<int> g_request{0};
std::atomic<int> g_second{0};  // a second request, recorded (record_second)
std::atomic<bool> g_record_second{false};

BOOL WINAPI on_console_event(DWORD event) {
  const int request = event == CTRL_C_EVENT       ? SIGINT
                      : event == CTRL_BREAK_EVENT ? SIGBREAK
                                                  : SIGTERM;
  int none = 0;
  if (!g_request.compare_exchange_strong(none, request)) {
    int no_second = 0;
    if (g_record_second && g_second.compare_exchange_strong(no_second, request))
      return TRUE;  // recorded; the program ends soon by itself
    return FALSE;   // asked again: the next handler, Windows' own, ends the process now
  }
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
    return TRUE;  // recorded; the run stops at its next request
  // Closing, logoff, shutdown: Windows ends the process as soon as this
  // handler returns (or after a few seconds whatever it does), so it waits
  // here while the run finishes its exchange and closes the device;
  // end_by_interrupt() then ends the process, this thread with it.
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

InterruptHandlers::InterruptHandlers(bool record_second) {
  g_request = 0;
  g_second = 0;
  g_record_second = record_second;
  // A process started with Ctrl-C ignored (a new process group, or a parent
  // that asked for it) gets no CTRL_C_EVENT at all: that stays so.
  (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptHandlers::~InterruptHandlers() {
  (void)SetConsoleCtrlHandler(on_console_event, FALSE);
}

bool interrupt_requested() {
  return g_request != 0;
}

void request_interrupt(int request) {
  // As a console's Ctrl-Break: recorded, the run stops at its next request.
  int none = 0;
  (void)g_request.compare_exchange_strong(none, request);
}

int interrupt_count() {
  return g_request == 0 ? 0 : g_second == 0 ? 1 : 2;
}

int interrupt_request() {
  return g_request;
}

void end_by_interrupt(int /*request*/) {
  // ExitProcess skips nothing that matters here, but flush the C streams
  // first as the handlers' absence would have left them.
  (void)std::fflush(nullptr);
  // Every request ends the way Windows' own handler ends a console program.
  ExitProcess(kWindowsInterruptExit);
}
