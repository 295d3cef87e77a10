// The whole run against a board, a bus and a driver file chosen by the input.
//
// The input decodes to the board's behaviour (bootloader mode and version,
// refused and failing blocks, weak cells), the bus (who is attached, which
// libusb calls fail, which transfers fail or unplug the board) and the driver
// file: either generated records over a chosen stretch of address space or
// the raw remaining bytes. After each run: the exit status is 0, the output
// follows the grammar of the lines the tool prints, the device, if it was
// opened, was released and closed exactly once, and a second board on the
// bus received nothing.
//
// usb_open and usb_close are wrapped at link time (--wrap) to count them
// without the call log, which is too slow for a run of 16 000 transfers.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/flashprep_run.h"
#include "board/board_facts.h"
#include "fuzz/fuzz_input.h"
#include "image/srecord_writer.h"
#include "sim/sim_usb.h"
#include "util/write_file.h"

namespace {

char scratch[] = "/tmp/flashprep-fuzz-run-XXXXXX";
int home = -1;  // the working directory libFuzzer was started in

std::string driver_path() {
  return std::string(scratch) + "/serial_flash.S19";
}

int opens = 0;
int closes = 0;
int failed_closes = 0;

constexpr uint32_t kRam = kDriverRamFirst;
constexpr uint32_t kRamLast = 0x20001FFF;
constexpr long kRunTransfers = 16400;  // about as many as one whole run makes

// The output, line by line, checked against what the tool may print.
class OutputGrammar {
 public:
  explicit OutputGrammar(const std::string& text) {
    FUZZ_CHECK(text.empty() || text.back() == '\n');
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);)
      lines_.push_back(line);
  }

  void check() {
    FUZZ_CHECK(!lines_.empty());
    if (lines_.size() == 1 && (lines_[0] == "FAIL: UNABLE TO START DRIVER" ||
                               lines_[0] == "FAIL: BOOTLOADER NOT PRESENT" ||
                               lines_[0] == "FAIL: SERIAL DRIVER NOT LOADED"))
      return;
    const uint64_t bytes = number("BYTES  : ", 10);
    const uint64_t start = number("START  : ", 16);
    const uint64_t end = number("END    : ", 16);
    const uint64_t blocks = number("BLOCKS : ", 10);
    if (bytes == 0) {
      FUZZ_CHECK(start == kRamLast && end == kRam && blocks == 0);
      expect("FAIL: SERIAL DRIVER NOT LOADED");
      FUZZ_CHECK(done());
      return;
    }
    FUZZ_CHECK(kRam <= start && start <= end && end <= kRamLast);
    const uint64_t first = (start - kRam) / 256;
    FUZZ_CHECK(blocks == (end - kRam) / 256 - first + 1);
    for (uint64_t k = first; k < first + blocks; ++k) {
      const std::string b = "BLOCK " + std::to_string(k);
      FUZZ_CHECK(!done() && (lines_[at_] == b + " DOWNLOADED" || lines_[at_] == b + " FAILED"));
      ++at_;
    }
    FUZZ_CHECK(!done());
    if (lines_[at_] == "FAIL: SERIAL FLASH NOT INITIALIZED") {
      ++at_;
      FUZZ_CHECK(done());
      return;
    }
    format_pass();
    FUZZ_CHECK(done());
  }

 private:
  bool done() const { return at_ == lines_.size(); }
  void expect(const std::string& line) {
    FUZZ_CHECK(!done() && lines_[at_] == line);
    ++at_;
  }
  // "PREFIX digits", digits in `base` (upper-case hex), no sign, no padding.
  uint64_t number(const std::string& prefix, int base) {
    FUZZ_CHECK(!done() && lines_[at_].compare(0, prefix.size(), prefix) == 0);
    const std::string digits = lines_[at_++].substr(prefix.size());
    const char* allowed = base == 10 ? "0123456789" : "0123456789ABCDEF";
    FUZZ_CHECK(!digits.empty() && digits.size() <= 8 &&
               digits.find_first_not_of(allowed) == std::string::npos);
    FUZZ_CHECK(digits == "0" || digits[0] != '0');
    return std::strtoull(digits.c_str(), nullptr, base);
  }
  // A table write may add one failure line for its block.
  void table_write() {
    if (!done() && lines_[at_] == "FAIL: WRITING BLOCK " + std::to_string(table_))
      ++at_;
    ++table_;
  }
  void format_block(int n) {
    const std::string ok = "BLOCK " + std::to_string(n) + " FORMATTED";
    FUZZ_CHECK(!done());
    if (lines_[at_] == ok) {
      ++at_;
      if (++fill_ == 256) {
        fill_ = 0;
        table_write();
      }
      return;
    }
    expect("FAIL: FORMATTING BLOCK " + std::to_string(n));
  }
  void format_pass() {
    for (int n = 0; n <= 2527; ++n)
      format_block(n);
    fill_ = 0;
    table_write();
    for (int n = 2560; n <= 4095; ++n)
      format_block(n);
    table_write();
    FUZZ_CHECK(table_ <= 2560);
  }

  std::vector<std::string> lines_;
  size_t at_ = 0;
  int fill_ = 0;
  int table_ = 2528;
};

void decode_blocks(FuzzInput& in, std::set<int>& out) {
  const int entries = in.u8() % 6;
  for (int e = 0; e < entries; ++e) {
    const int first = in.u16() % 4200;  // a few beyond the flash, too
    const int length = in.flag() ? 1 + in.u8() : 1;
    for (int b = first; b < first + length; ++b)
      out.insert(b);
  }
}

