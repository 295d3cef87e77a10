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

bool configure_from_environment(SimUsb& usb, const Getenv& get, ScenarioFiles* files,
                                std::string* error) {
  auto value = [&](const char* name) -> std::string {
    const char* v = get(name);
    return v == nullptr ? std::string() : std::string(v);
  };
  auto fail = [&](const char* name, const char* wanted = nullptr) {
    *error = std::string("bad value for ") + name + ": '" + value(name) + "' (" +
             (wanted == nullptr ? "" : std::string(wanted) + "; ") + kHelpHint +
             " lists the values)";
    usb.reset();
    return false;
  };
  // A flag is 0 or 1: "yes" or "true" would otherwise pass for one of them.
  auto flag = [&](const char* name, bool* out) {
    const std::string v = value(name);
    if (!v.empty() && v != "0" && v != "1")
      return false;
    *out = v == "1";
    return true;
  };

  BoardConfig config;
  const std::string bootloader = value("FLASHPREP_SIM_BOOTLOADER");
  if (bootloader == "silent")
    config.bootloader = BoardConfig::Bootloader::silent;
  else if (bootloader == "wrong")
    config.bootloader = BoardConfig::Bootloader::wrong;
  else if (bootloader == "silent-once")
    config.bootloader = BoardConfig::Bootloader::silent_once;
  else if (bootloader == "empty")
    config.bootloader = BoardConfig::Bootloader::empty;
  else if (!bootloader.empty() && bootloader != "normal")
    return fail("FLASHPREP_SIM_BOOTLOADER");
  if (get("FLASHPREP_SIM_VERSION") != nullptr)
    config.version = value("FLASHPREP_SIM_VERSION");

  const struct ListVar {
    const char* name;
    std::set<int>* target;
  } lists[] = {
      {"FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS", &config.refuse_driver_blocks},
      {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", &config.format_request_fails},
      {"FLASHPREP_SIM_FORMAT_REPLY_FAILS", &config.format_reply_fails},
      {"FLASHPREP_SIM_SHORT_REPLY", &config.short_reply_blocks},
      {"FLASHPREP_SIM_OVERSIZED_REPLY", &config.oversized_reply_blocks},
      {"FLASHPREP_SIM_REFUSE_WRITES", &config.refuse_write_blocks},
      {"FLASHPREP_SIM_FORMAT_DELAY_BLOCKS", &config.format_delay_blocks},
  };
  for (const ListVar& l : lists)
    if (get(l.name) != nullptr && !parse_block_list(value(l.name), l.target))
      return fail(l.name, "blocks 0 to 4095: N, N-M, comma separated, or all");

  if (!flag("FLASHPREP_SIM_REFUSE_INIT", &config.refuse_init))
    return fail("FLASHPREP_SIM_REFUSE_INIT", "0 or 1");
  long long number = 0;
  if (get("FLASHPREP_SIM_WEAK_SEED") != nullptr) {
    if (!parse_number(value("FLASHPREP_SIM_WEAK_SEED"), &number) || number > 0xFFFFFFFFLL)
      return fail("FLASHPREP_SIM_WEAK_SEED");
    config.weak_seed = static_cast<uint32_t>(number);
  }
  if (get("FLASHPREP_SIM_FORMAT_DELAY_MS") != nullptr) {
    // An hour at most, so that it fits an int of milliseconds.
    if (!parse_number(value("FLASHPREP_SIM_FORMAT_DELAY_MS"), &number) || number > 3600000)
      return fail("FLASHPREP_SIM_FORMAT_DELAY_MS");
    config.format_delay_ms = static_cast<int>(number);
  }
  if (get("FLASHPREP_SIM_SERIAL") != nullptr) {
    config.serial = value("FLASHPREP_SIM_SERIAL");
    const bool printable = std::all_of(config.serial.begin(), config.serial.end(),
                                       [](char c) { return c >= ' ' && c <= '~'; });
    if (config.serial.empty() || config.serial.size() > kMostStringChars || !printable)
      return fail("FLASHPREP_SIM_SERIAL", "1 to 126 printable ASCII characters");
  }
  const std::string pending = value("FLASHPREP_SIM_PENDING_REPLY");
  if (pending == "drop")
    config.drop_reply_on_configuration = true;
  else if (!pending.empty() && pending != "keep")
    return fail("FLASHPREP_SIM_PENDING_REPLY");

  usb.reset(config);
  const std::string board = value("FLASHPREP_SIM_BOARD");
  if (board == "none") {
    usb.clear_devices();
  } else if (board == "wrong-vid" || board == "wrong-pid") {
    usb.clear_devices();
    usb.add_device(1, board == "wrong-vid" ? kVendorId + 1 : kVendorId,
                   board == "wrong-vid" ? kProductId : kProductId + 1, 0);
  } else if (board == "two") {
    usb.add_device(2, kVendorId, kProductId, usb.add_board(config));
  } else if (!board.empty() && board != "normal") {
    return fail("FLASHPREP_SIM_BOARD");
  }

  const std::string refuse = value("FLASHPREP_SIM_REFUSE");
  if (refuse == "open")
    usb.open_fails = true;
  else if (refuse == "configuration")
    usb.set_configuration_result = kErrPipe;
  else if (refuse == "claim")
    usb.claim_interface_result = -16;  // -EBUSY: another driver holds it
  else if (!refuse.empty())
    return fail("FLASHPREP_SIM_REFUSE");

  if (get("FLASHPREP_SIM_UNPLUG_AFTER") != nullptr) {
    if (!parse_number(value("FLASHPREP_SIM_UNPLUG_AFTER"), &number))
      return fail("FLASHPREP_SIM_UNPLUG_AFTER");
    usb.unplug_after(transfer_number(number));
  }
  if (get("FLASHPREP_SIM_FAULT") != nullptr && !parse_faults(value("FLASHPREP_SIM_FAULT"), usb))
    return fail("FLASHPREP_SIM_FAULT");
  if (!flag("FLASHPREP_SIM_REAL_TIMEOUTS", &usb.real_timeouts))
    return fail("FLASHPREP_SIM_REAL_TIMEOUTS", "0 or 1");
  const std::string boards = value("FLASHPREP_SIM_BOARDS");
  std::error_code ec;
  if (!boards.empty() && !std::filesystem::is_directory(boards, ec))
    return fail("FLASHPREP_SIM_BOARDS", "no such folder");
  // A long run keeps no call log in the preloaded library: nothing reads it.
  usb.record_calls = false;

  files->flash = value("FLASHPREP_SIM_FLASH");
  files->state = value("FLASHPREP_SIM_STATE");
  files->trace = value("FLASHPREP_SIM_TRACE");
  files->boards = boards;
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
