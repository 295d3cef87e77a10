#include "run_expectations.h"

#include <cstdio>

std::string expected_download(uint32_t count, uint32_t low, uint32_t high,
                              const std::set<int>& refused) {
  char summary[160];
  const int first = count ? static_cast<int>((low - 0x20000000u) / 256) : 0;
  const int blocks = count ? static_cast<int>((high - 0x20000000u) / 256) - first + 1 : 0;
  std::snprintf(summary, sizeof summary,
                "BYTES  : %u\nSTART  : %X\nEND    : %X\nBLOCKS : %d\n", count, low, high, blocks);
  std::string out = summary;
  for (int k = first; k < first + blocks; ++k)
    out += "BLOCK " + std::to_string(k) + (refused.count(k & 0xFF) ? " FAILED\n" : " DOWNLOADED\n");
  return out;
}

FormatExpectation expected_format(const std::set<int>& failing,
                                  const std::set<int>& refused_tables) {
  FormatExpectation e;
  std::vector<int> table(256, -1);
  int fill = 0;
  int next_table = 2528;
  auto write_table = [&] {
    e.tables.push_back({next_table, table});
    if (refused_tables.count(next_table))
      e.lines += "FAIL: WRITING BLOCK " + std::to_string(next_table) + "\n";
    ++next_table;
  };
  auto range = [&](int first, int last) {
    for (int n = first; n <= last; ++n) {
      if (failing.count(n)) {
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

uint8_t block_sum(const uint8_t* block) {
  uint8_t sum = 0;
  for (int i = 0; i < 256; ++i)
    sum = static_cast<uint8_t>(sum + block[i]);
  return sum;
}
