#include "run_expectations.h"

#include <cstdio>
#include <sstream>
#include <utility>

#include "board/board_facts.h"

namespace {

// One pass of the oracle over a run: asks for each exchange's outcome in run
// order and collects the lines. A run asked to stop makes no exchange after
// the one in flight and writes nothing more; `stop_before` (may be empty) is
// asked before each exchange whether the run stops there.
class Pass {
 public:
  Pass(ExchangeOutcome ok, ExchangeOutcome stop_before)
      : ok_(std::move(ok)), stop_before_(std::move(stop_before)) {}

  // Whether the exchange succeeds; false for one the run no longer makes.
  // `before` is what the run writes just before the request starts (unless
  // it stops there); what is out by then is noted for that request.
  bool make(const Exchange& e, const std::string& before = {}) {
    if (!stopped_ && stop_before_ && stop_before_(e))
      stopped_ = true;
    if (stopped_)
      return false;
    text_ += before;
    out_at_requests_.push_back(static_cast<long>(text_.size()));
    return ok_(e);
  }
  void write(const std::string& lines) {
    if (!stopped_)
      text_ += lines;
  }
  bool stopped() const { return stopped_; }
  const std::string& text() const { return text_; }
  const std::vector<long>& out_at_requests() const { return out_at_requests_; }

 private:
  ExchangeOutcome ok_;
  ExchangeOutcome stop_before_;
  bool stopped_ = false;
  std::string text_;
  std::vector<long> out_at_requests_;
};

void download_lines(Pass& pass, uint32_t count, uint32_t low, uint32_t high) {
  char summary[160];
  const int first = count ? static_cast<int>((low - kDriverRamFirst) / kBlockBytes) : 0;
  const int blocks =
      count ? static_cast<int>((high - kDriverRamFirst) / kBlockBytes) - first + 1 : 0;
  std::snprintf(summary, sizeof summary, "BYTES  : %u\nSTART  : %X\nEND    : %X\nBLOCKS : %d\n",
                count, low, high, blocks);
  if (blocks == 0)
    pass.write(summary);
  for (int k = first; k < first + blocks; ++k) {
    // The summary is out before the first block's request starts.
    const bool sent = pass.make({Exchange::load_block, k, 2}, k == first ? summary : "");
    pass.write("BLOCK " + std::to_string(k) + (sent ? " DOWNLOADED\n" : " FAILED\n"));
  }
}

FormatExpectation format_lines(Pass& pass) {
  FormatExpectation e;
  std::vector<int> table(256, -1);
  int fill = 0;
  int next_table = format_layout::kFirstTableBlock;
  auto write_table = [&] {
    const bool written = pass.make({Exchange::table_write, next_table, 2});
    if (!pass.stopped())
      e.tables.push_back({next_table, table});
    if (!written)
      pass.write("FAIL: WRITING BLOCK " + std::to_string(next_table) + "\n");
    ++next_table;
  };
  auto range = [&](int first, int last) {
    for (int n = first; n <= last; ++n) {
      if (!pass.make({Exchange::format, n, 4})) {
        pass.write("FAIL: FORMATTING BLOCK " + std::to_string(n) + "\n");
        continue;
      }
      pass.write("BLOCK " + std::to_string(n) + " FORMATTED\n");
      table[fill] = n;
      fill = (fill + 1) % 256;
      if (fill == 0)
        write_table();
    }
  };
  range(0, format_layout::kFirstRangeEnd);
  fill = 0;
  write_table();
  range(format_layout::kSecondRangeFirst, format_layout::kLastBlock);
  write_table();
  e.lines = pass.text();
  return e;
}

void run_lines(Pass& pass, uint32_t count, uint32_t low, uint32_t high) {
  if (!pass.make({Exchange::identify, 0, 4})) {
    pass.write("FAIL: BOOTLOADER NOT PRESENT\n");
    return;
  }
  download_lines(pass, count, low, high);
  if (!pass.make({Exchange::init, 0, 2})) {
    pass.write("FAIL: SERIAL FLASH NOT INITIALIZED\n");
    return;
  }
  format_lines(pass);
}

}  // namespace

