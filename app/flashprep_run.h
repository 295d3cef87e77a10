// The whole run of flashprep, from finding the board to the last formatted
// block. Writes every line to `out`; the run stops at the first preparatory
// step that fails, after writing that step's FAIL line.
#ifndef FLASHPREP_APP_FLASHPREP_RUN_H_
#define FLASHPREP_APP_FLASHPREP_RUN_H_

#include <ostream>

// Always returns 0: scripts read the lines, not the exit status.
int run_flashprep(std::ostream& out);

#endif  // FLASHPREP_APP_FLASHPREP_RUN_H_
