#include "sim/scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "sim/environment.h"
#include "util/write_file.h"

namespace sim {

const char kScenarioHelp[] =
    "Board and bus:\n"
    "  FLASHPREP_SIM_BOARD=normal|none|wrong-vid|wrong-pid|two\n"
    "      none: no device; wrong-vid/wrong-pid: only a device with the other ID;\n"
    "      two: two boards on two buses (the first one is used)\n"
    "  FLASHPREP_SIM_REFUSE=open|configuration|claim   that libusb call fails\n"
    "  FLASHPREP_SIM_BOOTLOADER=normal|silent|silent-once|wrong|empty\n"
    "      silent: no reply to identify; silent-once: no reply to the first\n"
    "      identify only; wrong: the reply does not start with 'B';\n"
    "      empty: the reply has no body (header 00 00)\n"
    "  FLASHPREP_SIM_VERSION=TEXT                      identify reply after the 'B'\n"
    "  FLASHPREP_SIM_SERIAL=TEXT                       USB serial number (1 to 126\n"
    "      printable ASCII characters): iSerialNumber names a string holding it;\n"
    "      default: none (iSerialNumber 0)\n"
    "Driver and flash (LIST is N, N-M, comma separated, or all; N, M: 0 to 4095):\n"
    "  FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS=LIST   driver blocks (by index) stall\n"
    "  FLASHPREP_SIM_REFUSE_INIT=0|1             1: the flash init request stalls\n"
    "  FLASHPREP_SIM_FORMAT_REQUEST_FAILS=LIST   format requests of these blocks stall\n"
    "  FLASHPREP_SIM_FORMAT_REPLY_FAILS=LIST     no reply to these format requests\n"
    "  FLASHPREP_SIM_SHORT_REPLY=LIST            format replies of 129 bytes\n"
    "  FLASHPREP_SIM_OVERSIZED_REPLY=LIST        format replies of 300 bytes\n"
    "  FLASHPREP_SIM_REFUSE_WRITES=LIST          block writes (checksum tables) stall\n"
    "  FLASHPREP_SIM_WEAK_SEED=N                 weak flash cells (0: none; default 1)\n"
    "  FLASHPREP_SIM_FORMAT_DELAY_MS=N           format time: a format reply can be read\n"
    "                                            N ms after its request (default 0); the\n"
    "      board takes requests one after the other: one that comes while it is\n"
    "      still formatting is carried out after that format, and a reply the host\n"
    "      stopped waiting for is read by its next read (a format slower than the\n"
    "      host's 5 s time-out makes each later reply come one request late)\n"
    "  FLASHPREP_SIM_FORMAT_DELAY_BLOCKS=LIST    only these blocks take that time\n"
    "                                            (default: every block)\n"
    "  FLASHPREP_SIM_HOLD_FILE=PATH              with _HOLD_BLOCKS: holds the board\n"
    "  FLASHPREP_SIM_HOLD_BLOCKS=LIST            before these blocks' format replies\n"
    "      (a test moves it on, not the clock): at such a format request the board\n"
    "      creates PATH, and gives the reply, and those asked for after it, once\n"
    "      PATH is removed. A held reply is waited for whatever the host's time-out\n"
    "      (on a usbredir wire, the host's own time-out still runs) and takes its\n"
    "      format time from then; a board pulled out while held fails the read.\n"
    "      PATH's folder must exist. Give each board a PATH of its own (a shared\n"
    "      one is made again by one board before another sees it gone), outside\n"
    "      a FLASHPREP_SIM_BOARDS folder, where a file is a board\n"
    "  FLASHPREP_SIM_PENDING_REPLY=keep|drop     keep (default): a reply the host did\n"
    "      not read stays queued when the host opens and configures the board\n"
    "      again, and the next run reads it first (the board contract does not\n"
    "      promise more); drop: selecting a configuration discards it\n"
    "Transfers (numbered from 1 over the run, reads and writes alike):\n"
    "  FLASHPREP_SIM_UNPLUG_AFTER=N              the board vanishes after transfer N\n"
    "  FLASHPREP_SIM_FAULT=KIND@N[,KIND@N...]    KIND: error, short, timeout, unplug\n"
    "  FLASHPREP_SIM_REAL_TIMEOUTS=0|1           1: time-outs take their real duration;\n"
    "      0 (default): reported at once, the board's clock moving on by their\n"
    "      length, so that the lines and the board are the same, only sooner\n"
    "Files:\n"
    "  FLASHPREP_SIM_FLASH=PATH    flash contents (1 MiB), read at start and saved at\n"
    "                              exit; a missing file is a new board\n"
    "  FLASHPREP_SIM_STATE=DIR     board state at exit: ram.bin, flash.bin, events.txt,\n"
    "                              and stdout-bytes.txt when standard output is a file:\n"
    "                              the bytes it held as each transfer started, a line each\n"
    "                              (flashprep-sim-report DIR reads it back)\n"
    "  FLASHPREP_SIM_TRACE=PATH    pcap (usbmon link type) of every transfer\n"
    "Many boards:\n"
    "  FLASHPREP_SIM_BOARDS=DIR    every file in DIR (name of A-Z a-z 0-9 . _ -, not\n"
    "      starting with '.') is a board on bus 'sim', listed by file name; creating\n"
    "      and removing files plugs boards in and pulls them out. Its flash and state\n"
    "      go to DIR/NAME.state/ unless it sets its own files. A board is held by the\n"
    "      process that configures it: in any other, configuring it fails with -16\n"
    "      (busy). DIR must be a folder that exists. With USB_DEVFS_PATH=NODES (libusb\n"
    "      0.1's own variable), a board whose file NODES/sim/NAME this process may\n"
    "      not write is as one whose node udev has not yet given to the user's group:\n"
    "      configuring it fails with -1\n"
    "  FLASHPREP_SIM_BUS=N         the boards of a FLASHPREP_SIM_BOARDS folder are on\n"
    "                              bus simN (N: 1 to 99) instead of sim, as boards\n"
    "                              behind several USB buses are; set in a board file\n"
    "                              for that board\n"
    "  FLASHPREP_SIM_DEVNUM=N      a folder's board has device number N (2 to 127)\n"
    "                              whenever its file is made, as a bus with one\n"
    "                              address left gives it to the next board plugged in\n"
    "A board file holds, one a line (LF or CR LF):\n"
    "  FLASHPREP_SIM_NAME=VALUE    any variable above but FLASHPREP_SIM_BOARD and\n"
    "                              _BOARDS, no spaces around '=': set for that board\n"
    "                              over the environment (whose _FLASH, _STATE and\n"
    "                              _TRACE are not used for it)\n"
    "  # COMMENT, or a blank line\n"
    "  A file with anything else, an unknown name, a name set twice or a bad value\n"
    "  is a refused board: it is listed, and a program that opens it ends at once\n"
    "  with exit status 2 and the line 'flashprep-sim: DIR/NAME: WHY' on stderr.\n"
    "The folders of these paths must exist. A bad value or an unknown\n"
    "FLASHPREP_SIM_ name stops the command before it starts, with exit status 2.\n";

namespace {

// long long: a long has only 32 bits on Windows, too few for a seed.
bool parse_number(const std::string& text, long long* out) {
  if (text.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0)
    return false;
  *out = v;
  return true;
}

// A transfer number beyond what a long holds (32 bits on Windows) is never
// reached by a run either, so it may stand at the largest one.
long transfer_number(long long n) {
  return static_cast<long>(std::min<long long>(n, std::numeric_limits<long>::max()));
}

bool parse_faults(const std::string& text, SimUsb& usb) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t at = item.find('@');
    long long n = 0;
    if (at == std::string::npos || !parse_number(item.substr(at + 1), &n) || n < 1)
      return false;
    std::string kind = item.substr(0, at);
    Fault f = kind == "error"     ? Fault::error
              : kind == "short"   ? Fault::short_count
              : kind == "timeout" ? Fault::timeout
              : kind == "unplug"  ? Fault::unplug
                                  : Fault::none;
    if (f == Fault::none)
      return false;
    usb.inject(transfer_number(n), f);
    if (comma == std::string::npos)
      break;
    start = comma + 1;
  }
  return true;
}

}  // namespace

