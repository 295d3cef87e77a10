// Shared helpers of the tests: a fixture that gives each test a fresh
// simulated bus, byte-vector builders and a scratch folder.
#ifndef FLASHPREP_TESTS_TEST_SUPPORT_H_
#define FLASHPREP_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "run_expectations.h"
#include "sim/sim_usb.h"

using Bytes = std::vector<uint8_t>;

// Each test starts with one healthy board alone on the bus.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::world().reset(); }
  sim::SimUsb& usb() { return sim::world(); }
  sim::Board& board(int i = 0) { return sim::world().board(i); }
};

// The bulk transfers of the call log, in order.
std::vector<sim::CallRecord> transfers();

// Adds blocks first..last to a block set of the board's configuration.
inline void sim_range(std::set<int>& s, int first, int last) {
  for (int b = first; b <= last; ++b)
    s.insert(b);
}

// A header transfer for a body of n bytes.
Bytes header(uint16_t n);

// A fresh empty folder under the build's temporary directory; removed with
// its contents by the destructor.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

// Runs the whole program in-process with `dir` as the working directory and
// returns everything it wrote; usb().output_at_transfer() then says how much
// of it was out as each transfer started. Expects the run's result `expected`: 0, or the
// signal that stopped it.
std::string run_in(const std::string& dir, int expected = 0);

#endif  // FLASHPREP_TESTS_TEST_SUPPORT_H_
