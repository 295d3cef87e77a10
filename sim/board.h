// The simulated target board: its USB bootloader, the serial-flash driver that
// the host downloads into it, and the serial flash itself.
//
// The model works at the level of bulk transfers, so that every front end
// (the in-process libusb stand-in, the preloaded library, a usbredir server)
// drives the same board: the host's OUT transfers go in through bulk_out(),
// replies come out through bulk_in(). The board frames messages exactly as the
// host does: a 2-byte big-endian length transfer, then the body transfer.
//
// The board has a clock of its own: real time, moved on by pass_time() for
// each time-out that a front end reports at once instead of waiting it out,
// so that a rehearsal with quick time-outs sees the board just as a run
// with real ones does, only sooner. The board takes requests one after the
// other: a request that arrives while it is still formatting is carried out
// when that format ends, and its reply follows the format's. A reply the
// host stopped waiting for is not dropped (the board cannot know that the
// host gave up): the host's next read gets it, so after a format slower
// than the host's time-out each later reply is read one request late.
//
// A test can also hold the board before a block: the reply to a held
// format request is not carried out until let_go(), and every reply asked
// for after it waits behind it. The hold stands outside the board's time: a
// held reply takes its format time from when it is let go, and SimUsb's
// host waits for it whatever its time-out, so that a hold does not change
// the run's lines (a usbredir peer's own time-out still runs).
#ifndef FLASHPREP_SIM_BOARD_H_
#define FLASHPREP_SIM_BOARD_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

// Results of a transfer, as libusb 0.1 reports them on Linux.
constexpr int kErrIo = -5;         // -EIO
constexpr int kErrNoDevice = -19;  // -ENODEV: the device is gone
constexpr int kErrPipe = -32;      // -EPIPE: the endpoint stalled
constexpr int kErrOverflow = -75;  // -EOVERFLOW: more data than asked for
constexpr int kErrTimeout = -110;  // -ETIMEDOUT

// How the board appears on the bus.
constexpr uint16_t kVendorId = 0x15A2;
constexpr uint16_t kProductId = 0x0040;
constexpr uint8_t kEndpointOut = 0x02;  // bulk, host to board
constexpr uint8_t kEndpointIn = 0x81;   // bulk, board to host

constexpr int kRamBytes = 8192;  // driver RAM at 0x20000000
constexpr uint32_t kRamBase = 0x20000000;
constexpr int kFlashBlocks = 4096;
constexpr int kBlockBytes = 256;

// What the board does, chosen once before a run. Defaults are a healthy board.
struct BoardConfig {
  // silent: identify is never answered; silent_once: only the first identify
  // goes unanswered; wrong: first reply byte is not 'B'; empty: the reply has
  // no body (header 00 00).
  enum class Bootloader { normal, silent, wrong, silent_once, empty };
  Bootloader bootloader = Bootloader::normal;
  std::string version = "BOOT 1.0";      // follows the 'B' of the identify reply
  bool scripted = false;                 // answer nothing: replies come only from push_in()
  std::set<int> refuse_driver_blocks;    // command 1 body stalls for these indexes
  bool refuse_init = false;              // the init request stalls
  std::set<int> format_request_fails;    // format request of these blocks stalls
  std::set<int> format_reply_fails;      // no reply for these blocks (host times out)
  std::set<int> short_reply_blocks;      // reply announces and sends fewer than 257 bytes
  std::set<int> oversized_reply_blocks;  // reply announces and sends more than 265 bytes
  std::set<int> refuse_write_blocks;     // write_block of these flash blocks stalls
  uint32_t weak_seed = 1;                // 0: no weak cells
  // Format time: the reply to a format request can be read only this long
  // after the request, for the blocks in format_delay_blocks (empty: all).
  int format_delay_ms = 0;
  std::set<int> format_delay_blocks;
  // Held replies: the reply to a format request of the blocks in
  // hold_blocks (empty: every block) waits for let_go(); the front ends
  // (SimUsb) create hold_file when the board begins to hold, and let go
  // once it was removed. Empty hold_file: nothing is held.
  std::string hold_file;
  std::set<int> hold_blocks;
  // A reply the host has not read survives a new configuration (a new run
  // on the same board reads it first) unless this is set.
  bool drop_reply_on_configuration = false;
  // The USB serial number the board's device descriptor points to (printable
  // ASCII); empty: the board has none (iSerialNumber 0).
  std::string serial;
};

// One request the driver carried out, for tests and reports.
struct DriverEvent {
  enum class Kind { init, write, format, format_unanswered };
  Kind kind;
  int block;  // -1 for init
};

