// The whole program in-process against the simulated board: each step's
// failure line, the driver download and the format pass with its tables.
#include "app/flashprep_run.h"

#include <csignal>
#include <filesystem>
#include <sstream>

#include "image/srecord_writer.h"
#include "run_expectations.h"
#include "test_support.h"

namespace {

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

std::string s3(uint32_t address, const Bytes& data) {
  return srecord::data_records(4, address, data.data(), data.size(), 32);
}

class RunTest : public SimTest {
 protected:
  // Writes serial_flash.S19 (unless null) and runs the program there.
  std::string run(const std::string* driver) {
    if (driver == nullptr) {
      ScratchDir empty;
      return run_in(empty.path());
    }
    EXPECT_TRUE(dir.write("serial_flash.S19", *driver));
    return run_in(dir.path());
  }
  std::string run(const std::string& driver) { return run(&driver); }

  std::string standard_driver() {
    driver_bytes = pattern(4000, 1);
    return srecord::header_record("driver") + s3(kRam, driver_bytes) +
           srecord::terminator_record(4, kRam);
  }
  std::string standard_download() { return expected_download(4000, kRam, kRam + 3999); }

  void expect_closed_once() {
    EXPECT_EQ(usb().count("usb_close"), 1);
    EXPECT_EQ(usb().count("usb_release_interface"), 1);
    EXPECT_EQ(usb().open_handles(), 0);
  }

  // Every table written holds, entry by entry, the sums of the blocks the
  // board returned (the formatted blocks as they now read back).
  void expect_tables(const FormatExpectation& e, const std::set<int>& refused = {}) {
    std::vector<int> writes;
    for (const sim::DriverEvent& ev : board().events())
      if (ev.kind == sim::DriverEvent::Kind::write)
        writes.push_back(ev.block);
    std::vector<int> expected_writes;
    for (const TableWrite& t : e.tables)
      if (!refused.count(t.block))
        expected_writes.push_back(t.block);
    EXPECT_EQ(writes, expected_writes);
    for (const TableWrite& t : e.tables) {
      if (refused.count(t.block))
        continue;
      const uint8_t* table = board().flash_block(t.block);
      for (int i = 0; i < 256; ++i) {
        const uint8_t want = t.entries[i] < 0 ? 0xFF : block_sum(board().flash_block(t.entries[i]));
        ASSERT_EQ(table[i], want) << "table block " << t.block << " entry " << i;
      }
    }
  }