bool parse_block_list(const std::string& text, std::set<int>* out) {
  if (text == "all") {
    for (int b = 0; b < kFlashBlocks; ++b)
      out->insert(b);
    return true;
  }
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t dash = item.find('-');
    long long first = 0;
    long long last = 0;
    if (dash == std::string::npos) {
      if (!parse_number(item, &first))
        return false;
      last = first;
    } else if (!parse_number(item.substr(0, dash), &first) ||
               !parse_number(item.substr(dash + 1), &last) || last < first) {
      return false;
    }
    if (last >= kFlashBlocks)
      return false;
    for (long long b = first; b <= last; ++b)
      out->insert(static_cast<int>(b));
    if (comma == std::string::npos)
      return true;
    start = comma + 1;
  }
}

namespace {

// The settings as the environment gives them, and the first one refused
// with what it should have been.
class Settings {
 public:
  explicit Settings(const Getenv& get) : get_(get) {}

  bool has(const char* name) const { return get_(name) != nullptr; }
  std::string value(const char* name) const {
    const char* v = get_(name);
    return v == nullptr ? std::string() : std::string(v);
  }
  // A flag is 0 or 1: "yes" or "true" would otherwise pass for one of them.
  bool flag(const char* name, bool* out) const {
    const std::string v = value(name);
    if (!v.empty() && v != "0" && v != "1")
      return false;
    *out = v == "1";
    return true;
  }
  // Notes `name` as refused (`wanted`: what it takes, or null) and returns
  // false, so that a check can end with it.
  bool refuse(const char* name, const char* wanted = nullptr) {
    refused_ = name;
    wanted_ = wanted;
    return false;
  }
  std::string message() const {
    return std::string("bad value for ") + refused_ + ": '" + value(refused_) + "' (" +
           (wanted_ == nullptr ? "" : std::string(wanted_) + "; ") + kHelpHint +
           " lists the values)";
  }

