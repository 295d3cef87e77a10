// stdout_file_bytes() on Windows: the C runtime's _fstat64 of its stdout.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>

#include "sim/stdout_file.h"

long sim::stdout_file_bytes() {
  struct _stat64 st = {};
  if (_fstat64(_fileno(stdout), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)
    return -1;
  return static_cast<long>(st.st_size);
}