  ScratchDir dir;
  Bytes driver_bytes;
};

TEST_F(RunTest, EachPreparatoryStepFailsWithItsOwnLineAndNothingAfter) {
  std::string driver = standard_driver();
  auto fresh = [&](auto setup) {
    usb().reset();
    setup();
  };

  fresh([&] { usb().clear_devices(); });
  EXPECT_TRUE(same_lines(run(driver), "FAIL: UNABLE TO START DRIVER\n"));
  EXPECT_EQ(usb().count("usb_close"), 0);

  for (int refusal = 0; refusal < 3; ++refusal) {
    fresh([&] {
      if (refusal == 0)
        usb().open_fails = true;
      if (refusal == 1)
        usb().set_configuration_result = -32;
      if (refusal == 2)
        usb().claim_interface_result = -16;
    });
    EXPECT_TRUE(same_lines(run(driver), "FAIL: UNABLE TO START DRIVER\n")) << refusal;
    EXPECT_EQ(usb().count("usb_close"), refusal == 0 ? 0 : 1);
  }

  for (auto mode : {sim::BoardConfig::Bootloader::silent, sim::BoardConfig::Bootloader::wrong}) {
    sim::BoardConfig config;
    config.bootloader = mode;
    usb().reset(config);
    EXPECT_TRUE(same_lines(run(driver), "FAIL: BOOTLOADER NOT PRESENT\n"));
    expect_closed_once();
  }

  fresh([] {});
  EXPECT_TRUE(same_lines(run(nullptr), "FAIL: SERIAL DRIVER NOT LOADED\n")) << "no driver file";
  expect_closed_once();

  fresh([] {});
  std::string bad = driver;
  bad[bad.find("S3", 40) + 12] ^= 1;  // one data digit of the first S3 record changed
  EXPECT_TRUE(same_lines(run(bad), "FAIL: SERIAL DRIVER NOT LOADED\n"))
      << "no summary for a bad file";

  sim::BoardConfig refuse_init;
  refuse_init.refuse_init = true;
  usb().reset(refuse_init);
  EXPECT_TRUE(
      same_lines(run(driver), standard_download() + "FAIL: SERIAL FLASH NOT INITIALIZED\n"));
  expect_closed_once();
}

TEST_F(RunTest, EmptyDriverPrintsTheSummaryThenFails) {
  // Clean file, but no S3 byte in driver RAM: S1 data and S3 data elsewhere.
  Bytes data = pattern(64, 2);
  std::string file = srecord::header_record("empty") +
                     srecord::data_records(2, 0x1000, data.data(), data.size(), 16) +
                     s3(0x30000000, data) + srecord::terminator_record(4, 0);
  EXPECT_EQ(run(file),
            "BYTES  : 0\nSTART  : 20001FFF\nEND    : 20000000\nBLOCKS : 0\n"
            "FAIL: SERIAL DRIVER NOT LOADED\n");
  EXPECT_EQ(board().driver_blocks(), 0);
  EXPECT_EQ(transfers().size(), 4u) << "only identify went over the wire";
}

TEST_F(RunTest, CompleteRunOutputTablesAndOrder) {
  const std::string driver = standard_driver();
  // Note how many transfers had happened whenever a line ended, to place
  // the table writes among the lines.
  struct LineClock : std::stringbuf {
    std::vector<long> transfers_at_line;
    std::ptrdiff_t seen = 0;
    int sync() override {
      for (const char* p = pbase() + seen; p < pptr(); ++p)
        if (*p == '\n')
          transfers_at_line.push_back(sim::world().transfers());
      seen = pptr() - pbase();
      return 0;
    }
  } clock;
  std::ostream out(&clock);
  usb().note_output(
      [&clock] { return static_cast<long>(clock.pubseekoff(0, std::ios::cur, std::ios::out)); });
  const auto previous = std::filesystem::current_path();
  ASSERT_TRUE(dir.write("serial_flash.S19", driver));
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(run_flashprep(out), 0);
  std::filesystem::current_path(previous);

  const FormatExpectation format = expected_format({});
  const std::string expected = standard_download() + format.lines;
  ASSERT_TRUE(same_lines(clock.str(), expected));
  std::vector<long> paced;
  expected_run(
      4000, kRam, kRam + 3999, [](const Exchange&) { return true; }, &paced);
  EXPECT_TRUE(output_kept_pace(usb().output_at_transfer(), paced));
  expect_closed_once();

  // Driver RAM holds the image, 0xFF after it.
  Bytes ram(board().ram().begin(), board().ram().begin() + 4096);
  Bytes want = driver_bytes;
  want.resize(4096, 0xFF);
  EXPECT_EQ(ram, want);
  EXPECT_TRUE(board().flash_initialised());

  expect_tables(format);
  ASSERT_EQ(format.tables.size(), 17u);
  // The table blocks follow the line of the block that filled them.
  const int after_line[] = {255,  511,  767,  1023, 1279, 1535, 1791, 2047, 2303,
                            2527, 2815, 3071, 3327, 3583, 3839, 4095, 4095};
  const std::vector<sim::CallRecord> calls = transfers();
  int table = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    const Bytes& d = calls[i].data;
    if (calls[i].name != "usb_bulk_write" || d.size() != 260 || d[1] != 0x01)
      continue;
    const int block = d[2] << 8 | d[3];
    ASSERT_LT(table, 17);
    EXPECT_EQ(block, 2528 + table);
    // Line index of "BLOCK n FORMATTED" in the output.
    const int n = after_line[table];
    const size_t line = 4 + 16 + (n < 2528 ? n : n - 32);
    const long t = static_cast<long>(i) + 1;  // transfer number of this body write
    EXPECT_LT(clock.transfers_at_line[line], t) << "table " << block << " before its line";
    if (line + 1 < clock.transfers_at_line.size()) {
      EXPECT_GT(clock.transfers_at_line[line + 1], t) << "table " << block << " too late";
    }
    ++table;
  }
  EXPECT_EQ(table, 17);
  // The last table is written twice: 2544 is a copy of 2543.
  EXPECT_EQ(Bytes(board().flash_block(2543), board().flash_block(2543) + 256),
            Bytes(board().flash_block(2544), board().flash_block(2544) + 256));
  for (int b = 2545; b < 2560; ++b)
    EXPECT_EQ(board().flash_block(b)[0], 0xFF) << "block " << b << " never written";
}

TEST_F(RunTest, WholeFirstRangeFailing) {
  sim::BoardConfig config;
  sim_range(config.format_request_fails, 0, 2527);
  usb().reset(config);
  const FormatExpectation format = expected_format(config.format_request_fails);
  EXPECT_TRUE(same_lines(run(standard_driver()), standard_download() + format.lines));
  // Block 2528 is still written once, holding the table's starting 0xFF.
  EXPECT_EQ(Bytes(board().flash_block(2528), board().flash_block(2528) + 256), Bytes(256, 0xFF));
  expect_tables(format);
  EXPECT_EQ(format.tables.size(), 8u);  // 2528, then 2529..2534 and the extra 2535
}