 private:
  const Getenv& get_;
  const char* refused_ = "";
  const char* wanted_ = nullptr;
};

bool read_bootloader(Settings& s, BoardConfig* config) {
  const std::string bootloader = s.value("FLASHPREP_SIM_BOOTLOADER");
  if (bootloader == "silent")
    config->bootloader = BoardConfig::Bootloader::silent;
  else if (bootloader == "wrong")
    config->bootloader = BoardConfig::Bootloader::wrong;
  else if (bootloader == "silent-once")
    config->bootloader = BoardConfig::Bootloader::silent_once;
  else if (bootloader == "empty")
    config->bootloader = BoardConfig::Bootloader::empty;
  else if (!bootloader.empty() && bootloader != "normal")
    return s.refuse("FLASHPREP_SIM_BOOTLOADER");
  if (s.has("FLASHPREP_SIM_VERSION"))
    config->version = s.value("FLASHPREP_SIM_VERSION");
  return true;
}

bool read_block_lists(Settings& s, BoardConfig* config) {
  const struct ListVar {
    const char* name;
    std::set<int>* target;
  } lists[] = {
      {"FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS", &config->refuse_driver_blocks},
      {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", &config->format_request_fails},
      {"FLASHPREP_SIM_FORMAT_REPLY_FAILS", &config->format_reply_fails},
      {"FLASHPREP_SIM_SHORT_REPLY", &config->short_reply_blocks},
      {"FLASHPREP_SIM_OVERSIZED_REPLY", &config->oversized_reply_blocks},
      {"FLASHPREP_SIM_REFUSE_WRITES", &config->refuse_write_blocks},
      {"FLASHPREP_SIM_FORMAT_DELAY_BLOCKS", &config->format_delay_blocks},
      {"FLASHPREP_SIM_HOLD_BLOCKS", &config->hold_blocks},
  };
  for (const ListVar& l : lists)
    if (s.has(l.name) && !parse_block_list(s.value(l.name), l.target))
      return s.refuse(l.name, "blocks 0 to 4095: N, N-M, comma separated, or all");
  return true;
}

bool read_numbers(Settings& s, BoardConfig* config) {
  if (!s.flag("FLASHPREP_SIM_REFUSE_INIT", &config->refuse_init))
    return s.refuse("FLASHPREP_SIM_REFUSE_INIT", "0 or 1");
  long long number = 0;
  if (s.has("FLASHPREP_SIM_WEAK_SEED")) {
    if (!parse_number(s.value("FLASHPREP_SIM_WEAK_SEED"), &number) || number > 0xFFFFFFFFLL)
      return s.refuse("FLASHPREP_SIM_WEAK_SEED");
    config->weak_seed = static_cast<uint32_t>(number);
  }
  if (s.has("FLASHPREP_SIM_FORMAT_DELAY_MS")) {
    // An hour at most, so that it fits an int of milliseconds.
    if (!parse_number(s.value("FLASHPREP_SIM_FORMAT_DELAY_MS"), &number) || number > 3600000)
      return s.refuse("FLASHPREP_SIM_FORMAT_DELAY_MS");
    config->format_delay_ms = static_cast<int>(number);
  }
  return true;
}

// One without the other holds nothing, or holds every block: neither is
// what a test that sets one of them means. The file's folder must exist, or
// the board could never say that it holds a reply.
bool read_hold(Settings& s, BoardConfig* config) {
  const bool file = s.has("FLASHPREP_SIM_HOLD_FILE");
  if (file != s.has("FLASHPREP_SIM_HOLD_BLOCKS"))
    return file ? s.refuse("FLASHPREP_SIM_HOLD_FILE", "only with FLASHPREP_SIM_HOLD_BLOCKS")
                : s.refuse("FLASHPREP_SIM_HOLD_BLOCKS", "only with FLASHPREP_SIM_HOLD_FILE");
  if (!file)
    return true;
  config->hold_file = s.value("FLASHPREP_SIM_HOLD_FILE");
  const std::filesystem::path folder = std::filesystem::path(config->hold_file).parent_path();
  std::error_code ec;
  if (config->hold_file.empty() || (!folder.empty() && !std::filesystem::is_directory(folder, ec)))
    return s.refuse("FLASHPREP_SIM_HOLD_FILE", "a file in a folder that exists");
  return true;
}

bool read_serial_and_pending_reply(Settings& s, BoardConfig* config) {
  if (s.has("FLASHPREP_SIM_SERIAL")) {
    config->serial = s.value("FLASHPREP_SIM_SERIAL");
    const bool printable = std::all_of(config->serial.begin(), config->serial.end(),
                                       [](char c) { return c >= ' ' && c <= '~'; });
    if (config->serial.empty() || config->serial.size() > kMostStringChars || !printable)
      return s.refuse("FLASHPREP_SIM_SERIAL", "1 to 126 printable ASCII characters");
  }
  const std::string pending = s.value("FLASHPREP_SIM_PENDING_REPLY");
  if (pending == "drop")
    config->drop_reply_on_configuration = true;
  else if (!pending.empty() && pending != "keep")
    return s.refuse("FLASHPREP_SIM_PENDING_REPLY");
  return true;
}

// Which devices the bus lists, and which libusb calls fail on them.
bool set_up_bus(Settings& s, const BoardConfig& config, SimUsb& usb) {
  const std::string board = s.value("FLASHPREP_SIM_BOARD");
  if (board == "none") {
    usb.clear_devices();
  } else if (board == "wrong-vid" || board == "wrong-pid") {
    usb.clear_devices();
    usb.add_device(1, board == "wrong-vid" ? kVendorId + 1 : kVendorId,
                   board == "wrong-vid" ? kProductId : kProductId + 1, 0);
  } else if (board == "two") {
    usb.add_device(2, kVendorId, kProductId, usb.add_board(config));
  } else if (!board.empty() && board != "normal") {
    return s.refuse("FLASHPREP_SIM_BOARD");
  }

  const std::string refuse = s.value("FLASHPREP_SIM_REFUSE");
  if (refuse == "open")
    usb.open_fails = true;
  else if (refuse == "configuration")
    usb.set_configuration_result = kErrPipe;
  else if (refuse == "claim")
    usb.claim_interface_result = -16;  // -EBUSY: another driver holds it
  else if (!refuse.empty())
    return s.refuse("FLASHPREP_SIM_REFUSE");
  return true;
}

// What happens to numbered transfers, and how long a time-out takes.
bool set_up_transfers(Settings& s, SimUsb& usb) {
  long long number = 0;
  if (s.has("FLASHPREP_SIM_UNPLUG_AFTER")) {
    if (!parse_number(s.value("FLASHPREP_SIM_UNPLUG_AFTER"), &number))
      return s.refuse("FLASHPREP_SIM_UNPLUG_AFTER");
    usb.unplug_after(transfer_number(number));
  }
  if (s.has("FLASHPREP_SIM_FAULT") && !parse_faults(s.value("FLASHPREP_SIM_FAULT"), usb))
    return s.refuse("FLASHPREP_SIM_FAULT");
  if (!s.flag("FLASHPREP_SIM_REAL_TIMEOUTS", &usb.real_timeouts))
    return s.refuse("FLASHPREP_SIM_REAL_TIMEOUTS", "0 or 1");
  return true;
}

bool read_files(Settings& s, ScenarioFiles* files) {
  files->boards = s.value("FLASHPREP_SIM_BOARDS");
  std::error_code ec;
  if (!files->boards.empty() && !std::filesystem::is_directory(files->boards, ec))
    return s.refuse("FLASHPREP_SIM_BOARDS", "no such folder");
  files->flash = s.value("FLASHPREP_SIM_FLASH");
  files->state = s.value("FLASHPREP_SIM_STATE");
  files->trace = s.value("FLASHPREP_SIM_TRACE");
  return true;
}

}  // namespace

bool configure_from_environment(SimUsb& usb, const Getenv& get, ScenarioFiles* files,
                                std::string* error) {
  Settings settings(get);
  BoardConfig config;
  ScenarioFiles named;
  bool usable = read_bootloader(settings, &config) && read_block_lists(settings, &config) &&
                read_numbers(settings, &config) && read_hold(settings, &config) &&
                read_serial_and_pending_reply(settings, &config);
  if (usable) {
    usb.reset(config);
    usable = set_up_bus(settings, config, usb) && set_up_transfers(settings, usb) &&
             read_files(settings, &named);
  }
  if (!usable) {
    *error = settings.message();
    usb.reset();
    return false;
  }
  // A long run keeps no call log in the preloaded library: nothing reads it.
  usb.record_calls = false;
  *files = named;
  return true;
}

bool write_state(const Board& board, const std::string& folder) {
  std::error_code exists;  // an existing folder is reused; a failure shows at the first file
  std::filesystem::create_directory(folder, exists);
  if (!write_file(folder + "/ram.bin", board.ram().data(), board.ram().size()) ||
      !save_flash(board, folder + "/flash.bin"))
    return false;
  // Binary, so that the file is the same on Windows (no CR before each LF).
  FILE* f = std::fopen((folder + "/events.txt").c_str(), "wb");
  if (f == nullptr)
    return false;
  std::fprintf(f, "driver_blocks %d\n", board.driver_blocks());
  for (const DriverEvent& e : board.events()) {
    if (e.kind == DriverEvent::Kind::init)
      std::fprintf(f, "init\n");
    else
      std::fprintf(f, "%s %d\n",
                   e.kind == DriverEvent::Kind::write    ? "write"
                   : e.kind == DriverEvent::Kind::format ? "format"
                                                         : "format-unanswered",
                   e.block);
  }
  // A write that failed on the way leaves the stream's error flag set; fclose
  // alone reports only the last flush.
  const bool written = std::ferror(f) == 0;
  return std::fclose(f) == 0 && written;
}

bool load_flash(Board& board, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  uint8_t block[kBlockBytes];
  int b = 0;
  for (; b < kFlashBlocks && std::fread(block, 1, kBlockBytes, f) == kBlockBytes; ++b)
    board.set_flash_block(b, block);
  (void)std::fclose(f);  // read only: closing cannot lose anything
  return b == kFlashBlocks;
}

bool save_flash(const Board& board, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  bool ok = true;
  for (int b = 0; b < kFlashBlocks && ok; ++b)
    ok = std::fwrite(board.flash_block(b), 1, kBlockBytes, f) == kBlockBytes;
  return std::fclose(f) == 0 && ok;
}

namespace {

// Why `path` cannot take a file, or empty when it can: its folder must exist.
std::string unusable_path(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty())
    return {};
  std::error_code ec;
  return std::filesystem::is_directory(parent, ec) ? std::string() : "no folder " + parent.string();
}

}  // namespace

