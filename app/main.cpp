// flashprep: prepares the serial flash of the attached board. Takes no
// arguments and reads serial_flash.S19 from the working directory.
#include <iostream>

#include "app/flashprep_run.h"

int main() {
  return run_flashprep(std::cout);
}
