// flashprep-sim-report STATE_DIR: reads back what a simulated run left on the
// board (see FLASHPREP_SIM_STATE) and reports blocks formatted, checksum
// table blocks written, and whether every table entry matches its block.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/board.h"

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  size_t n = std::fread(out->data(), 1, out->size(), f);
  std::fclose(f);
  return n == out->size();
}

uint8_t block_sum(const uint8_t* block) {
  uint8_t sum = 0;
  for (int i = 0; i < sim::kBlockBytes; ++i)
    sum = static_cast<uint8_t>(sum + block[i]);
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: flashprep-sim-report STATE_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<uint8_t> flash(sim::kFlashBlocks * sim::kBlockBytes);
  FILE* events = std::fopen((dir + "/events.txt").c_str(), "r");
  if (!read_file(dir + "/flash.bin", &flash) || events == nullptr) {
    std::fprintf(stderr, "flashprep-sim-report: no board state in %s\n", dir.c_str());
    if (events != nullptr)
      std::fclose(events);
    return 2;
  }
  // Replay the host's table rule over the driver's log: each answered format
  // fills the next table entry; a write stores the table, and a write made
  // before the table was full ends a range, so filling starts over.
  int driver_blocks = 0;
  int formatted = 0;
  int weak = 0;  // formatted blocks that did not read back all 0xFF
  std::vector<int> tables;
  std::vector<int> entry_block(sim::kBlockBytes, -1);  // block whose sum each entry holds
  int fill = 0;
  int checked = 0;
  int mismatched = 0;
  char kind[16];
  int block = 0;
  char line[64];
  while (std::fgets(line, sizeof line, events) != nullptr) {
    if (std::sscanf(line, "driver_blocks %d", &driver_blocks) == 1)
      continue;
    if (std::sscanf(line, "%15s %d", kind, &block) != 2 || block < 0 || block >= sim::kFlashBlocks)
      continue;
    if (std::strcmp(kind, "format") == 0) {
      ++formatted;
      const uint8_t* cells = &flash[block * sim::kBlockBytes];
      weak += std::any_of(cells, cells + sim::kBlockBytes, [](uint8_t c) { return c != 0xFF; });
      entry_block[fill] = block;
      fill = (fill + 1) % sim::kBlockBytes;
    } else if (std::strcmp(kind, "write") == 0) {
      tables.push_back(block);
      const uint8_t* table = &flash[block * sim::kBlockBytes];
      for (int e = 0; e < sim::kBlockBytes; ++e) {
        if (entry_block[e] < 0)
          continue;
        ++checked;
        if (table[e] != block_sum(&flash[entry_block[e] * sim::kBlockBytes]))
          ++mismatched;
      }
      fill = 0;
    }
  }
  std::fclose(events);

  std::printf("SIMULATED BOARD REPORT\n");
  std::printf("driver blocks loaded : %d\n", driver_blocks);
  std::printf("blocks formatted     : %d\n", formatted);
  std::printf("  with weak cells    : %d\n", weak);
  std::printf("table blocks written : %zu", tables.size());
  if (!tables.empty())
    std::printf(" (%d to %d)", tables.front(), tables.back());
  std::printf("\ntable entries checked: %d, mismatched: %d\n", checked, mismatched);
  if (checked == 0)
    std::printf("tables hold no entry to check\n");
  else
    std::printf("tables %s\n", mismatched == 0 ? "MATCH the blocks" : "DO NOT MATCH");
  return mismatched == 0 ? 0 : 1;
}
