// Room for boards on Windows: the station reads each running board's log
// through a C runtime stream (std::ifstream), and the runtime holds
// _getmaxstdio() of them at once (512 unless raised; _setmaxstdio() raises it
// up to the runtime's own most). The boards' processes and their handles
// meet no limit of their own.
#include <cstdio>

#include "station/board_room.h"

namespace {

// The standard input, output and error.
constexpr int kStandardStreams = 3;

}  // namespace

int room_for_boards(int wanted, int running, std::string* why) {
  if (wanted <= 0)
    return 0;
  const int used = kStandardStreams + running * kFilesPerBoard + kSpareFiles;
  const int need = used + wanted * kFilesPerBoard;
  if (need <= _getmaxstdio() || _setmaxstdio(need) != -1)
    return wanted;
  const int allowed = _getmaxstdio();
  *why = std::to_string(running + wanted) + " boards at once need " + std::to_string(need) +
         " C runtime streams; the runtime allows this station " + std::to_string(allowed);
  const int room = (allowed - used) / kFilesPerBoard;
  return room < 0 ? 0 : room < wanted ? room : wanted;
}