std::string expected_download(uint32_t count, uint32_t low, uint32_t high,
                              const std::set<int>& refused) {
  const ExchangeOutcome ok = [&](const Exchange& e) { return !refused.count(e.id & 0xFF); };
  Pass pass(ok, nullptr);
  download_lines(pass, count, low, high);
  return pass.text();
}

FormatExpectation expected_format_with(const ExchangeOutcome& ok) {
  Pass pass(ok, nullptr);
  return format_lines(pass);
}

FormatExpectation expected_format(const std::set<int>& failing,
                                  const std::set<int>& refused_tables) {
  return expected_format_with([&](const Exchange& e) {
    return e.kind == Exchange::format ? !failing.count(e.id) : !refused_tables.count(e.id);
  });
}

std::string expected_run(uint32_t count, uint32_t low, uint32_t high, const ExchangeOutcome& ok,
                         std::vector<long>* out_at_requests) {
  Pass pass(ok, nullptr);
  run_lines(pass, count, low, high);
  if (out_at_requests != nullptr)
    *out_at_requests = pass.out_at_requests();
  return pass.text();
}

std::string expected_stopped_run(uint32_t count, uint32_t low, uint32_t high, long k,
                                 long* transfers, std::vector<long>* out_at_requests) {
  long done = 0;
  const ExchangeOutcome all = [](const Exchange&) { return true; };
  const ExchangeOutcome stop_before = [&](const Exchange& e) {
    if (done >= k)
      return true;
    done += e.transfers;
    return false;
  };
  Pass pass(all, stop_before);
  run_lines(pass, count, low, high);
  *transfers = done;
  if (out_at_requests != nullptr)
    *out_at_requests = pass.out_at_requests();
  return pass.text();
}

::testing::AssertionResult output_kept_pace(const std::vector<long>& at_transfers,
                                            const std::vector<long>& at_requests) {
  // Output grows only between exchanges, so each amount stands for a run of
  // transfers; compare the amounts in the order they appeared.
  const auto steps = [](const std::vector<long>& v) {
    std::vector<std::pair<long, size_t>> out;  // amount, first index holding it
    for (size_t i = 0; i < v.size(); ++i)
      if (out.empty() || out.back().first != v[i])
        out.emplace_back(v[i], i);
    return out;
  };
  const auto got = steps(at_transfers);
  const auto want = steps(at_requests);
  for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
    if (i < got.size() && i < want.size() && got[i].first == want[i].first)
      continue;
    ::testing::AssertionResult r = ::testing::AssertionFailure();
    if (i < got.size())
      r << "at transfer " << got[i].second + 1 << " " << got[i].first << " bytes were out";
    else
      r << "the output stopped growing after " << (got.empty() ? 0 : got.back().first) << " bytes";
    if (i < want.size())
      r << "; expected " << want[i].first << " bytes as request " << want[i].second + 1
        << " started";
    else
      r << "; expected no more";
    return r;
  }
  return ::testing::AssertionSuccess();
}

uint8_t block_sum(const uint8_t* block) {
  uint8_t sum = 0;
  for (int i = 0; i < 256; ++i)
    sum = static_cast<uint8_t>(sum + block[i]);
  return sum;
}

::testing::AssertionResult same_lines(const std::string& actual, const std::string& expected) {
  if (actual == expected)
    return ::testing::AssertionSuccess();
  std::istringstream a(actual);
  std::istringstream e(expected);
  std::string la;
  std::string le;
  for (int line = 1;; ++line) {
    const bool more_a = static_cast<bool>(std::getline(a, la));
    const bool more_e = static_cast<bool>(std::getline(e, le));
    if (!more_a || !more_e || la != le) {
      return ::testing::AssertionFailure()
             << "line " << line << ": got '" << (more_a ? la : "<end>") << "', expected '"
             << (more_e ? le : "<end>") << "'";
    }
  }
}
