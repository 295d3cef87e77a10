#include "sim/sim_usb.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <thread>

namespace sim {
namespace {

constexpr int kErrInvalid = -22;  // -EINVAL: no such handle
constexpr int kErrNoEntry = -2;   // -ENOENT: no such endpoint
constexpr uint8_t kDescString = 3;
constexpr uint8_t kVendorClass = 0xFF;
constexpr uint8_t kMaxPacket0 = 64;
constexpr uint16_t kDeviceRelease = 0x0100;

// String descriptor `index` of a board's device (`board` null: a foreign
// device, which has none); false for one it does not have.
bool string_descriptor(const Board* board, int index, std::vector<uint8_t>* out) {
  if (board == nullptr)
    return false;
  if (index == 0) {
    *out = {4, kDescString, 0x09, 0x04};  // English (United States)
    return true;
  }
  const std::string text = index == kStringManufacturer ? "flashprep"
                           : index == kStringProduct    ? "Simulated target board"
                           : index == kStringSerial     ? board->config().serial
                                                        : std::string();
  if (text.empty())
    return false;
  out->assign({0, kDescString});
  for (const char c : text) {
    out->push_back(static_cast<uint8_t>(c));
    out->push_back(0);  // UTF-16LE, as USB strings are; the text is ASCII
  }
  (*out)[0] = static_cast<uint8_t>(out->size());
  return true;
}

CallRecord make_call(const char* name, int device = -1, int arg = 0, int size = 0, int timeout = 0,
                     int result = 0) {
  CallRecord c;
  c.name = name;
  c.device = device;
  c.arg = arg;
  c.size = size;
  c.timeout = timeout;
  c.result = result;
  return c;
}

}  // namespace

SimUsb& world() {
  static SimUsb instance;
  return instance;
}

void SimUsb::reset(const BoardConfig& config) {
  boards_.clear();
  entries_.clear();
  bus_list_.clear();
  device_list_.clear();
  device_entry_.clear();
  bus_head_ = nullptr;
  handles_.clear();
  calls_.clear();
  faults_.clear();
  during_transfer_ = 0;
  during_action_ = nullptr;
  when_closed_ = nullptr;
  plugged_ = nullptr;
  output_size_ = nullptr;
  output_at_.clear();
  transfers_ = 0;
  close_calls_ = 0;
  release_calls_ = 0;
  unplug_after_ = -1;
  unplugged_ = false;
  trace_.reset();
  open_fails = false;
  set_configuration_result = 0;
  claim_interface_result = 0;
  real_timeouts = false;
  record_calls = true;
  add_device(1, kVendorId, kProductId, add_board(config));
}

void SimUsb::clear_devices() {
  entries_.clear();
}

int SimUsb::add_board(const BoardConfig& config) {
  boards_.emplace_back(config);
  return static_cast<int>(boards_.size()) - 1;
}

void SimUsb::add_device(int bus, uint16_t vid, uint16_t pid, int board) {
  entries_.push_back({bus, vid, pid, board});
}

void SimUsb::inject(long n, Fault kind) {
  faults_[n] = kind;
}

void SimUsb::note_output(std::function<long()> size) {
  if (size)
    output_at_.clear();
  output_size_ = std::move(size);
}

void SimUsb::during_transfer(long n, std::function<void()> action) {
  during_transfer_ = n;
  during_action_ = std::move(action);
}

bool SimUsb::trace_to(const std::string& path) {
  trace_ = PcapTrace::create(path);
  return trace_ != nullptr;
}

bool SimUsb::close_trace() {
  const bool written = trace_ == nullptr || trace_->close();
  trace_.reset();
  return written;
}

void SimUsb::flush_trace() {
  if (trace_)
    trace_->flush();
}

std::vector<CallRecord> SimUsb::calls_named(const std::string& name) const {
  std::vector<CallRecord> out;
  std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
               [&](const CallRecord& c) { return c.name == name; });
  return out;
}

int SimUsb::count(const std::string& name) const {
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                        [&](const CallRecord& c) { return c.name == name; }));
}