sim::BoardConfig decode_board(FuzzInput& in) {
  using B = sim::BoardConfig::Bootloader;
  const B modes[] = {B::normal, B::silent, B::wrong, B::silent_once, B::empty};
  sim::BoardConfig c;
  c.bootloader = modes[in.u8() % 5];
  if (in.flag()) {
    const std::vector<uint8_t> v = in.sized_bytes();
    c.version.assign(v.begin(), v.end());
  }
  c.refuse_init = (in.u8() % 8) == 7;
  c.weak_seed = in.u32();
  decode_blocks(in, c.refuse_driver_blocks);
  decode_blocks(in, c.format_request_fails);
  decode_blocks(in, c.format_reply_fails);
  decode_blocks(in, c.short_reply_blocks);
  decode_blocks(in, c.oversized_reply_blocks);
  decode_blocks(in, c.refuse_write_blocks);
  return c;
}

void decode_bus(FuzzInput& in, const sim::BoardConfig& config) {
  sim::SimUsb& usb = sim::world();
  usb.reset(config);
  usb.record_calls = false;
  switch (in.u8() % 6) {
    case 1:
      usb.clear_devices();
      break;
    case 2:  // something else with our IDs comes first: it never answers
      usb.clear_devices();
      usb.add_device(1, 0x15A2, 0x0040, -1);
      usb.add_device(1, 0x15A2, 0x0040, 0);
      break;
    case 3:  // a foreign device first, ours on a later bus
      usb.clear_devices();
      usb.add_device(1, 0x15A2, 0x0041, -1);
      usb.add_device(2, 0x15A2, 0x0040, 0);
      break;
    case 4:  // a second board that must never be touched
      usb.add_device(2, 0x15A2, 0x0040, usb.add_board(config));
      break;
    default:
      break;
  }
  const uint8_t calls = in.u8();
  usb.open_fails = (calls & 0x07) == 1;
  if ((calls & 0x38) == 0x08)
    usb.set_configuration_result = -32;
  if ((calls & 0xC0) == 0x40)
    usb.claim_interface_result = -16;
  const int faults = in.u8() % 8;
  const sim::Fault kinds[] = {sim::Fault::error, sim::Fault::short_count, sim::Fault::timeout,
                              sim::Fault::unplug};
  for (int f = 0; f < faults; ++f) {
    const long n = 1 + in.u16() % kRunTransfers;
    usb.inject(n, kinds[in.u8() % 4]);
  }
  if (in.u8() % 8 == 7)
    usb.unplug_after(in.u16() % kRunTransfers);
}

// The driver file: generated records, missing, or raw bytes.
void write_driver(FuzzInput& in) {
  const uint8_t mode = in.u8() % 4;
  if (mode == 1) {
    std::remove(driver_path().c_str());
    return;
  }
  std::string text;
  if (mode == 0) {
    // Records of 1 to 64 bytes over a stretch around driver RAM; S3 (read)
    // unless the input asks for S1 or S2 (skipped by the loader).
    const int address_bytes = 4 - in.u8() % 3;
    const uint32_t start = kRam - 512 + (in.u16() + 512u) % 9216;
    const size_t length = 1 + in.u16() % 9000;
    const size_t per_record = 1 + in.u8() % 64;
    uint32_t x = in.u32() | 1;
    std::vector<uint8_t> data(length);
    for (uint8_t& b : data) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x);
    }
    text = srecord::header_record("fuzz") +
           srecord::data_records(address_bytes, start, data.data(), data.size(), per_record) +
           srecord::terminator_record(address_bytes, start);
  } else {
    const std::vector<uint8_t> raw = in.rest();
    text.assign(raw.begin(), raw.end());
  }
  FUZZ_CHECK(write_file(driver_path(), text));
}

}  // namespace

extern "C" {

usb_dev_handle* __real_usb_open(struct usb_device* dev);
int __real_usb_close(usb_dev_handle* h);

usb_dev_handle* __wrap_usb_open(struct usb_device* dev) {
  usb_dev_handle* h = __real_usb_open(dev);
  if (h != nullptr)
    ++opens;
  return h;
}

int __wrap_usb_close(usb_dev_handle* h) {
  const int r = __real_usb_close(h);
  ++closes;
  if (r != 0)
    ++failed_closes;
  return r;
}

int LLVMFuzzerInitialize(int*, char***) {
  // One scratch folder for the whole session, entered only for the run
  // itself: libFuzzer's corpus and artifact paths may be relative.
  FUZZ_CHECK(mkdtemp(scratch) != nullptr);
  home = open(".", O_RDONLY | O_DIRECTORY);
  FUZZ_CHECK(home >= 0);
  std::atexit([] {
    std::remove(driver_path().c_str());
    rmdir(scratch);
  });
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const sim::BoardConfig config = decode_board(in);
  decode_bus(in, config);
  write_driver(in);

  opens = closes = failed_closes = 0;
  std::ostringstream out;
  FUZZ_CHECK(chdir(scratch) == 0);
  const int status = run_flashprep(out);
  FUZZ_CHECK(fchdir(home) == 0);
  FUZZ_CHECK(status == 0);
  // For looking at one input: FLASHPREP_FUZZ_SHOW=1 fuzz_run FILE
  if (std::getenv("FLASHPREP_FUZZ_SHOW") != nullptr)
    std::fputs(out.str().c_str(), stderr);
  OutputGrammar(out.str()).check();
  FUZZ_CHECK(opens <= 1);
  FUZZ_CHECK(closes == opens && failed_closes == 0);
  FUZZ_CHECK(sim::world().release_calls() == opens);  // released before the close
  FUZZ_CHECK(sim::world().open_handles() == 0);
  for (int b = 1; b < sim::world().board_count(); ++b) {
    const sim::Board& other = sim::world().board(b);
    FUZZ_CHECK(other.driver_blocks() == 0 && other.events().empty() && !other.flash_initialised());
  }
  return 0;
}

}  // extern "C"
