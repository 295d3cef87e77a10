// The bootloader's exchanges against a board whose every IN transfer, and
// every failing transfer, comes from the input.
//
// The input is a list of operations: queue a raw IN transfer, queue a framed
// reply (header and body, possibly disagreeing), inject a transfer fault or an
// unplug, or call one of the bootloader's exchanges. The target keeps its own
// model of the bus (the queue of IN transfers, the fault list, the transfer
// count) and predicts from the framing rules what each exchange must return
// and deliver; the bootloader must match it, never write outside the caller's
// buffers, never touch the caller's reply on failure, and close the device
// once at the end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "sim/sim_usb.h"
#include "usb/usb_bootloader.h"

namespace {

constexpr int kMaxBody = UsbBootloader::kMessageBytes;  // 265
constexpr int kGuard = 32;
constexpr uint8_t kFill = 0x5C;
constexpr int kOps = 64;  // exchanges per input, so that one input stays fast

using Bytes = std::vector<uint8_t>;

// What the scripted board and the simulated bus do with each transfer.
class BusModel {
 public:
  void queue(Bytes transfer) {
    sim::world().board().push_in(transfer);
    in_.push_back(std::move(transfer));
  }
  void inject(long n, sim::Fault kind) {
    sim::world().inject(n, kind);
    faults_[n] = kind;
  }
  long transfers() const { return transfers_; }

  // Result of an OUT transfer of `size` bytes.
  int write(int size) {
    const sim::Fault f = next();
    if (unplugged_)
      return sim::kErrNoDevice;
    switch (f) {
      case sim::Fault::error:
        in_.clear();
        return sim::kErrIo;
      case sim::Fault::timeout:
        in_.clear();
        return sim::kErrTimeout;
      case sim::Fault::short_count:
        in_.clear();
        return std::max(size - 1, 0);
      default:
        return size;
    }
  }
  // Result of an IN transfer of up to `size` bytes; `got` receives the bytes.
  int read(int size, Bytes* got) {
    got->clear();
    const sim::Fault f = next();
    if (unplugged_)
      return sim::kErrNoDevice;
    if (f == sim::Fault::error || f == sim::Fault::timeout) {
      in_.clear();
      return f == sim::Fault::error ? sim::kErrIo : sim::kErrTimeout;
    }
    if (in_.empty())
      return sim::kErrTimeout;
    Bytes t = std::move(in_.front());
    in_.pop_front();
    int result = static_cast<int>(t.size()) > size ? sim::kErrOverflow : static_cast<int>(t.size());
    if (result >= 0)
      *got = t;
    if (f == sim::Fault::short_count) {
      in_.clear();
      if (result > 0)
        got->resize(static_cast<size_t>(--result));
    }
    return result;
  }

  // The framing rules: a 2-byte header transfer, then the body transfer.
  bool send(int length) { return write(2) == 2 && write(length) == length; }
  struct Received {
    bool header = false;  // a whole header came in; `announced` is valid
    uint16_t announced = 0;
    bool ok = false;
    Bytes body;
  };
  Received receive(int capacity) {
    Received r;
    Bytes h;
    if (read(2, &h) != 2)
      return r;
    r.header = true;
    r.announced = static_cast<uint16_t>(h[0] << 8 | h[1]);
    const int got = read(r.announced, &r.body);
    r.ok = r.announced <= capacity && got == r.announced;
    return r;
  }

 private:
  sim::Fault next() {
    ++transfers_;
    auto it = faults_.find(transfers_);
    const sim::Fault f = it == faults_.end() ? sim::Fault::none : it->second;
    if (f == sim::Fault::unplug)
      unplugged_ = true;
    return f;
  }