// Checked before the run starts, so that a run is never made only to find
// that its results cannot be kept, and a user's file is never overwritten
// by one that is not a flash image.
bool files_usable(const ScenarioFiles& files, std::string* error) {
  const size_t flash_bytes = size_t{kFlashBlocks} * kBlockBytes;
  std::error_code ec;
  if (!files.flash.empty()) {
    const std::string why = unusable_path(files.flash);
    if (!why.empty()) {
      *error = "cannot keep the flash in " + files.flash + ": " + why;
      return false;
    }
    if (std::filesystem::exists(files.flash, ec)) {
      const auto size = std::filesystem::file_size(files.flash, ec);
      if (ec || size != flash_bytes) {
        *error = files.flash + " is no flash image (" +
                 (ec ? std::string("not a file") : std::to_string(size) + " bytes") + ", " +
                 std::to_string(flash_bytes) + " expected): left as it is";
        return false;
      }
    }
  }
  if (!files.state.empty()) {
    const std::string why = unusable_path(files.state);
    if (!why.empty() || (std::filesystem::exists(files.state, ec) &&
                         !std::filesystem::is_directory(files.state, ec))) {
      *error = "cannot write state to " + files.state + ": " + (why.empty() ? "not a folder" : why);
      return false;
    }
  }
  if (!files.trace.empty()) {
    const std::string why = unusable_path(files.trace);
    if (!why.empty()) {
      *error = "cannot write " + files.trace + ": " + why;
      return false;
    }
  }
  return true;
}

bool open_files(SimUsb& usb, const ScenarioFiles& files, const char* program) {
  std::string error;
  if (!files_usable(files, &error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return false;
  }
  if (!files.flash.empty())
    load_flash(usb.board(), files.flash);
  if (!files.trace.empty() && !usb.trace_to(files.trace)) {
    std::fprintf(stderr, "%s: cannot write %s\n", program, files.trace.c_str());
    return false;
  }
  return true;
}

bool save_files(const Board& board, const ScenarioFiles& files, const char* program) {
  bool saved = true;
  if (!files.flash.empty() && !save_flash(board, files.flash)) {
    std::fprintf(stderr, "%s: cannot save %s\n", program, files.flash.c_str());
    saved = false;
  }
  if (!files.state.empty() && !write_state(board, files.state)) {
    std::fprintf(stderr, "%s: cannot write state to %s\n", program, files.state.c_str());
    saved = false;
  }
  return saved;
}

}  // namespace sim
