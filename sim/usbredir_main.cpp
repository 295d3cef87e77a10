// flashprep-sim-usbredir: serves the simulated board as a USB device over the
// usbredir protocol on a unix socket, for a virtual machine's usb-redir
// device to connect to. The scenario comes from the same FLASHPREP_SIM_*
// variables as the preloaded board, and so do the files it leaves behind.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/environment.h"
#include "sim/scenario.h"
#include "sim/scenario_names.h"
#include "sim/usbredir_board.h"
#include "util/command_line.h"

namespace {

constexpr const char* kProgram = "flashprep-sim-usbredir";  // in its messages
constexpr int kAcceptTimeoutMs = 120000;  // a peer that never comes is a broken lane

// Binds under a temporary name and renames into place once listening, so
// that whoever waits for SOCKET to exist can connect at once.
int listen_on(const std::string& path) {
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (temporary.size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "flashprep-sim-usbredir: socket path too long: %s\n", path.c_str());
    return -1;
  }
  std::strcpy(address.sun_path, temporary.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(temporary.c_str());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 1) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "flashprep-sim-usbredir: cannot listen on %s: %s\n", path.c_str(),
                 std::strerror(errno));
    if (fd >= 0)
      close(fd);
    unlink(temporary.c_str());
    return -1;
  }
  return fd;
}

}  // namespace

enum Option { kDeviceId = 1 };

int main(int argc, char** argv) {
  const ProgramSyntax syntax = {
      kProgram,
      {"SOCKET", "--device-id"},
      1,
      "Listens on the unix socket SOCKET, serves the simulated board to the first\n"
      "peer that connects (a usb-redir device of a virtual machine) and exits when\n"
      "that peer closes the connection. SOCKET appears once it accepts connections.\n",
      {{kDeviceId, "device-id", nullptr,
        "prints the vendor and product ID it would announce (\"15a2:0040\"), or nothing "
        "for an empty port, and exits"}},
      std::string("On a wire, a time-out is a board that does not answer (the request waits\n"
                  "until the host cancels it), an unplug is a device disconnect, and\n"
                  "FLASHPREP_SIM_REFUSE=open|claim cannot happen. FLASHPREP_SIM_BOARD=none\n"
                  "leaves the port empty. Transfers are numbered over the whole connection,\n"
                  "every run in the guest included. The variables:\n\n") +
          sim::kScenarioHelp};
  const CommandLine command = read_command_line(syntax, argc, argv);
  if (!command.run)
    return command.status;
  const std::vector<CommandLineArg>& args = command.args;
  bool device_id = false;
  std::string path;
  for (const CommandLineArg& arg : args) {
    if (arg.id == kDeviceId)
      device_id = true;
    else
      path = arg.value;
  }
  if (device_id == !path.empty())
    return refuse_command_line(
        syntax, device_id ? "--device-id goes without a SOCKET" : "no SOCKET to listen on");

  sim::SimUsb usb;
  sim::ScenarioFiles files;
  std::string error;
  if (!sim::check_scenario_names(sim::scenario_variables_set(), &error) ||
      !sim::configure_from_environment(
          usb, [](const char* n) { return std::getenv(n); }, &files, &error)) {
    std::fprintf(stderr, "flashprep-sim-usbredir: %s\n", error.c_str());
    return 2;
  }
  if (!sim::open_files(usb, files, kProgram))
    return 2;

  if (!sim::UsbredirBoard::servable(usb, &error)) {
    std::fprintf(stderr, "flashprep-sim-usbredir: %s\n", error.c_str());
    return 2;
  }
  if (device_id) {
    // Whoever waits for the board on the other side waits for these IDs.
    uint16_t vendor = 0;
    uint16_t product = 0;
    if (sim::UsbredirBoard::device_id(usb, &vendor, &product) &&
        std::printf("%04x:%04x\n", vendor, product) < 0)
      return 1;
    return 0;
  }

  const int listener = listen_on(path);
  if (listener < 0)
    return 1;
  pollfd waiting = {listener, POLLIN, 0};
  const int conn =
      poll(&waiting, 1, kAcceptTimeoutMs) == 1 ? accept(listener, nullptr, nullptr) : -1;
  close(listener);
  unlink(path.c_str());
  if (conn < 0) {
    std::fprintf(stderr, "flashprep-sim-usbredir: no peer connected to %s\n", path.c_str());
    return 1;
  }

  int status = 0;
  {
    sim::UsbredirBoard board(usb, conn);
    if (!board.start(&error)) {
      std::fprintf(stderr, "flashprep-sim-usbredir: %s\n", error.c_str());
      status = 2;
    } else {
      board.serve();
    }
  }
  close(conn);

  if (!usb.close_trace()) {
    std::fprintf(stderr, "%s: cannot write %s\n", kProgram, files.trace.c_str());
    status = 1;
  }
  const sim::Board& board = usb.board();
  // The state files hold no queue: say here that a reply was left unread,
  // which the next run on a real board would have read first.
  if (board.reply_pending())
    std::fprintf(stderr, "flashprep-sim-usbredir: a reply was left unread on the board\n");
  if (!sim::save_files(board, files, kProgram))
    status = 1;
  return status;
}