  std::deque<Bytes> in_;
  std::map<long, sim::Fault> faults_;
  long transfers_ = 0;
  bool unplugged_ = false;
};

// A heap area of `n` bytes for ASan, followed by guard bytes checked by hand.
struct Guarded {
  explicit Guarded(size_t n) : size(n), bytes(n + kGuard, kFill) {}
  // Null for no room, as driver_transaction() allows for a reply of 0 bytes.
  uint8_t* data() { return size == 0 ? nullptr : bytes.data(); }
  bool guard_intact() const {
    return std::all_of(bytes.begin() + static_cast<long>(size), bytes.end(),
                       [](uint8_t b) { return b == kFill; });
  }
  size_t size;
  Bytes bytes;
};

void run_ops(FuzzInput& in, UsbBootloader& boot, BusModel& bus) {
  for (int op = 0; op < kOps && !in.empty(); ++op) {
    switch (in.u8() % 9) {
      case 0:
        bus.queue(in.sized_bytes());
        break;
      case 1: {
        // A reply as the board frames it, or with a header that lies.
        Bytes body = in.sized_bytes();
        uint16_t announced = static_cast<uint16_t>(body.size());
        if (in.flag())
          announced = static_cast<uint16_t>(announced + static_cast<int8_t>(in.u8()));
        bus.queue({static_cast<uint8_t>(announced >> 8), static_cast<uint8_t>(announced)});
        bus.queue(std::move(body));
        break;
      }
      case 2: {
        const long at = bus.transfers() + 1 + in.u8() % 8;
        const sim::Fault kinds[] = {sim::Fault::error, sim::Fault::short_count, sim::Fault::timeout,
                                    sim::Fault::unplug};
        bus.inject(at, kinds[in.u8() % 4]);
        break;
      }
      case 3: {
        bool sent = bus.send(1);
        BusModel::Received r;
        if (sent)
          r = bus.receive(kMaxBody);
        const bool want = sent && r.ok && r.announced > 0 && r.body[0] == 'B';
        FUZZ_CHECK(boot.identify() == want);
        if (r.header)
          FUZZ_CHECK(boot.last_reply_length() == r.announced);
        break;
      }
      case 4: {
        const uint8_t index = in.u8();
        Bytes block = in.bytes(256);
        block.resize(256, 0xFF);
        FUZZ_CHECK(boot.load_block(index, block.data()) == bus.send(258));
        break;
      }
      case 5: {
        const uint16_t n = in.u16() % 300;
        const uint16_t k = in.u16() % 300;
        Bytes payload = in.bytes(n);
        payload.resize(n + 1, 0);  // +1: never an empty vector's null data()
        Guarded reply(k);
        bool want = false;
        BusModel::Received r;
        if (n < kMaxBody && k < kMaxBody && bus.send(n + 1)) {
          if (k == 0) {
            want = true;
          } else {
            r = bus.receive(kMaxBody);
            want = r.ok && r.announced >= k + 1;
          }
        }
        FUZZ_CHECK(boot.driver_transaction(payload.data(), n, reply.data(), k) == want);
        FUZZ_CHECK(reply.guard_intact());
        for (size_t i = 0; i < k; ++i)
          FUZZ_CHECK(reply.bytes[i] == (want ? r.body[i + 1] : kFill));
        break;
      }
      case 6:
        FUZZ_CHECK(boot.send_command_3() == bus.send(1));
        break;
      case 7: {
        const uint16_t capacity = in.u16() % 300;
        Guarded body(capacity);
        uint16_t length = 0xBEEF;
        const BusModel::Received r = bus.receive(capacity);
        // Never null, even for no room: the guard bytes follow.
        FUZZ_CHECK(boot.receive_message(body.bytes.data(), capacity, &length) == r.ok);
        FUZZ_CHECK(body.guard_intact());
        FUZZ_CHECK(length == (r.header ? r.announced : 0xBEEF));
        if (r.ok)
          FUZZ_CHECK(std::equal(r.body.begin(), r.body.end(), body.bytes.begin()));
        else if (!r.header || r.announced > capacity)
          FUZZ_CHECK(std::all_of(body.bytes.begin(), body.bytes.end(),
                                 [](uint8_t b) { return b == kFill; }));
        break;
      }
      default: {
        const uint16_t length = in.u16() % 600;
        Bytes body = in.bytes(length);
        body.resize(length + 1u, 0);
        FUZZ_CHECK(boot.send_message(body.data(), length) == bus.send(length));
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::BoardConfig scripted;
  scripted.scripted = true;
  sim::world().reset(scripted);
  sim::world().record_calls = false;
  FuzzInput in(data, size);
  {
    UsbBootloader boot;
    FUZZ_CHECK(boot.start());
    BusModel bus;
    run_ops(in, boot, bus);
    FUZZ_CHECK(sim::world().transfers() == bus.transfers());
  }
  FUZZ_CHECK(sim::world().open_handles() == 0);
  return 0;
}
