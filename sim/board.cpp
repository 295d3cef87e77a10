#include "sim/board.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sim {
namespace {

constexpr uint8_t kIdentify = 0x00;
constexpr uint8_t kLoadBlock = 0x01;
constexpr uint8_t kDriver = 0x02;
constexpr uint8_t kInit = 0x00;
constexpr uint8_t kWrite = 0x01;
constexpr uint8_t kFormat = 0x02;
constexpr int kShortReplyBytes = 129;      // status byte and half a block
constexpr int kOversizedReplyBytes = 300;  // more than the host's 265-byte buffer

uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool contains(const std::set<int>& s, int v) {
  return s.count(v) != 0;
}

}  // namespace

Board::Board(const BoardConfig& config)
    : config_(config), ram_(kRamBytes, 0xFF), flash_(kFlashBlocks) {}

namespace {

// An erased block's cells. Nothing to destroy at exit: the board's state is
// saved from a static destructor, which may run after those of statics made
// later than it.
const uint8_t* erased_block() {
  static const std::array<uint8_t, kBlockBytes> erased = [] {
    std::array<uint8_t, kBlockBytes> a{};
    a.fill(0xFF);
    return a;
  }();
  return erased.data();
}

}  // namespace

const uint8_t* Board::flash_block(int block) const {
  const auto& cells = flash_.at(block);
  return cells ? cells.get() : erased_block();
}

void Board::set_flash_block(int block, const uint8_t* data) {
  auto& cells = flash_.at(block);
  // memcmp rather than a loop of byte tests: every format of every run
  // passes here, and the whole fault sweep is made of runs.
  if (std::memcmp(data, erased_block(), kBlockBytes) == 0) {
    cells.reset();
    return;
  }
  if (!cells)
    cells.reset(new uint8_t[kBlockBytes]);
  std::memcpy(cells.get(), data, kBlockBytes);
}

void Board::weak_mask(uint32_t seed, int block, uint8_t out[kBlockBytes]) {
  std::memset(out, 0xFF, kBlockBytes);
  if (seed == 0)
    return;
  // About one block in eight has one to three bits that no longer erase.
  uint64_t h = splitmix64((static_cast<uint64_t>(seed) << 32) ^ static_cast<uint32_t>(block));
  if ((h & 7) != 0)
    return;
  int bits = 1 + static_cast<int>((h >> 3) % 3);
  for (int b = 0; b < bits; ++b) {
    h = splitmix64(h);
    int bit = static_cast<int>(h % (uint64_t{kBlockBytes} * 8));
    out[bit / 8] = static_cast<uint8_t>(out[bit / 8] & ~(1u << (bit % 8)));
  }
}

bool Board::refuses(const uint8_t* body, int size) const {
  if (size < 1)
    return false;
  if (body[0] == kLoadBlock && size >= 2)
    return contains(config_.refuse_driver_blocks, body[1]);
  if (body[0] != kDriver || size < 2 || !driver_loaded())
    return false;
  const uint8_t sub = body[1];
  if (sub == kInit)
    return config_.refuse_init;
  if (size < 4)
    return false;
  const int block = be16(&body[2]);
  if (sub == kFormat)
    return contains(config_.format_request_fails, block);
  if (sub == kWrite)
    return contains(config_.refuse_write_blocks, block);
  return false;
}

int Board::bulk_out(const uint8_t* data, int size) {
  if (expected_body_ < 0) {
    // A transfer that is not a 2-byte header is noise to the bootloader.
    if (size == 2)
      expected_body_ = be16(data);
    return size;
  }
  const int expected = expected_body_;
  expected_body_ = -1;
  if (size != expected)
    return size;  // framing broken by the host: drop the frame
  if (refuses(data, size))
    return kErrPipe;
  handle_message(data, size);
  return size;
}

int Board::bulk_in(uint8_t* data, int size) {
  if (in_queue_.empty() || !is_ready(in_queue_.front()))
    return kErrTimeout;
  std::vector<uint8_t> transfer = std::move(in_queue_.front().bytes);
  in_queue_.pop_front();
  if (static_cast<int>(transfer.size()) > size)
    return kErrOverflow;
  if (!transfer.empty())
    std::memcpy(data, transfer.data(), transfer.size());
  return static_cast<int>(transfer.size());
}

bool Board::is_ready(const Transfer& t) const {
  // Only a transfer with a format time asks the clock: a full run makes
  // thousands of reads.
  return t.ready == Clock::time_point() || t.ready <= now();
}

