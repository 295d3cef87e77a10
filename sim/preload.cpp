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
#include <vector>

#include "sim/board_folder.h"
#include "sim/environment.h"
#include "sim/scenario.h"
#include "sim/scenario_names.h"
#include "sim/stdout_file.h"

namespace {

class PreloadedBoard {
 public:
  PreloadedBoard() {
    if (std::getenv("FLASHPREP_SIM_HELP") != nullptr) {
      std::fputs(sim::kScenarioHelp, stdout);
      (void)std::fflush(stdout);  // best effort: the help comes before the run's own lines
    }
    // Every setting is checked here, before the program's main() runs: a
    // bad one stops the process with one message, no run made.
    std::string error;
    if (!sim::check_scenario_names(sim::scenario_variables_set(), &error) ||
        !sim::configure_from_environment(
            sim::world(), [](const char* n) { return std::getenv(n); }, &files_, &error)) {
      std::fprintf(stderr, "flashprep-sim: %s\n", error.c_str());
      std::_Exit(2);
    }
    if (!files_.boards.empty()) {
      // The folder's boards take the bus's place; the environment's own
      // board (and its files) stays unused.
      // A board whose file cannot be used ends the process that opens it, as
      // a bad setting in the environment does, before anything reaches the
      // board: a run made on settings other than those written is worth
      // nothing, and whoever started the process learns why from its status
      // and its one line.
      folder_ = std::make_unique<sim::BoardFolder>(
          files_.boards, [](const char* n) { return std::getenv(n); }, kProgram,
          [](const std::string& file, const std::string& why) {
            std::fprintf(stderr, "%s: %s: %s\n", kProgram, file.c_str(), why.c_str());
            (void)std::fflush(stderr);  // _Exit flushes nothing
            std::_Exit(2);
          });
      sim::use_folder(folder_.get());
      return;
    }
    if (!sim::open_files(sim::world(), files_, kProgram))
      std::_Exit(2);
    if (sim::stdout_file_bytes() >= 0)
      sim::world().note_output(sim::stdout_file_bytes);
    sim::world().when_closed([this] {
      sim::world().flush_trace();
      sim::save_files(sim::world().board(), files_, kProgram);
      save_output_record();
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
    save_output_record();
  }

 private:
  // stdout-bytes.txt in the state folder: the bytes standard output held as
  // each transfer started, one line per transfer (only when it is a file).
  void save_output_record() const {
    const std::vector<long>& sizes = sim::world().output_at_transfer();
    if (files_.state.empty() || sizes.empty())
      return;
    const std::string path = files_.state + "/stdout-bytes.txt";
    FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    if (ok) {
      for (const long size : sizes)
        (void)std::fprintf(f, "%ld\n", size);  // a failure shows in ferror below
      ok = std::ferror(f) == 0;
      ok = std::fclose(f) == 0 && ok;
    }
    if (!ok)
      std::fprintf(stderr, "%s: cannot write %s\n", kProgram, path.c_str());
  }

  static constexpr const char* kProgram = "flashprep-sim";
  sim::ScenarioFiles files_;
  std::unique_ptr<sim::BoardFolder> folder_;
};

// Set up when the library loads, before flashprep's main(); a failure there
// (out of memory) may as well end the process.
PreloadedBoard preloaded_board;  // NOLINT(cert-err58-cpp)

}  // namespace