class Board {
 public:
  explicit Board(const BoardConfig& config = BoardConfig());

  // The host wrote `size` bytes to endpoint 0x02. Returns `size` when the
  // board took them, or kErrPipe when it refused them (a stalled endpoint).
  int bulk_out(const uint8_t* data, int size);

  // The host reads up to `size` bytes from endpoint 0x81. Returns the number
  // of bytes of the next pending reply transfer, kErrTimeout when the board
  // has nothing to send yet, or kErrOverflow when the pending transfer is
  // longer than `size` (that transfer is then lost, as on a real bus).
  int bulk_in(uint8_t* data, int size);
  // Milliseconds until bulk_in() has a transfer to give: 0 when it has one
  // now, -1 when no reply is queued at all (a held one is not queued yet).
  int reply_wait_ms() const;
  // True when the next reply the host would read is held: nothing else is
  // queued before it.
  bool reply_held() const { return in_queue_.empty() && !held_.empty(); }
  // True while a reply is held, queued before it or not.
  bool holding() const { return !held_.empty(); }
  // Carries out the held replies now, in the order they were asked for,
  // each taking its format time from now. Nothing held: nothing happens.
  void let_go();
  // A time-out of `ms` was reported at once: the board's clock moves on by
  // it, as real time would have while the host waited.
  void pass_time(int ms) { skipped_ += std::chrono::milliseconds(ms); }

  // The host selected a configuration: a reply it has not read is kept, or
  // dropped with the frame being received when the configuration says so.
  void configured();

  // A transfer failed on the way (an injected fault): the board forgets the
  // frame it was receiving and the rest of the reply it was sending, so that
  // the next exchange starts clean.
  void abort_exchange();

  // Queues one raw IN transfer, bypassing the bootloader (scripted tests).
  void push_in(std::vector<uint8_t> transfer);
  // A reply is queued or held.
  bool reply_pending() const { return !in_queue_.empty() || !held_.empty(); }

  // State, for tests and reports.
  const std::vector<uint8_t>& ram() const { return ram_; }
  // The 256 bytes of a flash block. REQUIRES: 0 <= block < kFlashBlocks.
  const uint8_t* flash_block(int block) const;
  // Stores a whole block (loading a saved flash, for instance).
  void set_flash_block(int block, const uint8_t* data);
  bool driver_loaded() const { return driver_blocks_ > 0; }
  int driver_blocks() const { return driver_blocks_; }
  bool flash_initialised() const { return flash_initialised_; }
  const std::vector<DriverEvent>& events() const { return events_; }
  const BoardConfig& config() const { return config_; }

  // The bits of `block` that stay 0 after an erase: a deterministic function
  // of the seed, so tests can compute the read-back a block will give.
  static void weak_mask(uint32_t seed, int block, uint8_t out[kBlockBytes]);

 private:
  void handle_message(const uint8_t* body, int size);
  void handle_driver(const uint8_t* payload, int size);
  // Queues the reply `body`, readable `delay_ms` after the board is done
  // with what it was asked before; held, or asked for while another one is
  // held, it waits for let_go().
  void reply(const std::vector<uint8_t>& body, int delay_ms = 0, bool held = false);
  bool refuses(const uint8_t* body, int size) const;

  BoardConfig config_;
  std::vector<uint8_t> ram_;
  // Erased blocks (all 0xFF) hold no storage: a run's peak memory is then
  // mostly the host's own, not the simulated flash's.
  std::vector<std::unique_ptr<uint8_t[]>> flash_;
  using Clock = std::chrono::steady_clock;
  struct Transfer {
    std::vector<uint8_t> bytes;
    Clock::time_point ready;  // when the host can read it; the epoch: at once
  };
  bool is_ready(const Transfer& t) const;
  Clock::time_point now() const { return Clock::now() + skipped_; }
  std::deque<Transfer> in_queue_;
  struct HeldReply {
    std::vector<uint8_t> body;
    int delay_ms;
  };
  std::deque<HeldReply> held_;            // replies not carried out until let_go()
  std::chrono::milliseconds skipped_{0};  // time-outs reported at once, so far
  Clock::time_point busy_until_;          // end of the format under way; the epoch: idle
  int expected_body_ = -1;                // -1: waiting for a header
  int driver_blocks_ = 0;
  int identifies_ = 0;  // identify requests received
  bool flash_initialised_ = false;
  std::vector<DriverEvent> events_;
};

}  // namespace sim

#endif  // FLASHPREP_SIM_BOARD_H_
