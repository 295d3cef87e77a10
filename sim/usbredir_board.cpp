#include "sim/usbredir_board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace sim {
namespace {

constexpr int kMaxPacket = 64;
// An IN transfer is taken from the board whole before its first packet goes:
// room for the longest reply a 16-bit length header can announce.
constexpr int kLongestTransfer = 0x10000;
constexpr uint8_t kVendorClass = 0xFF;

// Standard requests (bmRequestType, bRequest) that reach the device as
// control packets; configuration and interface selection come as their own
// usbredir packets.
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kTypeMask = 0x60;  // standard, class or vendor

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescString = 3;
constexpr size_t kLongestString = 255;

// usbredir's slot of an endpoint address in interface and ep_info packets.
int endpoint_slot(uint8_t address) {
  return ((address & 0x80) >> 3) | (address & 0x0F);
}

// The device descriptor as the bus lists it, in its wire form.
std::vector<uint8_t> device_descriptor(const usb_device_descriptor& d) {
  return {d.bLength,
          d.bDescriptorType,
          static_cast<uint8_t>(d.bcdUSB & 0xFF),
          static_cast<uint8_t>(d.bcdUSB >> 8),
          d.bDeviceClass,
          d.bDeviceSubClass,
          d.bDeviceProtocol,
          d.bMaxPacketSize0,
          static_cast<uint8_t>(d.idVendor & 0xFF),
          static_cast<uint8_t>(d.idVendor >> 8),
          static_cast<uint8_t>(d.idProduct & 0xFF),
          static_cast<uint8_t>(d.idProduct >> 8),
          static_cast<uint8_t>(d.bcdDevice & 0xFF),
          static_cast<uint8_t>(d.bcdDevice >> 8),
          d.iManufacturer,
          d.iProduct,
          d.iSerialNumber,
          d.bNumConfigurations};
}

// The configuration read as a USB table: a record a line.
// clang-format off
std::vector<uint8_t> configuration_descriptor() {
  return {9, kDescConfiguration, 32, 0, 1, 1, 0, 0x80, 50,  // bus powered, 100 mA
          9, 4, 0, 0, 2, kVendorClass, 0x00, 0x00, 0,        // interface 0, two endpoints
          7, 5, kEndpointOut, 0x02, kMaxPacket, 0, 0,        // bulk OUT
          7, 5, kEndpointIn, 0x02, kMaxPacket, 0, 0};        // bulk IN
}
// clang-format on

UsbredirBoard* self(void* priv) {
  return static_cast<UsbredirBoard*>(priv);
}

}  // namespace

UsbredirBoard::UsbredirBoard(SimUsb& usb, int fd)
    : usb_(usb), fd_(fd), in_transfer_(kLongestTransfer) {}

UsbredirBoard::~UsbredirBoard() {
  if (parser_ != nullptr)
    usbredirparser_destroy(parser_);
}

bool UsbredirBoard::servable(const SimUsb& usb, std::string* error) {
  if (usb.open_fails || usb.claim_interface_result != 0) {
    *error =
        "FLASHPREP_SIM_REFUSE=open or =claim: the host's kernel does those, no request "
        "reaches a device on a wire";
    return false;
  }
  return true;
}

struct usb_device* UsbredirBoard::first_device(SimUsb& usb) {
  usb.find_busses();
  usb.find_devices();
  for (usb_bus* bus = usb.get_busses(); bus != nullptr; bus = bus->next) {
    if (bus->devices != nullptr)
      return bus->devices;
  }
  return nullptr;
}

bool UsbredirBoard::device_id(SimUsb& usb, uint16_t* vendor, uint16_t* product) {
  const struct usb_device* device = first_device(usb);
  if (device == nullptr)
    return false;
  *vendor = device->descriptor.idVendor;
  *product = device->descriptor.idProduct;
  return true;
}

