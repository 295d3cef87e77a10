#include "run_expectations.h"

#include <cstdio>
#include <sstream>

namespace {

std::string download_lines(uint32_t count, uint32_t low, uint32_t high, const ExchangeOutcome& ok) {
  char summary[160];
  const int first = count ? static_cast<int>((low - 0x20000000u) / 256) : 0;
  const int blocks = count ? static_cast<int>((high - 0x20000000u) / 256) - first + 1 : 0;
  std::snprintf(summary, sizeof summary, "BYTES  : %u\nSTART  : %X\nEND    : %X\nBLOCKS : %d\n",
                count, low, high, blocks);
  std::string out = summary;
  for (int k = first; k < first + blocks; ++k) {
    const bool sent = ok({Exchange::load_block, k, 2});
    out += "BLOCK " + std::to_string(k) + (sent ? " DOWNLOADED\n" : " FAILED\n");
  }
  return out;
}

}  // namespace

std::string expected_download(uint32_t count, uint32_t low, uint32_t high,
                              const std::set<int>& refused) {
  return download_lines(count, low, high,
                        [&](const Exchange& e) { return !refused.count(e.id & 0xFF); });
}

FormatExpectation expected_format_with(const ExchangeOutcome& ok) {
  FormatExpectation e;
  std::vector<int> table(256, -1);
  int fill = 0;
  int next_table = 2528;
  auto write_table = [&] {
    e.tables.push_back({next_table, table});
    if (!ok({Exchange::table_write, next_table, 2}))
      e.lines += "FAIL: WRITING BLOCK " + std::to_string(next_table) + "\n";
    ++next_table;
  };
  auto range = [&](int first, int last) {
    for (int n = first; n <= last; ++n) {
      if (!ok({Exchange::format, n, 4})) {
        e.lines += "FAIL: FORMATTING BLOCK " + std::to_string(n) + "\n";
        continue;
      }
      e.lines += "BLOCK " + std::to_string(n) + " FORMATTED\n";
      table[fill] = n;
      fill = (fill + 1) % 256;
      if (fill == 0)
        write_table();
    }
  };
  range(0, 2527);
  fill = 0;
  write_table();
  range(2560, 4095);
  write_table();
  return e;
}

FormatExpectation expected_format(const std::set<int>& failing,
                                  const std::set<int>& refused_tables) {
  return expected_format_with([&](const Exchange& e) {
    return e.kind == Exchange::format ? !failing.count(e.id) : !refused_tables.count(e.id);
  });
}

std::string expected_run(uint32_t count, uint32_t low, uint32_t high, const ExchangeOutcome& ok) {
  if (!ok({Exchange::identify, 0, 4}))
    return "FAIL: BOOTLOADER NOT PRESENT\n";
  std::string out = download_lines(count, low, high, ok);
  if (!ok({Exchange::init, 0, 2}))
    return out + "FAIL: SERIAL FLASH NOT INITIALIZED\n";
  return out + expected_format_with(ok).lines;
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