TEST_F(RunTest, ScatteredFailuresCloseUpTheTable) {
  sim::BoardConfig config;
  config.format_request_fails = {0, 5, 300, 2527, 2560, 3000, 4095};
  config.format_reply_fails = {17, 1024};
  config.short_reply_blocks = {40, 2600};
  config.oversized_reply_blocks = {41, 2601};
  usb().reset(config);
  std::set<int> failing = config.format_request_fails;
  for (const auto* s :
       {&config.format_reply_fails, &config.short_reply_blocks, &config.oversized_reply_blocks})
    failing.insert(s->begin(), s->end());
  const FormatExpectation format = expected_format(failing);
  EXPECT_TRUE(same_lines(run(standard_driver()), standard_download() + format.lines));
  expect_tables(format);
}

TEST_F(RunTest, ExactlyTwoHundredFiftySixSuccessesInARange) {
  sim::BoardConfig config;
  sim_range(config.format_request_fails, 256, 2527);
  usb().reset(config);
  const FormatExpectation format = expected_format(config.format_request_fails);
  EXPECT_TRUE(same_lines(run(standard_driver()), standard_download() + format.lines));
  // Full table to 2528, then the range's extra write of the same buffer.
  ASSERT_GE(format.tables.size(), 2u);
  EXPECT_EQ(format.tables[0].block, 2528);
  EXPECT_EQ(format.tables[1].block, 2529);
  EXPECT_EQ(Bytes(board().flash_block(2528), board().flash_block(2528) + 256),
            Bytes(board().flash_block(2529), board().flash_block(2529) + 256));
  expect_tables(format);
}

TEST_F(RunTest, RefusedTableWritesAreReportedAndNumberingGoesOn) {
  sim::BoardConfig config;
  config.refuse_write_blocks = {2528, 2537, 2544};
  usb().reset(config);
  const FormatExpectation format = expected_format({}, config.refuse_write_blocks);
  const std::string out = run(standard_driver());
  EXPECT_TRUE(same_lines(out, standard_download() + format.lines));
  EXPECT_NE(out.find("BLOCK 255 FORMATTED\nFAIL: WRITING BLOCK 2528\nBLOCK 256 FORMATTED\n"),
            std::string::npos);
  expect_tables(format, config.refuse_write_blocks);
}

TEST_F(RunTest, RefusedDriverBlocksAreReportedAndTheRunGoesOn) {
  sim::BoardConfig config;
  config.refuse_driver_blocks = {0, 7, 15};
  usb().reset(config);
  const std::string out = run(standard_driver());
  EXPECT_TRUE(
      same_lines(out, expected_download(4000, kRam, kRam + 3999, config.refuse_driver_blocks) +
                          expected_format({}).lines));
  EXPECT_EQ(board().driver_blocks(), 13);
}

// A board's firmware sees packets of 64 bytes: it finds the end of an OUT
// transfer at the first short packet, and a reply of whole packets would owe
// the host a zero-length packet that the host, reading exactly the announced
// length, never takes. So no message, either way, may be a whole number of
// packets; an empty one is itself the zero-length packet.
TEST_F(RunTest, NoTransferIsAWholeNumberOfPackets) {
  sim::BoardConfig config;
  config.short_reply_blocks = {5};
  config.oversized_reply_blocks = {6};
  std::set<int> sizes;
  for (const auto bootloader :
       {sim::BoardConfig::Bootloader::normal, sim::BoardConfig::Bootloader::empty}) {
    config.bootloader = bootloader;
    usb().reset(config);
    run(standard_driver());
    for (const sim::CallRecord& c : transfers())
      sizes.insert(c.name == "usb_bulk_write" ? c.size : c.result);
  }
  EXPECT_EQ(sizes, (std::set<int>{0, 1, 2, 4, 9, 129, 257, 258, 260, 300}));
  for (int size : sizes)
    EXPECT_TRUE(size == 0 || size % 64 != 0) << size << " bytes";
}

#ifndef _WIN32
// The dispositions of the stop signals and SIGPIPE: a run leaves them as it
// found them, for whoever runs it in-process.
std::vector<void (*)(int)> dispositions() {
  std::vector<void (*)(int)> handlers;
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction a = {};
    sigaction(s, nullptr, &a);
    handlers.push_back(a.sa_handler);
  }
  return handlers;
}

