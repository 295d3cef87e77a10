// flashprep-sim-report STATE_DIR: reads back what a simulated run left on the
// board (see FLASHPREP_SIM_STATE) and reports blocks formatted, checksum
// table blocks written, and whether every table entry matches its block.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/board.h"
#include "util/command_line.h"

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  size_t n = std::fread(out->data(), 1, out->size(), f);
  (void)std::fclose(f);  // read only: closing cannot lose anything
  return n == out->size();
}

uint8_t block_sum(const uint8_t* block) {
  uint8_t sum = 0;
  for (int i = 0; i < sim::kBlockBytes; ++i)
    sum = static_cast<uint8_t>(sum + block[i]);
  return sum;
}

// A line of events.txt: "driver_blocks N", "init" or "KIND BLOCK". False for
// "init" and for anything that is not a word, a space and a number.
bool parse_event(const char* line, std::string* kind, long* value) {
  const char* space = std::strchr(line, ' ');
  if (space == nullptr)
    return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(space + 1, &end, 10);
  if (end == space + 1 || errno != 0 || (*end != '\n' && *end != '\0'))
    return false;
  kind->assign(line, space);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const ProgramSyntax syntax = {
      "flashprep-sim-report",
      {"STATE_DIR"},
      1,
      "Reads the board state that a run on the simulated board left in STATE_DIR\n"
      "(FLASHPREP_SIM_STATE=STATE_DIR: ram.bin, flash.bin, events.txt) and reports\n"
      "the driver blocks loaded, the flash blocks formatted, the checksum table\n"
      "blocks written, and whether every table entry holds the sum of its block.\n"
      "Exit status: 0 when the tables match, 1 when they do not, 2 for a bad\n"
      "command line or a STATE_DIR without a board state.\n"};
  const CommandLine command = read_command_line(syntax, argc, argv);
  if (!command.run)
    return command.status;
  const std::vector<CommandLineArg>& args = command.args;
  if (args.empty())
    return refuse_command_line(syntax, "no STATE_DIR to read");
  const std::string dir = args[0].value;
  std::vector<uint8_t> flash(size_t{sim::kFlashBlocks} * sim::kBlockBytes);
  auto block_at = [&flash](int block) { return &flash[size_t(block) * sim::kBlockBytes]; };
  FILE* events = std::fopen((dir + "/events.txt").c_str(), "r");
  if (!read_file(dir + "/flash.bin", &flash) || events == nullptr) {
    std::fprintf(stderr, "flashprep-sim-report: no board state in %s\n", dir.c_str());
    if (events != nullptr)
      (void)std::fclose(events);  // read only
    return 2;
  }
  // Replay the host's table rule over the driver's log: each answered format
  // fills the next table entry; a write stores the table, and a write made
  // before the table was full ends a range, so filling starts over. An init
  // starts a new run's pass: a board that served several runs (one stopped
  // half-way, say) is judged by the tables each run wrote for itself.
  int driver_blocks = 0;
  int formatted = 0;
  int weak = 0;  // formatted blocks that did not read back all 0xFF
  std::vector<int> tables;
  std::vector<int> entry_block(sim::kBlockBytes, -1);  // block whose sum each entry holds
  int fill = 0;
  int checked = 0;
  int mismatched = 0;
  std::string kind;
  long value = 0;
  char line[64];
  while (std::fgets(line, sizeof line, events) != nullptr) {
    if (std::strcmp(line, "init\n") == 0) {
      // A new run on the same board: its tables start over.
      std::fill(entry_block.begin(), entry_block.end(), -1);
      fill = 0;
      continue;
    }
    if (!parse_event(line, &kind, &value))
      continue;
    if (kind == "driver_blocks") {
      driver_blocks = static_cast<int>(value);
      continue;
    }
    if (value < 0 || value >= sim::kFlashBlocks)
      continue;
    const int block = static_cast<int>(value);
    if (kind == "format") {
      ++formatted;
      const uint8_t* cells = block_at(block);
      weak += std::any_of(cells, cells + sim::kBlockBytes, [](uint8_t c) { return c != 0xFF; });
      entry_block[fill] = block;
      fill = (fill + 1) % sim::kBlockBytes;
    } else if (kind == "write") {
      tables.push_back(block);
      const uint8_t* table = block_at(block);
      for (int e = 0; e < sim::kBlockBytes; ++e) {
        if (entry_block[e] < 0)
          continue;
        ++checked;
        if (table[e] != block_sum(block_at(entry_block[e])))
          ++mismatched;
      }
      fill = 0;
    }
  }
  (void)std::fclose(events);  // read only

  std::printf("SIMULATED BOARD REPORT\n");
  std::printf("driver blocks loaded : %d\n", driver_blocks);
  std::printf("blocks formatted     : %d\n", formatted);
  std::printf("  with weak cells    : %d (bits that no longer erase read back as 0)\n", weak);
  std::printf("table blocks written : %zu", tables.size());
  if (!tables.empty())
    std::printf(" (%d to %d)", tables.front(), tables.back());
  std::printf("\ntable entries checked: %d, mismatched: %d\n", checked, mismatched);
  if (checked > formatted)
    std::printf(
        "  (each table is checked whole: one written before it was full, at the\n"
        "  end of a range, still holds sums of the table before it, checked again)\n");
  if (checked == 0)
    std::printf("tables hold no entry to check\n");
  else
    std::printf("tables %s\n", mismatched == 0 ? "MATCH the blocks" : "DO NOT MATCH");
  return mismatched == 0 ? 0 : 1;
}
