// Runs a program as a child process with extra environment variables, in a
// given folder, and collects its standard output, exit status and wall time.
#ifndef FLASHPREP_TESTS_E2E_PROCESS_H_
#define FLASHPREP_TESTS_E2E_PROCESS_H_

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  int exit_status = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
  double seconds = 0;
};

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& dir,
                          const std::map<std::string, std::string>& env);

#endif  // FLASHPREP_TESTS_E2E_PROCESS_H_