bool UsbredirBoard::start(std::string* error) {
  if (!servable(usb_, error))
    return false;
  // Time-outs are the host's business here: a board that does not answer
  // just holds the request.
  usb_.real_timeouts = false;
  struct usb_device* device = first_device(usb_);
  if (device != nullptr) {
    descriptor_ = device->descriptor;
    handle_ = usb_.open(device);
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);

  parser_ = usbredirparser_create();
  if (parser_ == nullptr) {
    *error = "out of memory";
    return false;
  }
  parser_->priv = this;
  parser_->log_func = log_cb;
  parser_->read_func = read_cb;
  parser_->write_func = write_cb;
  parser_->hello_func = hello_cb;
  parser_->reset_func = reset_cb;
  parser_->set_configuration_func = set_configuration_cb;
  parser_->get_configuration_func = get_configuration_cb;
  parser_->set_alt_setting_func = set_alt_setting_cb;
  parser_->get_alt_setting_func = get_alt_setting_cb;
  parser_->cancel_data_packet_func = cancel_cb;
  parser_->control_packet_func = control_cb;
  parser_->bulk_packet_func = bulk_cb;
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  // Needed by the peer for a device on an xHCI port. It lets the peer combine
  // queued IN reads into one request; a host that waits for each transfer
  // never has more than one queued.
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "flashprep-sim-usbredir", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
  flush();
  return true;
}

bool UsbredirBoard::step(int timeout_ms) {
  if (closed_)
    return false;
  pollfd p = {fd_, POLLIN, 0};
  if (usbredirparser_has_data_to_write(parser_) > 0)
    p.events |= POLLOUT;
  const int ready_in = next_read_ms();
  if (ready_in >= 0 && (timeout_ms < 0 || ready_in < timeout_ms))
    timeout_ms = ready_in;
  if (poll(&p, 1, timeout_ms) < 0)
    return errno == EINTR;
  serve_ready_reads();
  if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
      usbredirparser_do_read(parser_) == usbredirparser_read_io_error)
    closed_ = true;
  if (!closed_ && !flush())
    closed_ = true;
  return !closed_;
}

void UsbredirBoard::serve() {
  while (step(-1)) {
  }
}

bool UsbredirBoard::flush() {
  while (usbredirparser_has_data_to_write(parser_) > 0) {
    if (usbredirparser_do_write(parser_) != 0)
      return false;
    // A full socket leaves data queued: poll for POLLOUT before trying again.
    pollfd p = {fd_, POLLOUT, 0};
    if (usbredirparser_has_data_to_write(parser_) > 0 && poll(&p, 1, 0) <= 0)
      return true;
  }
  return true;
}

int UsbredirBoard::read_cb(void* priv, uint8_t* data, int count) {
  UsbredirBoard* b = self(priv);
  const ssize_t n = recv(b->fd_, data, static_cast<size_t>(count), 0);
  if (n > 0)
    return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    return 0;
  b->closed_ = true;  // end of stream or a broken connection
  return -1;
}

