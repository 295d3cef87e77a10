// What the station does differently on each system: starting the process
// that prepares one board and telling it to stop, finding the station's own
// program, naming the USB port a board is plugged into, and the terminal.
// One implementation file per system (host-posix.cpp, host-win32.cpp).
#ifndef FLASHPREP_STATION_HOST_H_
#define FLASHPREP_STATION_HOST_H_

#include <string>
#include <vector>

// One child process whose standard output is a file of its own.
//
// Ownership: the object owns the process (and, on Windows, its handle). A
// process still running when the object is destroyed is waited for: a board
// is never left to a process nobody watches while the station still lives.
// Neither copyable nor movable: it stays where the station made it.
class BoardProcess {
 public:
  BoardProcess() = default;
  ~BoardProcess();
  BoardProcess(BoardProcess&&) = delete;
  BoardProcess& operator=(BoardProcess&&) = delete;
  BoardProcess(const BoardProcess&) = delete;
  BoardProcess& operator=(const BoardProcess&) = delete;

  // Starts `argv` (argv[0] is the program's path) with its standard output
  // on `log`, created or emptied first, standard input on the null device
  // and standard error shared with the station. The child does not get the
  // stop requests that the terminal sends the station (on POSIX it has a
  // process group of its own, on Windows a console process group), so that
  // each child gets one request exactly: the one stop() forwards. False,
  // with the reason in `error`, when the log cannot be written or the
  // process cannot be started; nothing runs then.
  bool start(const std::vector<std::string>& argv, const std::string& log, std::string* error);

  // Passes the station's stop request (see app/interrupt.h) to the child,
  // once; later calls do nothing. The child then stops as flashprep does.
  void stop(int request);

  // True once the child has ended (or never started); does not block. How
  // it ended is left to its log: the station judges that alone.
  bool ended();

 private:
  void wait_end();
#ifdef _WIN32
  void* process_ = nullptr;  // HANDLE
  unsigned long id_ = 0;
#else
  int pid_ = 0;
#endif
  bool stopped_ = false;
};

// The path of the running program, for starting it again; empty when the
// system cannot tell (the caller then uses argv[0]).
std::string own_program_path();

// The USB port path of the board libusb lists on bus `bus_number` as
// device `device_number`, as the system names it (on Linux the sysfs name
// such as "1-1.3"); empty when the system does not say.
std::string port_name(int bus_number, int device_number, unsigned vendor, unsigned product);

// True when standard output is a terminal that takes the escape sequences
// the live view uses (on Windows this turns them on). `columns` receives its
// width (80 when unknown).
bool output_is_terminal(int* columns);

#endif  // FLASHPREP_STATION_HOST_H_
