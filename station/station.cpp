// The station in one pass: the boards plugged in at the start, each prepared
// once, then the station ends.
#include "station/station.h"

#include <iostream>

#include "app/flashprep_run.h"
#include "app/interrupt.h"
#include "station/board_pool.h"
#include "station/board_room.h"
#include "station/journal.h"
#include "station/log_output.h"
#include "station/run_pool.h"

int run_board(const UsbPlace& place, int* request) {
  LogOutput log;
  bool busy = false;
  *request = run_flashprep(log.stream(), place, &busy);
  if (busy && *request == 0)
    return kBoardBusyStatus;
  // Stopped, the run left its stream set to fail on purpose: what was
  // written before the stop is what counts.
  if (!log.flush() && log.failure() != LogFailure::none) {
    // Said where it can be (standard error may sit on the same full disk);
    // the exit status tells the station in any case.
    std::cerr << "flashprep-station: the log was not written whole: "
              << log_failure_text(log.failure()) << std::endl;
    return board_exit_status(log.failure());
  }
  return 0;
}

int run_station(const StationOptions& options, std::ostream& out, int* request) {
  // Before the boards are listed, so that no request is lost in between; a
  // second one is recorded, so that every board still gets its record.
  InterruptHandlers interrupts(/*record_second=*/true);
  *request = 0;
  StationView view(out, output_is_terminal(), /*watching=*/false, output_is_journal());
  BoardPool pool(options, view);
  std::string why;
  std::vector<BusUse> buses;
  const std::vector<Plug> plugs = plugs_now(&buses);
  if (plugs.empty()) {
    out << "NO BOARD FOUND" << std::endl;
    if (!out)
      std::cerr << "flashprep-station: cannot write standard output" << std::endl;
    *request = interrupt_request();
    return kCannotRun;
  }
  // Every board or none: a pass that could start only some of them would
  // leave the others to a second station run on the same bench.
  const int boards = static_cast<int>(plugs.size());
  int cannot = pool.prepare(&why);
  if (cannot == 0 && room_for_boards(boards, 0, &why) < boards)
    cannot = kCannotRun;
  if (cannot != 0) {
    std::cerr << "flashprep-station: " << why << std::endl;
    *request = interrupt_request();
    return cannot;
  }

  // Boards plugged into a full bus are not among those found: say so.
  view.buses(buses);
  for (const Plug& plug : plugs)
    view.found(plug.name);
  // A board that cannot be started is not left unrecorded: it is finished
  // NOT READY at once.
  for (const Plug& plug : plugs) {
    if (interrupt_requested())
      pool.refuse(plug, "stopped before it started");
    else if (pool.start(plug, /*record_refusal=*/true, &why) == BoardPool::Start::busy)
      pool.count_busy();
  }

  return run_pool(pool, view, PoolLoop(), request);
}