int UsbredirBoard::write_cb(void* priv, uint8_t* data, int count) {
  const ssize_t n = send(self(priv)->fd_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (n >= 0)
    return static_cast<int>(n);
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

void UsbredirBoard::log_cb(void* /*priv*/, int level, const char* msg) {
  if (level <= usbredirparser_warning)
    std::fprintf(stderr, "flashprep-sim-usbredir: %s\n", msg);
}

void UsbredirBoard::hello_cb(void* priv, usb_redir_hello_header* /*hello*/) {
  self(priv)->announce();
}

void UsbredirBoard::announce() {
  if (handle_ == nullptr || announced_ || unplugged_)
    return;  // an empty port
  usb_redir_interface_info_header interfaces = {};
  interfaces.interface_count = 1;
  interfaces.interface[0] = 0;
  interfaces.interface_class[0] = kVendorClass;
  usbredirparser_send_interface_info(parser_, &interfaces);

  usb_redir_ep_info_header endpoints = {};
  std::fill(std::begin(endpoints.type), std::end(endpoints.type), usb_redir_type_invalid);
  for (uint8_t address : {kEndpointOut, kEndpointIn}) {
    const int slot = endpoint_slot(address);
    endpoints.type[slot] = usb_redir_type_bulk;
    endpoints.interface[slot] = 0;
    endpoints.max_packet_size[slot] = kMaxPacket;
  }
  usbredirparser_send_ep_info(parser_, &endpoints);

  usb_redir_device_connect_header connect = {};
  connect.speed = usb_redir_speed_full;
  connect.device_class = descriptor_.bDeviceClass;
  connect.vendor_id = descriptor_.idVendor;
  connect.product_id = descriptor_.idProduct;
  connect.device_version_bcd = descriptor_.bcdDevice;
  usbredirparser_send_device_connect(parser_, &connect);
  announced_ = true;
}

void UsbredirBoard::reset_cb(void* priv) {
  // A bus reset leaves the device unconfigured and its endpoints empty; the
  // board's memory and its flash are not touched by it.
  UsbredirBoard* b = self(priv);
  b->configuration_ = 0;
  b->out_transfer_.clear();
  if (b->in_state_ == InState::sending)
    b->in_state_ = InState::idle;
}

void UsbredirBoard::set_configuration_cb(void* priv, uint64_t id,
                                         usb_redir_set_configuration_header* h) {
  UsbredirBoard* b = self(priv);
  usb_redir_configuration_status_header status = {};
  // Through the bus, so that the board learns of the new configuration.
  if (h->configuration > 1 || b->usb_.set_configuration(b->handle_, h->configuration) != 0) {
    status.status = usb_redir_stall;
  } else {
    b->configuration_ = h->configuration;
    status.status = usb_redir_success;
  }
  status.configuration = b->configuration_;
  usbredirparser_send_configuration_status(b->parser_, id, &status);
}

void UsbredirBoard::get_configuration_cb(void* priv, uint64_t id) {
  UsbredirBoard* b = self(priv);
  usb_redir_configuration_status_header status = {};
  status.status = usb_redir_success;
  status.configuration = b->configuration_;
  usbredirparser_send_configuration_status(b->parser_, id, &status);
}

void UsbredirBoard::set_alt_setting_cb(void* priv, uint64_t id,
                                       usb_redir_set_alt_setting_header* h) {
  UsbredirBoard* b = self(priv);
  usb_redir_alt_setting_status_header status = {};
  const bool known = b->configuration_ == 1 && h->interface == 0 && h->alt == 0;
  status.status = known ? usb_redir_success : usb_redir_stall;
  status.interface = h->interface;
  status.alt = 0;
  usbredirparser_send_alt_setting_status(b->parser_, id, &status);
}

void UsbredirBoard::get_alt_setting_cb(void* priv, uint64_t id,
                                       usb_redir_get_alt_setting_header* h) {
  UsbredirBoard* b = self(priv);
  usb_redir_alt_setting_status_header status = {};
  status.status = b->configuration_ == 1 && h->interface == 0 ? usb_redir_success : usb_redir_stall;
  status.interface = h->interface;
  status.alt = 0;
  usbredirparser_send_alt_setting_status(b->parser_, id, &status);
}

void UsbredirBoard::control_cb(void* priv, uint64_t id, usb_redir_control_packet_header* h,
                               uint8_t* data, int /*data_len*/) {
  UsbredirBoard* b = self(priv);
  b->control(id, h, data);
  if (data != nullptr)
    usbredirparser_free_packet_data(b->parser_, data);
}

void UsbredirBoard::control(uint64_t id, usb_redir_control_packet_header* h,
                            const uint8_t* /*data*/) {
  std::vector<uint8_t> answer;
  bool ok = false;
  const bool standard = (h->requesttype & kTypeMask) == 0;
  if (standard && h->requesttype == kDirIn && h->request == kGetDescriptor) {
    const uint8_t type = static_cast<uint8_t>(h->value >> 8);
    ok = true;
    if (type == kDescDevice) {
      answer = device_descriptor(descriptor_);
    } else if (type == kDescConfiguration) {
      answer = configuration_descriptor();
    } else if (type == kDescString) {
      // The bus's own strings, so that a guest reads what a program on the
      // preloaded board reads; wIndex is the language asked for.
      answer.resize(kLongestString);
      const int got = usb_.get_string(handle_, h->value & 0xFF, h->index,
                                      reinterpret_cast<char*>(answer.data()), answer.size());
      ok = got >= 0;
      answer.resize(ok ? static_cast<size_t>(got) : 0);
    } else {
      ok = false;  // device qualifier and the rest: a full-speed device has none
    }
  } else if (standard && (h->requesttype & kDirIn) != 0 && h->request == kGetStatus) {
    answer = {0, 0};  // bus powered, no remote wake-up, endpoints not halted
    ok = true;
  } else if (standard && (h->requesttype & kDirIn) == 0 &&
             (h->request == kClearFeature || h->request == kSetFeature)) {
    ok = true;  // endpoint halts are not kept: a refused transfer stalls only itself
  }
  // Anything else (vendor requests included) stalls, as the board's
  // bootloader knows only its bulk messages.
  usb_redir_control_packet_header reply = *h;
  if (!ok) {
    reply.status = usb_redir_stall;
    reply.length = 0;
    usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    return;
  }
  reply.status = usb_redir_success;
  if ((h->requesttype & kDirIn) == 0) {
    usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    return;
  }
  if (answer.size() > h->length)
    answer.resize(h->length);
  reply.length = static_cast<uint16_t>(answer.size());
  usbredirparser_send_control_packet(parser_, id, &reply, answer.data(),
                                     static_cast<int>(answer.size()));
}

void UsbredirBoard::bulk_cb(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                            int data_len) {
  UsbredirBoard* b = self(priv);
  b->bulk(id, *h, data, data_len);
  if (data != nullptr)
    usbredirparser_free_packet_data(b->parser_, data);
}

void UsbredirBoard::bulk(uint64_t id, const usb_redir_bulk_packet_header& h, const uint8_t* data,
                         int data_len) {
  if (unplugged_)
    return;  // the peer treats everything as cancelled after a disconnect
  const Failed& failed = failed_[(h.endpoint & 0x80) != 0];
  if (failed.any && failed.id == id) {
    send_bulk_status(id, h.endpoint, usb_redir_ioerror, 0, nullptr);
    return;
  }
  if (h.endpoint == kEndpointOut)
    bulk_out(id, data, data_len);
  else if (h.endpoint == kEndpointIn)
    bulk_in(id, h.length | (h.length_high << 16));
  else
    send_bulk_status(id, h.endpoint, usb_redir_inval, 0, nullptr);
}

void UsbredirBoard::bulk_out(uint64_t id, const uint8_t* data, int data_len) {
  const int taken_before = static_cast<int>(out_transfer_.size());
  out_transfer_.insert(out_transfer_.end(), data, data + data_len);
  if (data_len > 0 && data_len % kMaxPacket == 0) {
    // Only full packets: the transfer goes on in the next request.
    send_bulk_status(id, kEndpointOut, usb_redir_success, data_len, nullptr);
    return;
  }
  std::vector<uint8_t> transfer;
  transfer.swap(out_transfer_);
  const int result =
      usb_.bulk_write(handle_, kEndpointOut, reinterpret_cast<const char*>(transfer.data()),
                      static_cast<int>(transfer.size()), 0);
  if (result < 0) {
    fail(id, kEndpointOut, result);
    return;
  }
  // Earlier requests carried the first packets; this one reports the rest.
  send_bulk_status(id, kEndpointOut, usb_redir_success, std::max(result - taken_before, 0),
                   nullptr);
}

void UsbredirBoard::bulk_in(uint64_t id, int length) {
  // A reply still being prepared is waited for: the transfer's requests
  // queue, unnumbered, and the board takes them once the reply is ready.
  if (in_state_ == InState::waiting ||
      (in_state_ == InState::idle && usb_.reply_wait_ms(handle_) > 0)) {
    in_state_ = InState::waiting;
    waiting_.push_back({id, length});
    return;
  }
  take_in(id, length);
}

void UsbredirBoard::take_in(uint64_t id, int length) {
  if (in_state_ == InState::held) {
    held_.push_back({id, kEndpointIn});
    return;
  }
  if (in_state_ == InState::idle) {
    const int result = usb_.bulk_read(
        handle_, kEndpointIn, reinterpret_cast<char*>(in_transfer_.data()), kLongestTransfer, 0);
    if (result < 0) {
      // With a host that waits for each transfer, a board with nothing to
      // send now gets nothing to send later either: a time-out holds it.
      if (result == kErrTimeout)
        in_state_ = InState::held;
      fail(id, kEndpointIn, result);
      return;
    }
    in_state_ = InState::sending;
    in_length_ = result;
    in_sent_ = 0;
  }
  serve_in(id, length);
}

void UsbredirBoard::serve_in(uint64_t id, int length) {
  int moved = 0;
  for (;;) {
    const int packet = std::min(kMaxPacket, in_length_ - in_sent_);
    if (packet > length - moved) {
      // The device sent more than the host had room for; the rest of the
      // transfer is lost with it.
      in_state_ = InState::idle;
      send_bulk_status(id, kEndpointIn, usb_redir_babble, 0, nullptr);
      return;
    }
    moved += packet;
    in_sent_ += packet;
    if (packet < kMaxPacket) {
      in_state_ = InState::idle;  // a short or zero-length packet ends the transfer
      break;
    }
    if (moved == length)
      break;  // the request is full; the transfer goes on in the next one
  }
  send_bulk_status(id, kEndpointIn, usb_redir_success, moved,
                   in_transfer_.data() + (in_sent_ - moved));
}

int UsbredirBoard::next_read_ms() {
  if (in_state_ != InState::waiting)
    return -1;
  return std::max(usb_.reply_wait_ms(handle_), 0);
}

void UsbredirBoard::serve_ready_reads() {
  if (in_state_ == InState::waiting && !unplugged_ && usb_.reply_wait_ms(handle_) <= 0)
    take_waiting();
}

void UsbredirBoard::take_waiting() {
  std::deque<Waiting> requests;
  requests.swap(waiting_);
  in_state_ = InState::idle;
  for (const Waiting& w : requests)
    take_in(w.id, w.length);
}

void UsbredirBoard::fail(uint64_t id, uint8_t endpoint, int result) {
  if (result == kErrNoDevice) {
    unplug();
    return;
  }
  if (result == kErrTimeout) {
    held_.push_back({id, endpoint});
    return;
  }
  const uint8_t status = result == kErrPipe       ? usb_redir_stall
                         : result == kErrOverflow ? usb_redir_babble
                                                  : usb_redir_ioerror;
  send_bulk_status(id, endpoint, status, 0, nullptr);
}

void UsbredirBoard::send_bulk_status(uint64_t id, uint8_t endpoint, uint8_t status, int length,
                                     const uint8_t* data) {
  Failed& failed = failed_[(endpoint & 0x80) != 0];
  failed.any = status == usb_redir_ioerror;
  failed.id = id;
  usb_redir_bulk_packet_header reply = {};
  reply.endpoint = endpoint;
  reply.status = status;
  reply.length = static_cast<uint16_t>(length & 0xFFFF);
  reply.length_high = static_cast<uint16_t>(length >> 16);
  const int data_len = data != nullptr ? length : 0;
  usbredirparser_send_bulk_packet(parser_, id, &reply, const_cast<uint8_t*>(data), data_len);
}

void UsbredirBoard::cancel_cb(void* priv, uint64_t id) {
  UsbredirBoard* b = self(priv);
  // A transfer that waited for its reply is numbered now, which is the
  // number it would have had on arrival (the host sends nothing while it
  // waits). The board takes it as any transfer: a reply not ready yet stays
  // with the board, and the requests are held and answered "cancelled".
  const bool waiting = std::any_of(b->waiting_.begin(), b->waiting_.end(),
                                   [id](const Waiting& w) { return w.id == id; });
  if (waiting)
    b->take_waiting();
  auto it =
      std::find_if(b->held_.begin(), b->held_.end(), [id](const Held& r) { return r.id == id; });
  if (it == b->held_.end())
    return;  // already answered: the peer drops that answer itself
  const uint8_t endpoint = it->endpoint;
  b->held_.erase(it);
  b->send_bulk_status(id, endpoint, usb_redir_cancelled, 0, nullptr);
  // The host gave up on the transfer the board had nothing for once none of
  // its requests is left.
  const bool in_held = std::any_of(b->held_.begin(), b->held_.end(),
                                   [](const Held& r) { return r.endpoint == kEndpointIn; });
  if (b->in_state_ == InState::held && !in_held)
    b->in_state_ = InState::idle;
}

void UsbredirBoard::unplug() {
  unplugged_ = true;
  held_.clear();
  in_state_ = InState::idle;
  waiting_.clear();
  if (announced_)
    usbredirparser_send_device_disconnect(parser_);
}

}  // namespace sim