// A stop signal raised while a chosen transfer is in flight, one in each
// kind of exchange: that exchange completes and writes its line, then
// nothing more is sent or written, the device is closed once, and the run
// reports the signal. (Windows stops on console events, which arrive on a
// thread of their own; tests/wine sends one to the shipped program.)
TEST_F(RunTest, AStopSignalEndsTheRunAfterTheExchangeInFlight) {
  ASSERT_TRUE(dir.write("serial_flash.S19", standard_driver()));
  constexpr long kBeforeFormat = 4 + 2 * 16 + 2;  // identify, 16 driver blocks, init
  const struct {
    const char* exchange;
    long transfer;
    int signal;
  } cases[] = {
      {"identify, its reply header", 3, SIGINT},
      {"driver block 7, its header", 4 + 2 * 7 + 1, SIGTERM},
      {"init, its body", kBeforeFormat, SIGHUP},
      {"format request of block 300", kBeforeFormat + 4 * 300 + 1, SIGINT},
      {"format reply of block 300, its body", kBeforeFormat + 4 * 300 + 4, SIGTERM},
      {"table write to 2528, after block 255", kBeforeFormat + 4 * 256 + 2, SIGHUP},
  };
  const std::vector<void (*)(int)> before = dispositions();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exchange);
    usb().reset();
    const int signal = c.signal;
    usb().during_transfer(c.transfer, [signal] { std::raise(signal); });
    long transfers = 0;
    std::vector<long> paced;
    const std::string expected =
        expected_stopped_run(4000, kRam, kRam + 3999, c.transfer, &transfers, &paced);
    EXPECT_TRUE(same_lines(run_in(dir.path(), signal), expected));
    EXPECT_EQ(usb().transfers(), transfers);
    EXPECT_TRUE(output_kept_pace(usb().output_at_transfer(), paced));
    expect_closed_once();
    EXPECT_EQ(dispositions(), before) << "signal dispositions put back";
  }
}

// Started to ignore a stop signal (nohup, a background job), the run keeps
// ignoring it: it runs to its end.
TEST_F(RunTest, AStopSignalTheRunWasStartedToIgnoreStaysIgnored) {
  ASSERT_TRUE(dir.write("serial_flash.S19", standard_driver()));
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous), 0);
  usb().during_transfer(100, [] { std::raise(SIGHUP); });
  const std::string out = run_in(dir.path(), 0);
  struct sigaction after = {};
  sigaction(SIGHUP, &previous, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
  EXPECT_TRUE(same_lines(out, standard_download() + expected_format({}).lines));
}
#endif  // _WIN32

TEST_F(RunTest, DownloadPlacesBlocksWhereTheirDataLies) {
  // Data from 0x20000300 to 0x200006FF: blocks 3 to 6 at their true place.
  Bytes data = pattern(1024, 3);
  const std::string out = run(s3(kRam + 0x300, data));
  EXPECT_EQ(out.substr(0, out.find("BLOCK 0 FORMATTED")),
            expected_download(1024, kRam + 0x300, kRam + 0x6FF));
  EXPECT_NE(out.find("BLOCKS : 4\nBLOCK 3 DOWNLOADED\n"), std::string::npos);
  Bytes placed(board().ram().begin() + 0x300, board().ram().begin() + 0x700);
  EXPECT_EQ(placed, data);
  auto loads = usb().calls_named("usb_bulk_write");
  EXPECT_EQ(loads[3].data[1], 3) << "index byte of the first block sent";
}

TEST_F(RunTest, DownloadOfAnUnalignedSpanCoversBothEnds) {
  // 300 bytes from 0x200000F0: the span touches blocks 0, 1 and 2.
  Bytes data = pattern(300, 4);
  const std::string out = run(s3(kRam + 0xF0, data));
  EXPECT_EQ(out.substr(0, out.find("BLOCK 0 FORMATTED")),
            expected_download(300, kRam + 0xF0, kRam + 0xF0 + 299));
  Bytes placed(board().ram().begin() + 0xF0, board().ram().begin() + 0xF0 + 300);
  EXPECT_EQ(placed, data);
}

TEST_F(RunTest, FullRegionIsThirtyTwoBlocksAndOutsideRecordsAreDropped) {
  Bytes data = pattern(8192, 5);
  Bytes outside = pattern(100, 6);
  const std::string file = s3(kRam - 100, outside) + s3(kRam, data) + s3(kRam + 8192, outside);
  const std::string out = run(file);
  EXPECT_EQ(out.substr(0, out.find("BLOCK 0 FORMATTED")),
            expected_download(8192, kRam, kRam + 8191));
  EXPECT_EQ(board().ram(), data);
}

}  // namespace
