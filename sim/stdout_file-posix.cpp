// stdout_file_bytes() on POSIX: fstat of descriptor 1.
#include <sys/stat.h>
#include <unistd.h>

#include "sim/stdout_file.h"

long sim::stdout_file_bytes() {
  struct stat st = {};
  if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode))
    return -1;
  return static_cast<long>(st.st_size);
}
