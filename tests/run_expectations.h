// What a run must print, computed from the tool's rules rather than copied
// from an earlier run: the download summary and block lines, and the format
// pass's lines with the table writes that fall between them.
#ifndef FLASHPREP_TESTS_RUN_EXPECTATIONS_H_
#define FLASHPREP_TESTS_RUN_EXPECTATIONS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "board/board_facts.h"

// Where the driver images the tests make start: the driver RAM's first byte.
constexpr uint32_t kRam = kDriverRamFirst;

struct TableWrite {
  int block;                 // flash block that receives the table
  std::vector<int> entries;  // flash block whose sum each entry holds, -1: never filled
};

struct FormatExpectation {
  std::string lines;
  std::vector<TableWrite> tables;
};

// One request/reply exchange of a run, in the order the run makes them.
struct Exchange {
  enum Kind { identify, load_block, init, format, table_write };
  Kind kind;
  int id;         // driver block index, flash block or table block; 0 otherwise
  int transfers;  // bulk transfers it takes when it succeeds
};
// Says whether an exchange succeeds; called once per exchange, in run order.
using ExchangeOutcome = std::function<bool(const Exchange&)>;

// Summary and per-block lines for a driver stored from `low` to `high`
// (`count` stores), with driver block indexes in `refused` failing.
std::string expected_download(uint32_t count, uint32_t low, uint32_t high,
                              const std::set<int>& refused = {});

// The format pass over a board where the blocks in `failing` do not format
// and the table blocks in `refused_tables` refuse the write.
FormatExpectation expected_format(const std::set<int>& failing,
                                  const std::set<int>& refused_tables = {});
FormatExpectation expected_format_with(const ExchangeOutcome& ok);

// The whole output of a run whose driver stores `count` bytes from `low` to
// `high`, each exchange succeeding as `ok` says. `out_at_requests` (may be
// null) receives, for each request the run makes, how many bytes of output
// must be out as it starts: the summary before the first driver block, each
// line before the next request, never part of a line.
std::string expected_run(uint32_t count, uint32_t low, uint32_t high, const ExchangeOutcome& ok,
                         std::vector<long>* out_at_requests = nullptr);

// The output of a run asked to stop while its transfer `k` was in flight,
// every exchange succeeding: the exchange holding transfer k completes and
// writes its line, then nothing more is sent or written. `transfers`
// receives the number of transfers the run makes; `out_at_requests` as for
// expected_run().
std::string expected_stopped_run(uint32_t count, uint32_t low, uint32_t high, long k,
                                 long* transfers, std::vector<long>* out_at_requests = nullptr);

// Whether a run's lines went out when they must: `at_transfers` is how many
// bytes of output were out as each transfer started (as the simulated board
// notes them), `at_requests` what expected_run() says. A request spans
// several transfers, so the two are compared as the amounts they pass
// through, in order, each taken once.
::testing::AssertionResult output_kept_pace(const std::vector<long>& at_transfers,
                                            const std::vector<long>& at_requests);

// 8-bit sum of 256 bytes.
uint8_t block_sum(const uint8_t* block);

// Compares two multi-line texts and, when they differ, reports the first
// line where they part instead of both whole texts.
::testing::AssertionResult same_lines(const std::string& actual, const std::string& expected);

#endif  // FLASHPREP_TESTS_RUN_EXPECTATIONS_H_
