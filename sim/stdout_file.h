// How much the process's standard output holds, for a simulated board that
// notes, at each transfer, how much of the host's output was already out.
#ifndef FLASHPREP_SIM_STDOUT_FILE_H_
#define FLASHPREP_SIM_STDOUT_FILE_H_

namespace sim {

// The size in bytes of the file standard output writes to; -1 when it is no
// regular file (a pipe or a terminal keeps no count) or cannot be asked.
// What the C library still buffers is not counted: only what went out.
long stdout_file_bytes();

}  // namespace sim

#endif  // FLASHPREP_SIM_STDOUT_FILE_H_
