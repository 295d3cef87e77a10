// The station's system part on Windows: CreateProcess with a console process
// group of its own per board, Ctrl-Break to pass a stop on, and the console's
// escape sequences. libusb-win32 tells no port path: boards are named by
// their libusb names.
#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "app/interrupt.h"
#include "station/file_handle.h"
#include "station/host.h"
#include "station/win32_error.h"

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
  HANDLE release() {
    const HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
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

}  // namespace

BoardProcess::~BoardProcess() {
  // Its input closed first: a child still running stops at its next
  // exchange, as when the station ends without this destructor.
  close_input();
  wait_end();
}

void BoardProcess::close_input() {
  if (input_ != nullptr)
    (void)CloseHandle(input_);  // a pipe: nothing is lost by closing it
  input_ = nullptr;
}

bool BoardProcess::start(const std::string& program, const std::vector<std::string>& argv,
                         const std::string& log, const std::string& errors,
                         const std::vector<intptr_t>& /*held*/, std::string* error, bool* taken) {
  *taken = false;
  // New files only (CREATE_NEW): a run never writes into a file that another
  // run, or anything else, made. Inheritable only for the one CreateProcess
  // below; the station starts its boards one after the other, so no other
  // child gets them.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const auto create = [&](const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const Handle out(create(log));
  if (!out.valid()) {
    const DWORD code = GetLastError();
    *taken = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    *error = "cannot create " + log + ": " + win32_error_text(code);
    return false;
  }
  const Handle err(create(errors));
  if (!err.valid()) {
    const DWORD code = GetLastError();
    *taken = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    *error = "cannot create " + errors + ": " + win32_error_text(code);
    (void)DeleteFileA(log.c_str());  // made just now, empty: nothing of anyone's is lost
    return false;
  }
  const auto give_up = [&](const std::string& why) {
    *error = why;
    (void)DeleteFileA(log.c_str());
    (void)DeleteFileA(errors.c_str());
    return false;
  };
  // Their entries on the disk: a power cut must not take the log of a board
  // whose record says it was prepared.
  std::string why;
  if (!sync_folder_of(log, &why))
    return give_up("cannot flush the folder of " + log + ": " + why);
  // The child's input: a pipe whose writing end only the station holds (not
  // inheritable), so that the child reads its end once the station ends.
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (CreatePipe(&read_end, &write_end, &inherit, 0) == 0)
    return give_up("cannot start a process: " + last_error_text());
  const Handle in(read_end);
  Handle station_end(write_end);
  if (SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0) == 0)
    return give_up("cannot start a process: " + last_error_text());
  std::string command;
  for (const std::string& a : argv)
    command += (command.empty() ? "" : " ") + quoted(a);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.get();
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION info = {};
  // A console process group of its own: the console's Ctrl-C reaches the
  // station only, which passes it on once as Ctrl-Break.
  if (CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                     CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info) == 0)
    return give_up("cannot start " + argv[0] + ": " + last_error_text());
  (void)CloseHandle(info.hThread);
  process_ = info.hProcess;
  input_ = station_end.release();
  id_ = info.dwProcessId;
  return true;
}

void BoardProcess::stop(int request) {
  if (process_ == nullptr || stopped_by_ != 0)
    return;
  stopped_by_ = request;
  // The console's close, logoff and shutdown (SIGTERM here) reach every
  // process on the console, the children too: a second one would end them
  // at once. Ctrl-C and Ctrl-Break do not cross into their groups.
  if (request == SIGTERM)
    return;
  (void)GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_);
}

void BoardProcess::note_end(int /*status*/) {
  DWORD code = 0;
  if (GetExitCodeProcess(process_, &code) != 0) {
    // A board's run stopped by the request it was passed ends so.
    if (code == kWindowsInterruptExit)
      end_signal_ = stopped_by_ != 0 ? stopped_by_ : SIGINT;
    else
      exit_status_ = static_cast<int>(code);
  }
  (void)CloseHandle(process_);
  process_ = nullptr;
  // Its input has no reader any more: closed now, not when the run is
  // forgotten.
  close_input();
}

bool BoardProcess::ended() {
  if (process_ == nullptr) {
    close_input();
    return true;
  }
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
    return false;
  note_end(0);
  return true;
}

void BoardProcess::wait_end() {
  if (process_ == nullptr)
    return;
  (void)WaitForSingleObject(process_, INFINITE);
  note_end(0);
}

std::string own_program_path() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n == 0 || n == sizeof path ? std::string() : std::string(path, n);
}

std::string own_program() {
  // A running .exe cannot be replaced (nor renamed over): its path names
  // this very program for as long as the station runs.
  return own_program_path();
}

std::string system_claims_folder() {
  const char* data = std::getenv("ProgramData");
  return std::string(data != nullptr ? data : "C:\\ProgramData") + "\\flashprep";
}

namespace {

DWORD WINAPI watch_input(void* /*unused*/) {
  char byte = 0;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) != 0 && got > 0) {
  }
  request_interrupt(SIGTERM);
  return 0;
}

}  // namespace

void stop_when_station_ends() {
  if (GetFileType(GetStdHandle(STD_INPUT_HANDLE)) != FILE_TYPE_PIPE)
    return;
  const HANDLE thread = CreateThread(nullptr, 0, watch_input, nullptr, 0, nullptr);
  if (thread != nullptr)
    (void)CloseHandle(thread);  // it runs on; nothing waits for it
}

void survive_closed_output() {
  // No SIGPIPE on Windows: a write to a pipe without a reader fails.
}

std::map<std::pair<int, int>, std::string> board_ports(unsigned /*vendor*/, unsigned /*product*/,
                                                       const std::string& /*devices*/) {
  return {};
}

bool board_node_writable(const std::string& /*bus*/, const std::string& /*device*/,
                         std::string* /*why*/) {
  return true;
}

std::string port_serial(const std::string& /*port*/) {
  return "";
}

std::string boot_id() {
  return "";
}

std::string host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (GetComputerNameA(name, &size) == 0)
    return "";
  return std::string(name, size);
}

bool output_is_terminal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode) == 0)
    return false;
  // Consoles older than Windows 10 take no escape sequences: plain lines.
  constexpr DWORD kEscapes = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & kEscapes) != 0 || SetConsoleMode(out, mode | kEscapes) != 0;
}

TerminalSize terminal_size() {
  TerminalSize size;
  CONSOLE_SCREEN_BUFFER_INFO info;
  // The window, not the buffer: the buffer may hold thousands of lines.
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0) {
    size.columns = info.srWindow.Right - info.srWindow.Left + 1;
    size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  }
  return size;
}
