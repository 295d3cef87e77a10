// flashprep: prepares the serial flash of the attached board. Takes no
// arguments and reads serial_flash.S19 from the working directory.
#include <iostream>

#include "app/flashprep_run.h"
#include "app/interrupt.h"

int main() {
  const int interrupt = run_flashprep(std::cout);
  if (interrupt != 0)
    end_by_interrupt(interrupt);
  // Not stopped, so a failing stream is output that was lost (a full disk,
  // /dev/full): said once where it can still be seen. The status stays 0.
  if (!std::cout.flush())
    std::cerr << "flashprep: cannot write standard output" << std::endl;
  return 0;
}
