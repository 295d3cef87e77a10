// Windows: the C runtime's _isatty(); a console ends input at Ctrl-Z, Enter.
#include <io.h>

#include <cstdio>

#include "summary/terminal.h"

const char kEndOfInputKeys[] = "Ctrl-Z, Enter";

bool standard_input_is_terminal() {
  return _isatty(_fileno(stdin)) != 0;
}
