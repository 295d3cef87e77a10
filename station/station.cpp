#include "station/station.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <thread>

#include "app/flashprep_run.h"
#include "app/interrupt.h"
#include "station/board_run.h"
#include "station/results_file.h"
#include "station/run_record.h"
#include "station/station_view.h"

namespace {

// The processes are looked at this often; the logs are read and the view
// drawn every kDrawTicks of them (4 times a second), which costs little
// next to a board's own pace.
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr int kDrawTicks = 5;

}  // namespace

int run_board(const UsbPlace& place) {
  return run_flashprep(std::cout, place);
}

bool open_station_outputs(const StationOptions& options, ResultsFile* results) {
  std::error_code error;
  std::filesystem::create_directories(options.logs, error);
  if (error) {
    std::cerr << "flashprep-station: cannot create " << options.logs << ": " << error.message()
              << "\n";
    return false;
  }
  std::string why;
  if (!options.results.empty() && !results->open(options.results, &why)) {
    std::cerr << "flashprep-station: " << why << "\n";
    return false;
  }
  return true;
}

int run_station(const StationOptions& options, std::ostream& out, int* request) {
  // Before the boards are listed, so that no request is lost in between.
  InterruptHandlers interrupts;
  *request = 0;
  int columns = 80;
  StationView view(out, output_is_terminal(&columns), columns);

  std::deque<BoardRun> boards;
  for (BoardSlot& slot : list_boards()) {
    const std::string log = (std::filesystem::path(options.logs) / (slot.name + ".log")).string();
    boards.emplace_back(std::move(slot), log);
  }
  if (boards.empty()) {
    out << "NO BOARD FOUND" << std::endl;
    *request = interrupt_request();
    return kNoBoardOrUsage;
  }
  ResultsFile results;
  if (!open_station_outputs(options, &results)) {
    *request = interrupt_request();
    return kNoBoardOrUsage;
  }
  const auto done = [&](BoardRun& board, StationClock::time_point now) {
    board.finish(now);
    view.finished(board);
    record_run(results, board, options.version);
  };

  for (const BoardRun& board : boards)
    view.found(board);
  std::string why;
  for (BoardRun& board : boards) {
    board.begin();
    why.clear();
    if (interrupt_requested()) {
      why = "stopped before it started";
    } else if (board.process.start({options.program, kRunBoardOption, board.slot.place.bus,
                                    board.slot.place.device},
                                   board.log_path, &why)) {
      board.started = true;
      view.started(board);
      continue;
    }
    std::cerr << "flashprep-station: " << board.slot.name << ": " << why << "\n";
    view.not_started(board, why);
    done(board, board.start_time);
  }

  bool forwarded = false;
  for (int tick = 0;; ++tick) {
    const StationClock::time_point now = StationClock::now();
    if (interrupt_requested() && !forwarded) {
      forwarded = true;
      view.stopping(interrupt_request());
      for (BoardRun& board : boards)
        board.process.stop(interrupt_request());
    }
    bool all_done = true;
    for (BoardRun& board : boards) {
      if (board.finished)
        continue;
      if (board.process.ended()) {
        done(board, now);
      } else {
        all_done = false;
        if (tick % kDrawTicks == 0)
          board.follow(now);
      }
    }
    if (all_done)
      break;
    if (tick % kDrawTicks == 0)
      view.draw(boards, now);
    std::this_thread::sleep_for(kTick);
  }
  view.close(boards, StationClock::now());

  *request = interrupt_request();
  const bool all_ready = std::all_of(boards.begin(), boards.end(), [](const BoardRun& board) {
    return board.verdict.exit_status == 0;
  });
  return all_ready ? kAllReady : kSomeNotReady;
}