int SimUsb::open_handles() const {
  return static_cast<int>(std::count_if(handles_.begin(), handles_.end(),
                                        [](const usb_dev_handle& h) { return !h.closed; }));
}

void SimUsb::record(CallRecord call) {
  if (record_calls)
    calls_.push_back(std::move(call));
}

void SimUsb::init() {
  record(make_call("usb_init"));
}

int SimUsb::find_busses() {
  // Buses appear in the order their first device was added.
  bus_list_.clear();
  std::vector<int> numbers;
  for (const DeviceEntry& e : entries_)
    if (std::find(numbers.begin(), numbers.end(), e.bus) == numbers.end())
      numbers.push_back(e.bus);
  usb_bus* prev = nullptr;
  for (int number : numbers) {
    bus_list_.emplace_back();
    usb_bus& bus = bus_list_.back();
    // Room for PATH_MAX characters: a bus number is never cut.
    (void)std::snprintf(bus.dirname, sizeof bus.dirname, "%03d", number);
    bus.location = static_cast<uint32_t>(number);
    bus.prev = prev;
    if (prev != nullptr)
      prev->next = &bus;
    prev = &bus;
  }
  bus_head_ = bus_list_.empty() ? nullptr : &bus_list_.front();
  record(make_call("usb_find_busses", -1, 0, 0, 0, static_cast<int>(numbers.size())));
  return static_cast<int>(numbers.size());
}

int SimUsb::find_devices() {
  device_list_.clear();
  device_entry_.clear();
  int found = 0;
  for (usb_bus& bus : bus_list_) {
    bus.devices = nullptr;
    struct usb_device* prev = nullptr;
    int devnum = 1;  // 1 is the root hub
    for (size_t i = 0; i < entries_.size(); ++i) {
      const DeviceEntry& e = entries_[i];
      if (static_cast<uint32_t>(e.bus) != bus.location)
        continue;
      if (unplugged_ && e.board >= 0)
        continue;  // a vanished board is no longer listed
      device_list_.emplace_back();
      struct usb_device& dev = device_list_.back();
      (void)std::snprintf(dev.filename, sizeof dev.filename, "%03d", ++devnum);
      dev.bus = &bus;
      // The descriptor the usbredir board serves to a guest too.
      dev.descriptor.bLength = USB_DT_DEVICE_SIZE;
      dev.descriptor.bDescriptorType = USB_DT_DEVICE;
      dev.descriptor.bcdUSB = 0x0200;  // USB 2.0, run at full speed
      dev.descriptor.bDeviceClass = kVendorClass;
      dev.descriptor.bMaxPacketSize0 = kMaxPacket0;
      dev.descriptor.idVendor = e.vid;
      dev.descriptor.idProduct = e.pid;
      dev.descriptor.bcdDevice = kDeviceRelease;
      if (e.board >= 0) {
        dev.descriptor.iManufacturer = kStringManufacturer;
        dev.descriptor.iProduct = kStringProduct;
        if (!boards_.at(e.board).config().serial.empty())
          dev.descriptor.iSerialNumber = kStringSerial;
      }
      dev.descriptor.bNumConfigurations = 1;
      dev.devnum = static_cast<uint8_t>(devnum);
      dev.prev = prev;
      if (prev != nullptr)
        prev->next = &dev;
      else
        bus.devices = &dev;
      prev = &dev;
      device_entry_[&dev] = static_cast<int>(i);
      ++found;
    }
  }
  record(make_call("usb_find_devices", -1, 0, 0, 0, found));
  return found;
}

usb_bus* SimUsb::get_busses() {
  record(make_call("usb_get_busses", -1, 0, 0, 0, bus_head_ != nullptr));
  return bus_head_;
}

usb_dev_handle* SimUsb::open(struct usb_device* dev) {
  auto it = device_entry_.find(dev);
  const int entry = it == device_entry_.end() ? -1 : it->second;
  if (entry < 0 || open_fails) {
    record(make_call("usb_open", entry, 0, 0, 0, 0));
    return nullptr;
  }
  handles_.push_back({entry, false, false});
  record(make_call("usb_open", entry, 0, 0, 0, 1));
  return &handles_.back();
}

