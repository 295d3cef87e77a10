// flashprep: prepares the serial flash of the attached board. Takes no
// arguments and reads serial_flash.S19 from the working directory.
#include <iostream>

#include "app/flashprep_run.h"
#include "app/interrupt.h"

int main() {
  const int interrupt = run_flashprep(std::cout);
  if (interrupt != 0)
    end_by_interrupt(interrupt);
  return 0;
}
