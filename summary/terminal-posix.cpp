// POSIX: isatty() on descriptor 0; a terminal ends input at Ctrl-D.
#include <unistd.h>

#include "summary/terminal.h"

const char kEndOfInputKeys[] = "Ctrl-D";

bool standard_input_is_terminal() {
  return isatty(STDIN_FILENO) == 1;
}