int SimUsb::handle_result(usb_dev_handle* h, int wanted) {
  if (h == nullptr || h->closed)
    return kErrInvalid;
  if (unplugged_ && entries_.at(h->device).board >= 0)
    return kErrNoDevice;
  return wanted;
}

int SimUsb::close(usb_dev_handle* h) {
  ++close_calls_;
  int result = (h == nullptr || h->closed) ? kErrInvalid : 0;
  record(make_call("usb_close", h ? h->device : -1, 0, 0, 0, result));
  if (result == 0) {
    h->closed = true;
    if (when_closed_)
      when_closed_();
  }
  return result;
}

int SimUsb::set_configuration(usb_dev_handle* h, int configuration) {
  int result = handle_result(h, set_configuration_result);
  Board* target = result == 0 ? board_of(h) : nullptr;
  if (target != nullptr)
    target->configured();
  record(make_call("usb_set_configuration", h ? h->device : -1, configuration, 0, 0, result));
  return result;
}

int SimUsb::claim_interface(usb_dev_handle* h, int interface) {
  int result = handle_result(h, claim_interface_result);
  if (result == 0)
    h->claimed = true;
  record(make_call("usb_claim_interface", h ? h->device : -1, interface, 0, 0, result));
  return result;
}

int SimUsb::release_interface(usb_dev_handle* h, int interface) {
  ++release_calls_;
  int result = handle_result(h, 0);
  if (result == 0)
    h->claimed = false;
  record(make_call("usb_release_interface", h ? h->device : -1, interface, 0, 0, result));
  return result;
}

int SimUsb::reset_device(usb_dev_handle* h) {
  int result = handle_result(h, 0);
  record(make_call("usb_reset", h ? h->device : -1, 0, 0, 0, result));
  return result;
}

int SimUsb::get_string(usb_dev_handle* h, int index, int /*langid*/, char* bytes, size_t size) {
  int result = handle_result(h, 0);
  std::vector<uint8_t> descriptor;
  if (result == 0 && !string_descriptor(board_of(h), index, &descriptor))
    result = kErrPipe;
  if (result == 0) {
    const size_t given = std::min(descriptor.size(), size);
    if (given > 0)
      std::memcpy(bytes, descriptor.data(), given);
    result = static_cast<int>(given);
  }
  record(make_call("usb_get_string", h ? h->device : -1, index,
                   static_cast<int>(std::min<size_t>(size, 0xFFFF)), 0, result));
  return result;
}

int SimUsb::reply_wait_ms(usb_dev_handle* h) {
  Board* target = handle_result(h, 0) == 0 ? board_of(h) : nullptr;
  if (target == nullptr)
    return -1;
  return still_held(*target) ? kHoldLookMs : target->reply_wait_ms();
}

void SimUsb::say_held(Board& board) {
  const std::string& path = board.config().hold_file;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f != nullptr && std::fclose(f) == 0)
    return;
  // A hold nobody can see would keep the host waiting for good.
  std::fprintf(stderr, "flashprep-sim: cannot create %s: the reply is not held\n", path.c_str());
  board.let_go();
}

bool SimUsb::still_held(Board& board) {
  if (!board.reply_held())
    return false;
  // Only a file known to be gone lets the reply go: one that cannot be
  // looked at just now may still be there.
  std::error_code ec;
  if (!std::filesystem::exists(board.config().hold_file, ec) && !ec)
    board.let_go();
  return board.reply_held();
}

int SimUsb::wait_for_reply(Board& board, uint8_t* data, int size, int timeout) {
  if (timeout > 0) {
    while (still_held(board)) {
      if (plugged_ && !plugged_()) {
        unplugged_ = true;
        return kErrNoDevice;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kHoldLookMs));
    }
  } else {
    (void)still_held(board);  // a reply let go with no format time is taken at once
  }
  // The board is still preparing the reply: this wait is real time in every
  // mode, as a format takes real time on a board. A reply that became ready
  // since bulk_in() looked (wait 0) is taken at once.
  const int wait = board.reply_wait_ms();
  if (wait < 0 || wait > timeout)
    return kErrTimeout;
  if (wait > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  return board.bulk_in(data, size);
}

