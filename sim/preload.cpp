// Set-up of the simulated board inside a process that loaded it in place of
// libusb (Linux: preloaded by flashprep-sim; Windows: as the libusb0.dll
// beside the program): the scenario comes from the environment when the
// library loads, and the board's state is written out when the host closes
// the board and again when the process exits (a process ended by a signal
// only gets the first). Both systems run a library's static constructors and
// destructors at load and exit, so this one file serves both.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sim/board_folder.h"
#include "sim/scenario.h"

namespace {

class PreloadedBoard {
 public:
  PreloadedBoard() {
    if (std::getenv("FLASHPREP_SIM_HELP") != nullptr) {
      std::fputs(sim::kScenarioHelp, stdout);
      (void)std::fflush(stdout);  // best effort: the help comes before the run's own lines
    }
    std::string error;
    if (!sim::configure_from_environment(
            sim::world(), [](const char* n) { return std::getenv(n); }, &files_, &error)) {
      std::fprintf(stderr, "flashprep-sim: %s\n", error.c_str());
      std::_Exit(2);
    }
    if (!files_.boards.empty()) {
      // The folder's boards take the bus's place; the environment's own
      // board (and its files) stays unused.
      folder_ = std::make_unique<sim::BoardFolder>(
          files_.boards, [](const char* n) { return std::getenv(n); }, kProgram);
      sim::use_folder(folder_.get());
      return;
    }
    if (!sim::open_files(sim::world(), files_, kProgram))
      std::_Exit(2);
    sim::world().when_closed([this] {
      sim::world().flush_trace();
      sim::save_files(sim::world().board(), files_, kProgram);
    });
  }

  ~PreloadedBoard() {
    if (folder_ != nullptr) {
      sim::use_folder(nullptr);
      folder_.reset();  // saves the boards still held
      return;
    }
    if (!sim::world().close_trace())
      std::fprintf(stderr, "%s: cannot write %s\n", kProgram, files_.trace.c_str());
    sim::save_files(sim::world().board(), files_, kProgram);
  }

 private:
  static constexpr const char* kProgram = "flashprep-sim";
  sim::ScenarioFiles files_;
  std::unique_ptr<sim::BoardFolder> folder_;
};

// Set up when the library loads, before flashprep's main(); a failure there
// (out of memory) may as well end the process.
PreloadedBoard preloaded_board;  // NOLINT(cert-err58-cpp)

}  // namespace
