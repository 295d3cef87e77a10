// What the station does differently on each system: starting the process
// that prepares one board and telling it to stop, finding the station's own
// program, what the system tells of a plugged board (its port, its serial
// number, the boot it was plugged in), and the terminal. One implementation
// file per system (host-posix.cpp, host-win32.cpp).
#ifndef FLASHPREP_STATION_HOST_H_
#define FLASHPREP_STATION_HOST_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// One child process whose standard output and standard error are new files
// of its own.
//
// Ownership: the object owns the process (and, on Windows, its handle) and
// the station's end of the child's standard input. A process still running
// when the object is destroyed is told the station is going (its input
// closes) and waited for: a board is never left to a process nobody watches.
// Neither copyable nor movable: it stays where the station made it.
class BoardProcess {
 public:
  BoardProcess() = default;
  ~BoardProcess();
  BoardProcess(BoardProcess&&) = delete;
  BoardProcess& operator=(BoardProcess&&) = delete;
  BoardProcess(const BoardProcess&) = delete;
  BoardProcess& operator=(const BoardProcess&) = delete;

  // Creates `log` and `errors`, both files that did not exist before, and
  // starts `program` (see own_program()) with the arguments `argv` (argv[0]
  // as the process is to see its name), its standard output on `log`, its
  // standard error on `errors` and its standard input on a pipe whose other
  // end only the station holds: when the station ends, however it ends, the
  // child reads the end of its input (see stop_when_station_ends()). The
  // child does not get the stop requests that the terminal sends the station
  // (on POSIX it has a process group of its own, on Windows a console
  // process group), so that each child gets one request exactly: the one
  // stop() forwards; on POSIX it starts with the stop signals and SIGPIPE at
  // their defaults, whatever the station ignores. On POSIX the open files
  // `held` stay open in the child for as long as it lives, and so do the
  // system's locks on them (flock belongs to the open file); Windows'
  // locks belong to the process that took them, so there `held` is not
  // passed on.
  //
  // False, with the reason in `error`, when the files cannot be created or
  // the process cannot be started; nothing runs then, and `*taken` says
  // whether it was because a file of either name exists already (the files
  // are then left as they were; otherwise neither is left behind).
  bool start(const std::string& program, const std::vector<std::string>& argv,
             const std::string& log, const std::string& errors, const std::vector<intptr_t>& held,
             std::string* error, bool* taken);

  // Passes the station's stop request (see app/interrupt.h) to the child,
  // once; later calls do nothing. The child then stops as flashprep does.
  void stop(int request);

  // True once the child has ended (or never started); does not block.
  bool ended();

  // How the child ended, once ended() said so: its exit status (-1 when it
  // did not exit), or the signal that ended it (0 when none; on Windows the
  // stop request it was sent, when it ended as a stopped console program
  // does).
  int exit_status() const { return exit_status_; }
  int end_signal() const { return end_signal_; }

 private:
  void wait_end();
  void note_end(int status);
  void close_input();
#ifdef _WIN32
  void* process_ = nullptr;  // HANDLE
  void* input_ = nullptr;    // HANDLE: the station's end of the child's input
  unsigned long id_ = 0;
#else
  int pid_ = 0;
  int input_ = -1;  // the station's end of the child's input
#endif
  int stopped_by_ = 0;  // the request passed on, 0 before stop()
  int exit_status_ = -1;
  int end_signal_ = 0;
};

// The path of the running program, as its messages name it; empty when the
// system cannot tell (the caller then uses argv[0]).
std::string own_program_path();

// What starts the running program again, for each board's process: the very
// program the station runs, even once its file was replaced (a package
// upgrade renames a new file over it), so that a station never mixes
// versions in one shift. Linux: /proc/self/fd/N of /proc/self/exe, opened
// at the first call and held for as long as the process runs. Windows: its
// path, as a running .exe cannot be replaced. Empty when the system cannot
// tell (the caller then uses the path).
std::string own_program();

// The system's folder for the boards' claims (station/board_claim.h).
std::string system_claims_folder();

// For the process of one board: when its standard input is a pipe (the
// station's, see BoardProcess::start) and reaches its end, which happens
// once the station has ended however it ended, a stop request is recorded
// as if the station had passed one on (app/interrupt.h: SIGTERM): the run
// stops at its next exchange and closes the board, so that no board is left
// to a process no station watches. A pipe rather than Linux's parent-death
// signal: it works on both systems, it cannot miss a station that died
// before the child was ready (the end of input waits to be read), and a
// station's thread that ends is no station that ends. Watched by a thread
// of its own.
void stop_when_station_ends();

// The station no longer dies of a reader that went away (`| head`): writes
// to a closed pipe fail instead (POSIX: SIGPIPE ignored), which the station
// says once and goes on.
void survive_closed_output();

// The USB port paths of the devices with `vendor` and `product` plugged in
// now, by the bus and device numbers libusb lists them under, as the system
// names them (on Linux the sysfs name such as "1-1.3", read below `devices`):
// one look at the system for all of them. Empty where the system does not
// say.
std::map<std::pair<int, int>, std::string> board_ports(
    unsigned vendor, unsigned product, const std::string& devices = "/sys/bus/usb/devices/");

// False, with the reason in `why`, when the system says this process may
// not yet open the board libusb lists as `device` on bus `bus` for writing
// (Linux: its node, ${USB_DEVFS_PATH:-/dev/bus/usb}/BUS/DEVICE, before udev
// has given it to a group of the process's; at boot a station may look
// before udev has). True where the system tells nothing (no such node:
// another system, a simulated board).
bool board_node_writable(const std::string& bus, const std::string& device, std::string* why);

// The USB serial number the system read from the board in `port` when it
// was plugged in (Linux: sysfs `serial`); empty when it has none or the
// system does not say. No USB traffic.
std::string port_serial(const std::string& port);

// The id of the system's current boot (Linux: boot_id); empty elsewhere.
std::string boot_id();

// This machine's name, for the records; empty when unknown.
std::string host_name();

// True when standard output is a terminal that takes the escape sequences
// the live view uses (on Windows this turns them on).
bool output_is_terminal();

// The terminal's size now, in columns and rows (80 by 24 where unknown).
struct TerminalSize {
  int columns = 80;
  int rows = 24;
};
TerminalSize terminal_size();

#endif  // FLASHPREP_STATION_HOST_H_