Board* SimUsb::board_of(usb_dev_handle* h) {
  // Only called for a handle that handle_result() accepted, never null.
  // cppcheck-suppress nullPointerRedundantCheck
  const int b = entries_.at(h->device).board;
  return b < 0 ? nullptr : &boards_.at(b);
}

Fault SimUsb::next_transfer_fault(long n) {
  if (output_size_)
    output_at_.push_back(output_size_());
  if (n == during_transfer_ && during_action_)
    during_action_();
  auto it = faults_.find(n);
  Fault f = it == faults_.end() ? Fault::none : it->second;
  if (f == Fault::unplug || (unplug_after_ >= 0 && n > unplug_after_))
    unplugged_ = true;
  return f;
}

int SimUsb::time_out(int timeout_ms) {
  if (real_timeouts && timeout_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
  else if (timeout_ms > 0)
    // Reported at once: the time the host would have waited passes on every
    // board all the same, so a slow format looks as it does in real time.
    for (Board& b : boards_)
      b.pass_time(timeout_ms);
  return kErrTimeout;
}

int SimUsb::bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout) {
  const Fault fault = next_transfer_fault(++transfers_);
  const auto* data = reinterpret_cast<const uint8_t*>(bytes);
  int result = handle_result(h, 0);
  Board* target = result == 0 ? board_of(h) : nullptr;
  if (result == 0) {
    if (ep != kEndpointOut || size < 0) {
      result = kErrNoEntry;
    } else if (fault == Fault::error || fault == Fault::timeout || fault == Fault::short_count) {
      // The transfer never reached the board whole: it drops the frame.
      if (target != nullptr)
        target->abort_exchange();
      result = fault == Fault::error     ? kErrIo
               : fault == Fault::timeout ? time_out(timeout)
                                         : std::max(size - 1, 0);
    } else if (target == nullptr) {
      result = time_out(timeout);  // a foreign device does not take our requests
    } else {
      const bool was_holding = target->holding();
      result = target->bulk_out(data, size);
      if (!was_holding && target->holding())
        say_held(*target);
    }
  }
  if (trace_ && h != nullptr)
    trace_->bulk(1, h->device + 2, ep, data, size, result);
  if (record_calls) {
    CallRecord call = make_call("usb_bulk_write", h ? h->device : -1, ep, size, timeout, result);
    if (size > 0)
      call.data.assign(data, data + size);
    record(std::move(call));
  }
  return result;
}

int SimUsb::bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
  const Fault fault = next_transfer_fault(++transfers_);
  auto* data = reinterpret_cast<uint8_t*>(bytes);
  int result = handle_result(h, 0);
  Board* target = result == 0 ? board_of(h) : nullptr;
  if (result == 0) {
    if (ep != kEndpointIn || size < 0) {
      result = kErrNoEntry;
    } else if (target == nullptr) {
      result = time_out(timeout);
    } else if (fault == Fault::error) {
      target->abort_exchange();
      result = kErrIo;
    } else if (fault == Fault::timeout) {
      target->abort_exchange();
      result = time_out(timeout);
    } else {
      result = target->bulk_in(data, size);
      if (result == kErrTimeout)
        result = wait_for_reply(*target, data, size, timeout);
      if (result == kErrTimeout)
        result = time_out(timeout);
      if (fault == Fault::short_count) {
        // Part of the transfer was lost on the way; so is the rest of the reply.
        target->abort_exchange();
        if (result > 0)
          --result;
      }
    }
  }
  if (trace_ && h != nullptr)
    trace_->bulk(1, h->device + 2, ep, data, size, result);
  if (record_calls) {
    CallRecord call = make_call("usb_bulk_read", h ? h->device : -1, ep, size, timeout, result);
    if (result > 0)
      call.data.assign(data, data + result);
    record(std::move(call));
  }
  return result;
}

}  // namespace sim