int Board::reply_wait_ms() const {
  if (in_queue_.empty())
    return -1;
  if (is_ready(in_queue_.front()))
    return 0;
  const auto left = in_queue_.front().ready - now();
  // Rounded up: a caller that sleeps this long finds the transfer ready.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void Board::configured() {
  if (config_.drop_reply_on_configuration)
    abort_exchange();
}

void Board::abort_exchange() {
  expected_body_ = -1;
  in_queue_.clear();
  held_.clear();
}

void Board::let_go() {
  std::deque<HeldReply> held;
  held.swap(held_);
  for (const HeldReply& r : held)
    reply(r.body, r.delay_ms);
}

void Board::push_in(std::vector<uint8_t> transfer) {
  in_queue_.push_back({std::move(transfer), Clock::time_point()});
}

void Board::reply(const std::vector<uint8_t>& body, int delay_ms, bool held) {
  if (held || !held_.empty()) {
    held_.push_back({body, delay_ms});
    return;
  }
  const auto n = static_cast<uint16_t>(body.size());
  // One request after the other: work asked for while a format is under way
  // starts when it ends. Only then is the clock asked, as in is_ready().
  Clock::time_point start;  // the epoch: at once
  if (busy_until_ != Clock::time_point() && busy_until_ > now())
    start = busy_until_;
  else if (delay_ms > 0)
    start = now();
  const Clock::time_point ready =
      delay_ms > 0 ? start + std::chrono::milliseconds(delay_ms) : start;
  busy_until_ = ready;
  in_queue_.push_back({{static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)}, ready});
  in_queue_.push_back({body, ready});
}

void Board::handle_message(const uint8_t* body, int size) {
  if (config_.scripted || size < 1)
    return;
  switch (body[0]) {
    case kIdentify: {
      const bool first = identifies_++ == 0;
      if (config_.bootloader == BoardConfig::Bootloader::silent ||
          (config_.bootloader == BoardConfig::Bootloader::silent_once && first))
        return;
      if (config_.bootloader == BoardConfig::Bootloader::empty) {
        reply({});
        return;
      }
      std::vector<uint8_t> answer(1 + config_.version.size());
      answer[0] = config_.bootloader == BoardConfig::Bootloader::wrong ? 'b' : 'B';
      std::copy(config_.version.begin(), config_.version.end(), answer.begin() + 1);
      reply(answer);
      return;
    }
    case kLoadBlock:
      if (size == 2 + kBlockBytes && body[1] * kBlockBytes < kRamBytes) {
        std::memcpy(&ram_[size_t{body[1]} * kBlockBytes], &body[2], kBlockBytes);
        ++driver_blocks_;
      }
      return;
    case kDriver:
      // Until a driver is in RAM nothing answers: the host's read times out.
      if (driver_loaded() && size >= 2)
        handle_driver(body + 1, size - 1);
      return;
    default:
      return;  // command 3 and unknown commands: nothing to do, nothing sent
  }
}

void Board::handle_driver(const uint8_t* payload, int size) {
  const uint8_t sub = payload[0];
  if (sub == kInit) {
    flash_initialised_ = true;
    events_.push_back({DriverEvent::Kind::init, -1});
    return;
  }
  if (size < 3)
    return;
  const int block = be16(&payload[1]);
  if (block >= kFlashBlocks)
    return;
  if (sub == kWrite) {
    if (size < 3 + kBlockBytes)
      return;
    // The driver erases before it programs, so a block holds exactly what
    // was last written to it.
    set_flash_block(block, &payload[3]);
    events_.push_back({DriverEvent::Kind::write, block});
    return;
  }
  if (sub != kFormat)
    return;
  uint8_t mask[kBlockBytes];
  weak_mask(config_.weak_seed, block, mask);
  set_flash_block(block, mask);
  if (contains(config_.format_reply_fails, block)) {
    events_.push_back({DriverEvent::Kind::format_unanswered, block});
    return;
  }
  events_.push_back({DriverEvent::Kind::format, block});
  std::vector<uint8_t> answer(1 + kBlockBytes);
  answer[0] = 0x00;  // status: erased and read back
  std::memcpy(&answer[1], mask, kBlockBytes);
  if (contains(config_.short_reply_blocks, block))
    answer.resize(kShortReplyBytes);
  else if (contains(config_.oversized_reply_blocks, block))
    answer.resize(kOversizedReplyBytes, 0xEE);
  const bool slow =
      config_.format_delay_blocks.empty() || contains(config_.format_delay_blocks, block);
  const bool held = !config_.hold_file.empty() &&
                    (config_.hold_blocks.empty() || contains(config_.hold_blocks, block));
  reply(answer, slow ? config_.format_delay_ms : 0, held);
}

}  // namespace sim
