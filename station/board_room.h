// Room for boards: whether the system lets the station run more boards at
// once, counted before any of them is started, so that a board is never
// started half (its process up but its log unread, or its log made but no
// process) when the station has reached one of the system's limits.
//
// What a running board costs the station: its process, with the thread in
// it that watches for the station's end (the system counts each as a
// process of the user), and the files the station keeps open for it (its
// log, read as it grows; on POSIX also its claim's lock, its run's note for
// a recovery and the pipe to its process's input, which are handles, not
// streams, on Windows; the board's own files are its process's). Besides them the station needs a
// few files open for a moment (a new board's log and error file, the listing of the buses, the
// results file): kSpareFiles.
//
// The limits counted: on Linux the process's open files (RLIMIT_NOFILE) and
// the processes of its user (RLIMIT_NPROC, which the system does not apply
// to root or to a process allowed to exceed it, nor does the count then); on
// Windows the C runtime's streams, through which the station reads the logs
// (_getmaxstdio()). A soft limit too low for the boards is raised up to the
// hard one first; what the hard one does not hold is refused.
#ifndef FLASHPREP_STATION_BOARD_ROOM_H_
#define FLASHPREP_STATION_BOARD_ROOM_H_

#include <string>

#ifdef _WIN32
constexpr int kFilesPerBoard = 1;
#else
constexpr int kFilesPerBoard = 4;
#endif
constexpr int kTasksPerBoard = 2;
constexpr int kSpareFiles = 16;

// How many of `wanted` more boards may start beside the `running` ones (0 to
// `wanted`). Raises the soft limits as far as those boards need, never
// further. When fewer than `wanted` fit, `why` names the limit and its
// numbers ("120 boards at once need 139 open files; the system allows this
// station 100 (RLIMIT_NOFILE)").
int room_for_boards(int wanted, int running, std::string* why);

#endif  // FLASHPREP_STATION_BOARD_ROOM_H_
