// One fault at every transfer of a whole run, of every kind: the run must
// print exactly what that one failure implies, go on where the steps say it
// goes on, and close the device once. CI runs a fixed sample of transfer
// numbers; FLASHPREP_SWEEP=full (the sweep-full CTest label) runs them all,
// FLASHPREP_SWEEP=full:KIND all of one fault kind (one CTest entry per kind,
// so that the whole sweep spreads over the cores).
#include <algorithm>
#include <cstdlib>

#include "image/srecord_writer.h"
#include "test_support.h"

namespace {

constexpr int kDriverBlocks = 16;

// What the host prints when transfer k fails as `kind`, following its rules:
// the exchange that holds transfer k fails; after an unplug every later
// exchange fails too.
std::string expected_output(long k, sim::Fault kind, std::vector<long>* paced = nullptr) {
  long done = 0;
  bool hit = false;
  bool gone = false;
  return expected_run(
      kDriverBlocks * 256, kRam, kRam + kDriverBlocks * 256 - 1,
      [&](const Exchange& e) {
        const bool holds_k = !hit && k > done && k <= done + e.transfers;
        done += e.transfers;
        if (holds_k) {
          hit = true;
          gone = kind == sim::Fault::unplug;
          return false;
        }
        return !gone;
      },
      paced);
}

// Where each exchange of a healthy run ends, in transfers. A run is the
// healthy one up to its fault, so the exchange that holds transfer k is the
// same whatever the fault; and what the run then prints depends on that
// exchange alone, not on which of its transfers failed: the faults within
// one exchange share one expected run.
std::vector<long> exchange_ends() {
  std::vector<long> ends;
  long done = 0;
  expected_run(kDriverBlocks * 256, kRam, kRam + kDriverBlocks * 256 - 1, [&](const Exchange& e) {
    done += e.transfers;
    ends.push_back(done);
    return true;
  });
  return ends;
}

// What a run with one fault must print, and how its output must grow.
struct Expected {
  std::string out;
  std::vector<long> paced;
};

class FaultSweep : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Bytes driver(kDriverBlocks * 256);
    for (size_t i = 0; i < driver.size(); ++i)
      driver[i] = static_cast<uint8_t>(i * 13 + 7);
    ASSERT_TRUE(dir.write("serial_flash.S19",
                          srecord::data_records(4, kRam, driver.data(), driver.size(), 32)));
  }

  // Runs once with `kind` at transfer k; reports the first broken invariant.
  ::testing::AssertionResult run_with_fault(long k, sim::Fault kind, const Expected& expected) {
    usb().reset();
    usb().record_calls = false;
    usb().inject(k, kind);
    const std::string out = run_in(dir.path());
    const ::testing::AssertionResult same = same_lines(out, expected.out);
    if (!same)
      return same;
    const ::testing::AssertionResult in_time =
        output_kept_pace(usb().output_at_transfer(), expected.paced);
    if (!in_time)
      return in_time;
    if (usb().open_handles() != 0 || usb().close_calls() != 1 || usb().release_calls() != 1)
      return ::testing::AssertionFailure() << "teardown: " << usb().close_calls() << " closes, "
                                           << usb().release_calls() << " releases";
    return ::testing::AssertionSuccess();
  }

  ScratchDir dir;
};

const char* name(sim::Fault kind) {
  switch (kind) {
    case sim::Fault::error:
      return "error";
    case sim::Fault::short_count:
      return "short";
    case sim::Fault::timeout:
      return "timeout";
    case sim::Fault::unplug:
      return "unplug";
    default:
      return "none";
  }
}

TEST_F(FaultSweep, ModelMatchesAHealthyRun) {
  usb().record_calls = false;
  const std::string out = run_in(dir.path());
  EXPECT_TRUE(same_lines(out, expected_output(0, sim::Fault::none)));
  // 4 + 2*16 + 2 + 4*4064 + 2*17
  EXPECT_EQ(usb().transfers(), 16328);
}

TEST_F(FaultSweep, OneFaultAtEachTransfer) {
  usb().record_calls = false;
  run_in(dir.path());
  const long total = usb().transfers();
  const std::string sweep =
      std::getenv("FLASHPREP_SWEEP") != nullptr ? std::getenv("FLASHPREP_SWEEP") : "";
  const bool full = sweep == "full" || sweep.rfind("full:", 0) == 0;
  const std::string only = sweep.rfind("full:", 0) == 0 ? sweep.substr(5) : "";
  std::vector<sim::Fault> kinds;
  for (sim::Fault kind :
       {sim::Fault::error, sim::Fault::short_count, sim::Fault::timeout, sim::Fault::unplug})
    if (only.empty() || only == name(kind))
      kinds.push_back(kind);
  // A misspelt kind must not pass as a sweep of nothing.
  ASSERT_FALSE(kinds.empty()) << "FLASHPREP_SWEEP=" << sweep << ": no such fault kind";
  std::vector<long> ks;
  for (long k = 1; k <= total; ++k) {
    // The sample: every transfer up to the format pass and the first
    // blocks, a stride through the rest, and the table writes at the end.
    if (full || k <= 80 || k % 61 == 0 || k > total - 60)
      ks.push_back(k);
  }
  const std::vector<long> ends = exchange_ends();
  ASSERT_EQ(ends.back(), total);
  int runs = 0;
  int failures = 0;
  for (sim::Fault kind : kinds) {
    Expected expected;
    size_t expected_for = ends.size();  // the exchange `expected` is of; none yet
    for (long k : ks) {
      ++runs;
      const auto exchange =
          static_cast<size_t>(std::lower_bound(ends.begin(), ends.end(), k) - ends.begin());
      if (exchange != expected_for) {
        expected.out = expected_output(k, kind, &expected.paced);
        expected_for = exchange;
      }
      const ::testing::AssertionResult r = run_with_fault(k, kind, expected);
      if (!r) {
        ADD_FAILURE() << name(kind) << " at transfer " << k << ": " << r.message();
        if (++failures >= 10)
          return;
      }
    }
  }
  RecordProperty("runs", runs);
  std::printf("fault sweep: %d runs over %zu of %ld transfers, %zu fault kind%s\n", runs, ks.size(),
              total, kinds.size(), kinds.size() == 1 ? "" : "s");
}

}  // namespace
