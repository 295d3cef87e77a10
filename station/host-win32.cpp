// The station's system part on Windows: CreateProcess with a console process
// group of its own per board, Ctrl-Break to pass a stop on, and the console's
// escape sequences. libusb-win32 tells no port path: boards are named by
// their libusb names.
#include <windows.h>

#include <csignal>

#include "station/host.h"

namespace {

// A handle that closes itself.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr)
      (void)CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

 private:
  HANDLE h_;
};

// One argument as the C runtime's command-line parser reads it back:
// quoted, with backslashes doubled only where they come before a quote.
std::string quoted(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string last_error() {
  return "Windows error " + std::to_string(GetLastError());
}

}  // namespace

BoardProcess::~BoardProcess() {
  wait_end();
}

bool BoardProcess::start(const std::vector<std::string>& argv, const std::string& log,
                         std::string* error) {
  // Inheritable only for the one CreateProcess below; the station starts
  // its boards one after the other, so no other child gets this log.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const Handle out(CreateFileA(log.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.valid()) {
    *error = "cannot write " + log + ": " + last_error();
    return false;
  }
  const Handle in(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string command;
  for (const std::string& a : argv)
    command += (command.empty() ? "" : " ") + quoted(a);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.get();
  startup.hStdOutput = out.get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  // A console process group of its own: the console's Ctrl-C reaches the
  // station only, which passes it on once as Ctrl-Break.
  if (CreateProcessA(argv[0].c_str(), command.data(), nullptr, nullptr, TRUE,
                     CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info) == 0) {
    *error = "cannot start " + argv[0] + ": " + last_error();
    return false;
  }
  (void)CloseHandle(info.hThread);
  process_ = info.hProcess;
  id_ = info.dwProcessId;
  return true;
}

void BoardProcess::stop(int request) {
  if (process_ == nullptr || stopped_)
    return;
  stopped_ = true;
  // The console's close, logoff and shutdown (SIGTERM here) reach every
  // process on the console, the children too: a second one would end them
  // at once. Ctrl-C and Ctrl-Break do not cross into their groups.
  if (request == SIGTERM)
    return;
  (void)GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_);
}

bool BoardProcess::ended() {
  if (process_ == nullptr)
    return true;
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
    return false;
  (void)CloseHandle(process_);
  process_ = nullptr;
  return true;
}

void BoardProcess::wait_end() {
  if (process_ == nullptr)
    return;
  (void)WaitForSingleObject(process_, INFINITE);
  (void)CloseHandle(process_);
  process_ = nullptr;
}

std::string own_program_path() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n == 0 || n == sizeof path ? std::string() : std::string(path, n);
}

std::string port_name(int /*bus_number*/, int /*device_number*/, unsigned /*vendor*/,
                      unsigned /*product*/) {
  return "";
}

bool output_is_terminal(int* columns) {
  *columns = 80;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode) == 0)
    return false;
  // Consoles older than Windows 10 take no escape sequences: plain lines.
  constexpr DWORD kEscapes = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  if ((mode & kEscapes) == 0 && SetConsoleMode(out, mode | kEscapes) == 0)
    return false;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(out, &info) != 0)
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
  return true;
}
