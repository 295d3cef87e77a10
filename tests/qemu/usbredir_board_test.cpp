// The usbredir board against the other end of the protocol, played here by a
// second parser in the role of the virtual machine, over a socket pair: what
// the guest kernel would see, without booting one.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "sim/scenario.h"
#include "sim/usbredir_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The answer the machine side got for one request id.
struct Reply {
  uint8_t status = 0xEE;
  int length = -1;
  Bytes data;
  int value = -1;  // configuration or alternate setting
};

class MachineSide {
 public:
  explicit MachineSide(int fd) : fd_(fd) {
    parser_ = usbredirparser_create();
    parser_->priv = this;
    parser_->log_func = [](void*, int, const char*) {};
    parser_->read_func = [](void* p, uint8_t* d, int n) {
      ssize_t r = recv(static_cast<MachineSide*>(p)->fd_, d, static_cast<size_t>(n), MSG_DONTWAIT);
      return r > 0 ? static_cast<int>(r) : (r == 0 ? -1 : 0);
    };
    parser_->write_func = [](void* p, uint8_t* d, int n) {
      ssize_t r = send(static_cast<MachineSide*>(p)->fd_, d, static_cast<size_t>(n), 0);
      return static_cast<int>(r);
    };
    parser_->device_connect_func = [](void* p, usb_redir_device_connect_header* h) {
      self(p)->connect = *h;
      self(p)->connected = true;
    };
    parser_->device_disconnect_func = [](void* p) { self(p)->disconnected = true; };
    parser_->interface_info_func = [](void* p, usb_redir_interface_info_header* h) {
      self(p)->interfaces = *h;
    };
    parser_->ep_info_func = [](void* p, usb_redir_ep_info_header* h) { self(p)->endpoints = *h; };
    parser_->configuration_status_func = [](void* p, uint64_t id,
                                            usb_redir_configuration_status_header* h) {
      self(p)->store(id, h->status, 0, nullptr, 0, h->configuration);
    };
    parser_->alt_setting_status_func = [](void* p, uint64_t id,
                                          usb_redir_alt_setting_status_header* h) {
      self(p)->store(id, h->status, 0, nullptr, 0, h->alt);
    };
    parser_->control_packet_func = [](void* p, uint64_t id, usb_redir_control_packet_header* h,
                                      uint8_t* d, int n) {
      self(p)->store(id, h->status, h->length, d, n);
      usbredirparser_free_packet_data(self(p)->parser_, d);
    };
    parser_->bulk_packet_func = [](void* p, uint64_t id, usb_redir_bulk_packet_header* h,
                                   uint8_t* d, int n) {
      self(p)->store(id, h->status, h->length | (h->length_high << 16), d, n);
      usbredirparser_free_packet_data(self(p)->parser_, d);
    };
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_init(parser_, "test machine", caps, USB_REDIR_CAPS_SIZE, 0);
  }
  ~MachineSide() { usbredirparser_destroy(parser_); }

  void step() {
    usbredirparser_do_read(parser_);
    while (usbredirparser_has_data_to_write(parser_) > 0 && usbredirparser_do_write(parser_) == 0) {
    }
  }

  void control_in(uint64_t id, uint8_t type, uint8_t request, uint16_t value, uint16_t length) {
    usb_redir_control_packet_header h = {};
    h.endpoint = 0x80;
    h.requesttype = type;
    h.request = request;
    h.value = value;
    h.length = length;
    usbredirparser_send_control_packet(parser_, id, &h, nullptr, 0);
  }
  void bulk_out(uint64_t id, Bytes data) {
    usb_redir_bulk_packet_header h = {};
    h.endpoint = 0x02;
    h.length = static_cast<uint16_t>(data.size());
    usbredirparser_send_bulk_packet(parser_, id, &h, data.data(), static_cast<int>(data.size()));
  }
  void bulk_in(uint64_t id, uint16_t length) {
    usb_redir_bulk_packet_header h = {};
    h.endpoint = 0x81;
    h.length = length;
    usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
  }
  void cancel(uint64_t id) { usbredirparser_send_cancel_data_packet(parser_, id); }
  void set_configuration(uint64_t id, uint8_t value) {
    usb_redir_set_configuration_header h = {value};
    usbredirparser_send_set_configuration(parser_, id, &h);
  }

  bool connected = false;
  bool disconnected = false;
  usb_redir_device_connect_header connect = {};
  usb_redir_interface_info_header interfaces = {};
  usb_redir_ep_info_header endpoints = {};
  std::map<uint64_t, std::vector<Reply>> replies;

 private:
  static MachineSide* self(void* p) { return static_cast<MachineSide*>(p); }
  void store(uint64_t id, uint8_t status, int length, const uint8_t* d, int n, int value = -1) {
    Reply r;
    r.status = status;
    r.length = length;
    if (d != nullptr)
      r.data.assign(d, d + n);
    r.value = value;
    replies[id].push_back(r);
  }

  int fd_;
  usbredirparser* parser_;
};

// A board set up from FLASHPREP_SIM_* values, connected and announced.
class UsbredirBoardTest : public ::testing::Test {
 protected:
  void connect(std::map<std::string, std::string> env = {}) {
    std::string error;
    auto get = [&env](const char* name) -> const char* {
      auto it = env.find(name);
      return it == env.end() ? nullptr : it->second.c_str();
    };
    ASSERT_TRUE(sim::configure_from_environment(usb_, get, &files_, &error)) << error;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    board_fd_ = fds[0];
    machine_fd_ = fds[1];
    board_.reset(new sim::UsbredirBoard(usb_, board_fd_));
    machine_.reset(new MachineSide(machine_fd_));
    ASSERT_TRUE(board_->start(&error)) << error;
    pump();
  }
  void TearDown() override {
    machine_.reset();
    board_.reset();
    if (board_fd_ >= 0) {
      close(board_fd_);
      close(machine_fd_);
    }
  }
  // Lets both ends read and answer until the socket pair is quiet.
  void pump() {
    for (int i = 0; i < 6; ++i) {
      machine_->step();
      board_->step(0);
    }
  }
  // The single answer to `id`; fails the test when there is none or more.
  Reply answer(uint64_t id) {
    auto it = machine_->replies.find(id);
    if (it == machine_->replies.end() || it->second.size() != 1) {
      ADD_FAILURE() << "request " << id << " has "
                    << (it == machine_->replies.end() ? 0 : it->second.size()) << " answers";
      return Reply();
    }
    return it->second[0];
  }
  bool answered(uint64_t id) { return machine_->replies.count(id) != 0; }
  // One bootloader message from the host: header transfer, then body.
  void send_message(uint64_t id, const Bytes& body) {
    machine_->bulk_out(
        id, {static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size() & 0xFF)});
    machine_->bulk_out(id + 1, body);
    pump();
  }

  sim::SimUsb usb_;
  sim::ScenarioFiles files_;
  int board_fd_ = -1;
  int machine_fd_ = -1;
  std::unique_ptr<sim::UsbredirBoard> board_;
  std::unique_ptr<MachineSide> machine_;
};

TEST_F(UsbredirBoardTest, AnnouncesAFullSpeedVendorDeviceWithTwoBulkEndpoints) {
  connect();
  ASSERT_TRUE(machine_->connected);
  EXPECT_EQ(machine_->connect.speed, usb_redir_speed_full);
  EXPECT_EQ(machine_->connect.vendor_id, 0x15A2);
  EXPECT_EQ(machine_->connect.product_id, 0x0040);
  EXPECT_EQ(machine_->interfaces.interface_count, 1u);
  EXPECT_EQ(machine_->interfaces.interface_class[0], 0xFF);
  for (int slot = 0; slot < 32; ++slot) {
    const bool used = slot == 2 || slot == 17;  // 0x02 and 0x81
    EXPECT_EQ(machine_->endpoints.type[slot], used ? usb_redir_type_bulk : usb_redir_type_invalid)
        << "slot " << slot;
    if (used) {
      EXPECT_EQ(machine_->endpoints.max_packet_size[slot], 64);
    }
  }
}

TEST_F(UsbredirBoardTest, AnswersTheEnumerationRequests) {
  connect({{"FLASHPREP_SIM_BOARD", "wrong-pid"}});
  machine_->control_in(1, 0x80, 6, 0x0100, 8);  // device descriptor, first 8 bytes
  machine_->control_in(2, 0x80, 6, 0x0100, 18);
  machine_->control_in(3, 0x80, 6, 0x0200, 255);  // whole configuration
  machine_->control_in(4, 0x80, 6, 0x0302, 255);  // product string
  machine_->control_in(5, 0x80, 6, 0x0600, 10);   // device qualifier
  machine_->control_in(6, 0xC0, 1, 0, 4);         // a vendor request
  machine_->control_in(9, 0x80, 6, 0x0303, 255);  // a serial number string: none
  machine_->set_configuration(7, 1);
  machine_->set_configuration(8, 2);
  pump();
  EXPECT_EQ(answer(1).data.size(), 8u);
  const Bytes device = answer(2).data;
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device[7], 64);                         // bMaxPacketSize0
  EXPECT_EQ(device[10] | (device[11] << 8), 0x41);  // the product the scenario chose
  EXPECT_EQ(device[14], 1);                         // iManufacturer
  EXPECT_EQ(device[16], 0) << "no serial number unless one is set";
  const Bytes config = answer(3).data;
  ASSERT_EQ(config.size(), 32u);
  EXPECT_EQ(config[2], 32);
  EXPECT_EQ(Bytes(config.begin() + 18, config.end()),
            Bytes({7, 5, 0x02, 2, 64, 0, 0, 7, 5, 0x81, 2, 64, 0, 0}));
  const Bytes product = answer(4).data;
  ASSERT_GE(product.size(), 4u);
  EXPECT_EQ(product[0], product.size());
  EXPECT_EQ(product[1], 3);
  EXPECT_EQ(answer(5).status, usb_redir_stall);
  EXPECT_EQ(answer(6).status, usb_redir_stall);
  EXPECT_EQ(answer(7).status, usb_redir_success);
  EXPECT_EQ(answer(7).value, 1);
  EXPECT_EQ(answer(8).status, usb_redir_stall);
  EXPECT_EQ(answer(9).status, usb_redir_stall);
}

// A serial number set for the board is what a guest's kernel reads at
// enumeration (Linux shows it in sysfs as the device's serial): the string
// the device descriptor names, in the language string 0 offers.
TEST_F(UsbredirBoardTest, ServesTheSerialNumberSetForTheBoard) {
  connect({{"FLASHPREP_SIM_SERIAL", "LANE-7 #2"}});
  machine_->control_in(1, 0x80, 6, 0x0100, 18);
  machine_->control_in(2, 0x80, 6, 0x0300, 255);
  machine_->control_in(3, 0x80, 6, 0x0303, 255);
  machine_->control_in(4, 0x80, 6, 0x0303, 2);  // the length first, as Linux asks
  pump();
  const Bytes device = answer(1).data;
  ASSERT_EQ(device.size(), 18u);
  ASSERT_EQ(device[16], 3);
  EXPECT_EQ(answer(2).data, Bytes({4, 3, 0x09, 0x04}));
  Bytes want = {20, 3};
  for (char c : std::string("LANE-7 #2")) {
    want.push_back(static_cast<uint8_t>(c));
    want.push_back(0);
  }
  EXPECT_EQ(answer(3).data, want);
  EXPECT_EQ(answer(4).data, Bytes({20, 3}));
}

TEST_F(UsbredirBoardTest, CarriesOneIdentifyExchange) {
  connect();
  send_message(1, {0x00});
  EXPECT_EQ(answer(1).length, 2);
  EXPECT_EQ(answer(2).length, 1);
  machine_->bulk_in(3, 2);
  machine_->bulk_in(4, 9);
  pump();
  EXPECT_EQ(answer(3).data, Bytes({0x00, 0x09}));
  const std::string text = "BBOOT 1.0";
  EXPECT_EQ(answer(4).data, Bytes(text.begin(), text.end()));
}

TEST_F(UsbredirBoardTest, HoldsAnUnansweredReadUntilCancelledAndLeavesNothingBehind) {
  connect({{"FLASHPREP_SIM_BOOTLOADER", "silent-once"}});
  send_message(1, {0x00});
  machine_->bulk_in(3, 2);
  pump();
  EXPECT_FALSE(answered(3));
  EXPECT_EQ(board_->held_requests(), 1);
  machine_->cancel(3);
  pump();
  EXPECT_EQ(answer(3).status, usb_redir_cancelled);
  EXPECT_EQ(board_->held_requests(), 0);

  send_message(10, {0x00});
  machine_->bulk_in(12, 2);
  pump();
  EXPECT_EQ(answer(12).data, Bytes({0x00, 0x09}));
  EXPECT_EQ(machine_->replies[3].size(), 1u);  // the cancelled read got nothing more
}

TEST_F(UsbredirBoardTest, AReadWaitsForAFormatReplyAndACancelLeavesTheReplyOnTheBoard) {
  using Clock = std::chrono::steady_clock;
  connect({{"FLASHPREP_SIM_FORMAT_DELAY_MS", "150"}});
  Bytes block(258, 0xA5);
  block[0] = 0x01;
  block[1] = 0;
  send_message(1, block);
  send_message(3, {0x02, 0x02, 0x00, 0x05});  // format block 5
  const Clock::time_point asked = Clock::now();
  machine_->bulk_in(5, 2);
  pump();
  EXPECT_FALSE(answered(5));
  EXPECT_EQ(board_->held_requests(), 1);
  machine_->cancel(5);  // the host process ended while it waited
  pump();
  EXPECT_EQ(answer(5).status, usb_redir_cancelled);
  EXPECT_EQ(usb_.transfers(), 5) << "the cancelled read is numbered";

  machine_->bulk_in(6, 2);
  pump();
  while (!answered(6) && Clock::now() - asked < std::chrono::seconds(5)) {
    board_->step(50);  // the board answers by itself once the reply is ready
    machine_->step();
  }
  EXPECT_GE(Clock::now() - asked, std::chrono::milliseconds(150));
  EXPECT_EQ(answer(6).data, Bytes({0x01, 0x01})) << "the format reply, kept for the next read";
  EXPECT_EQ(usb_.transfers(), 6);
}

TEST_F(UsbredirBoardTest, CompletesAZeroLengthReadOfAnEmptyBodyAtOnce) {
  connect({{"FLASHPREP_SIM_BOOTLOADER", "empty"}});
  send_message(1, {0x00});
  machine_->bulk_in(3, 2);
  machine_->bulk_in(4, 0);
  pump();
  EXPECT_EQ(answer(3).data, Bytes({0x00, 0x00}));
  EXPECT_EQ(answer(4).status, usb_redir_success);
  EXPECT_EQ(answer(4).length, 0);
  EXPECT_EQ(board_->held_requests(), 0);
}

TEST_F(UsbredirBoardTest, MapsBoardResultsToTransferStatuses) {
  // Transfer 2 (the first block body) is refused, 4 loses a byte, 6 fails,
  // 8 times out; read 11 asks less than the 2-byte header it would get.
  connect({{"FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS", "3"},
           {"FLASHPREP_SIM_FAULT", "short@4,error@6,timeout@8"}});
  Bytes block(258, 0xA5);
  block[0] = 0x01;
  block[1] = 3;
  send_message(1, block);
  EXPECT_EQ(answer(1).status, usb_redir_success);
  EXPECT_EQ(answer(2).status, usb_redir_stall);
  block[1] = 4;
  send_message(3, block);
  EXPECT_EQ(answer(4).status, usb_redir_success);
  EXPECT_EQ(answer(4).length, 257);
  send_message(5, block);
  EXPECT_EQ(answer(6).status, usb_redir_ioerror);
  send_message(7, block);
  EXPECT_FALSE(answered(8));
  machine_->cancel(8);
  send_message(9, {0x00});
  machine_->bulk_in(11, 1);
  pump();
  EXPECT_EQ(answer(8).status, usb_redir_cancelled);
  EXPECT_EQ(answer(11).status, usb_redir_babble);
  EXPECT_EQ(usb_.board().driver_blocks(), 0);  // nothing reached driver RAM whole
}

TEST_F(UsbredirBoardTest, ARetriedFailedTransferFailsAgainWithoutReachingTheBoard) {
  connect({{"FLASHPREP_SIM_FAULT", "error@3"}});
  send_message(1, {0x00});
  machine_->bulk_in(3, 2);  // transfer 3: fails
  pump();
  machine_->bulk_in(3, 2);  // the host controller's retries come with the same id
  machine_->bulk_in(3, 2);
  pump();
  ASSERT_EQ(machine_->replies[3].size(), 3u);
  for (const Reply& r : machine_->replies[3])
    EXPECT_EQ(r.status, usb_redir_ioerror);
  EXPECT_EQ(usb_.transfers(), 3);
  send_message(4, {0x00});  // the next exchange is clean
  machine_->bulk_in(6, 2);
  pump();
  EXPECT_EQ(answer(6).data, Bytes({0x00, 0x09}));
}

// One bulk transfer as libusb reports it: the status of its last request,
// the bytes moved (none counted when it failed: packets taken before a stall
// are not reported) and, for IN, the bytes.
struct Outcome {
  uint8_t status;
  int length;
  Bytes data;
  bool operator==(const Outcome& o) const {
    return status == o.status && length == o.length && data == o.data;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << "{status " << int{o.status} << ", " << o.length << " bytes}";
}

// The same traffic offered whole, as QEMU's xHCI passes it, and packet by
// packet, as its EHCI companions, UHCI and OHCI do.
class PacketTest : public UsbredirBoardTest {
 protected:
  Outcome write(const Bytes& transfer) {
    if (!packets_)
      return finish({transfer});
    std::vector<Bytes> packets;
    const auto size = static_cast<std::ptrdiff_t>(transfer.size());
    for (std::ptrdiff_t at = 0; at < size || packets.empty(); at += 64)
      packets.emplace_back(transfer.begin() + at, transfer.begin() + std::min(at + 64, size));
    return finish(packets);
  }
  Outcome read(int size) {
    Outcome total = {usb_redir_success, 0, {}};
    int left = size;
    do {
      const int asked = packets_ ? std::min(left, 64) : size;
      machine_->bulk_in(++id_, static_cast<uint16_t>(asked));
      pump();
      const Reply r = answer(id_);
      total.status = r.status;
      total.length += std::max(r.length, 0);
      total.data.insert(total.data.end(), r.data.begin(), r.data.end());
      left -= asked;
      if (r.status != usb_redir_success || r.length < asked)
        break;
    } while (left > 0);
    return reported(total);
  }
  // Identify, driver blocks 3 (refused), 0, 1 and 2, three format requests
  // and identify again; returns every transfer's outcome.
  std::vector<Outcome> exchanges(bool packets) {
    packets_ = packets;
    std::vector<Outcome> all;
    auto message = [&](const Bytes& body) {
      all.push_back(write(
          {static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size() & 0xFF)}));
      all.push_back(write(body));
    };
    auto reply = [&](int size) {
      all.push_back(read(2));
      all.push_back(read(size));
    };
    message({0x00});
    reply(9);
    for (uint8_t index : {3, 0, 1, 2}) {
      Bytes block(258, static_cast<uint8_t>(0x40 + index));
      block[0] = 0x01;
      block[1] = index;
      message(block);
    }
    for (uint8_t flash_block : {5, 6, 7}) {
      message({0x02, 0x02, 0x00, flash_block});
      reply(257);
    }
    message({0x00});
    reply(9);
    return all;
  }

 private:
  Outcome finish(const std::vector<Bytes>& requests) {
    Outcome total = {usb_redir_success, 0, {}};
    for (const Bytes& r : requests) {
      machine_->bulk_out(++id_, r);
      pump();
      total.status = answer(id_).status;
      total.length += std::max(answer(id_).length, 0);
    }
    return reported(total);
  }
  static Outcome reported(Outcome o) {
    if (o.status != usb_redir_success)
      o.length = 0;
    return o;
  }

  uint64_t id_ = 0;
  bool packets_ = false;
};

TEST_F(PacketTest, PacketsAndWholeTransfersMakeTheSameExchanges) {
  // Transfers 6 (a 258-byte body) stalls, 8 loses a byte, 10 fails; 20 (a
  // 257-byte reply) loses a byte, leaving four full packets and a
  // zero-length one; 24 fails.
  const std::map<std::string, std::string> scenario = {
      {"FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS", "3"},
      {"FLASHPREP_SIM_FAULT", "short@8,error@10,short@20,error@24"}};
  connect(scenario);
  const std::vector<Outcome> whole = exchanges(false);
  const std::vector<uint8_t> ram = usb_.board().ram();
  const auto events = usb_.board().events().size();
  ASSERT_EQ(usb_.transfers(), 28);

  TearDown();
  connect(scenario);
  const std::vector<Outcome> packets = exchanges(true);
  EXPECT_EQ(usb_.transfers(), 28) << "one number per transfer, not per packet";
  EXPECT_EQ(packets, whole);
  EXPECT_EQ(usb_.board().ram(), ram);
  EXPECT_EQ(usb_.board().events().size(), events);

  EXPECT_EQ(whole[5].status, usb_redir_stall);
  EXPECT_EQ(whole[7].length, 257);
  EXPECT_EQ(whole[9].status, usb_redir_ioerror);
  EXPECT_EQ(whole[15].length, 257);
  EXPECT_EQ(whole[19].length, 256);
  EXPECT_EQ(whole[23].status, usb_redir_ioerror);
  EXPECT_EQ(whole[27].data, whole[3].data);
}

TEST_F(PacketTest, AZeroLengthPacketEndsATransferOfWholePackets) {
  connect();
  machine_->bulk_out(1, {0x00, 0x80});  // announces 128 bytes
  machine_->bulk_out(2, Bytes(64, 0x03));
  machine_->bulk_out(3, Bytes(64, 0x03));
  pump();
  EXPECT_EQ(usb_.transfers(), 1) << "the board waits for the rest";
  machine_->bulk_out(4, {});
  pump();
  EXPECT_EQ(usb_.transfers(), 2);
  EXPECT_EQ(answer(2).length, 64);
  EXPECT_EQ(answer(4).status, usb_redir_success);
  EXPECT_EQ(answer(4).length, 0);
}

TEST_F(PacketTest, EveryRequestOfAnUnansweredReadIsHeldUnderOneNumber) {
  connect({{"FLASHPREP_SIM_BOOTLOADER", "silent-once"}});
  send_message(1, {0x00});
  machine_->bulk_in(3, 64);  // a host queues its packets
  machine_->bulk_in(4, 64);
  pump();
  EXPECT_EQ(usb_.transfers(), 3);
  EXPECT_EQ(board_->held_requests(), 2);
  machine_->cancel(3);
  machine_->cancel(4);
  pump();
  EXPECT_EQ(answer(4).status, usb_redir_cancelled);

  send_message(10, {0x00});
  machine_->bulk_in(12, 2);
  pump();
  EXPECT_EQ(answer(12).data, Bytes({0x00, 0x09}));
  EXPECT_EQ(usb_.transfers(), 6);
}

TEST_F(UsbredirBoardTest, UnplugIsADisconnectAtTheNextTransfer) {
  connect({{"FLASHPREP_SIM_UNPLUG_AFTER", "2"}});
  send_message(1, {0x00});
  machine_->bulk_in(3, 2);
  pump();
  EXPECT_TRUE(machine_->disconnected);
  EXPECT_FALSE(answered(3));
  EXPECT_TRUE(board_->unplugged());
  machine_->bulk_in(4, 2);  // late traffic is dropped, not answered
  pump();
  EXPECT_FALSE(answered(4));
}

TEST_F(UsbredirBoardTest, RefusedConfigurationStallsAndRefusedOpenCannotBeServed) {
  connect({{"FLASHPREP_SIM_REFUSE", "configuration"}});
  machine_->set_configuration(1, 1);
  pump();
  EXPECT_EQ(answer(1).status, usb_redir_stall);

  sim::SimUsb other;
  sim::ScenarioFiles files;
  std::string error;
  auto refuse_open = [](const char* n) -> const char* {
    return std::strcmp(n, "FLASHPREP_SIM_REFUSE") == 0 ? "open" : nullptr;
  };
  ASSERT_TRUE(sim::configure_from_environment(other, refuse_open, &files, &error));
  EXPECT_FALSE(sim::UsbredirBoard::servable(other, &error));
  EXPECT_NE(error.find("open"), std::string::npos);
}

TEST_F(UsbredirBoardTest, AnEmptyBusIsAPortWithoutDevice) {
  connect({{"FLASHPREP_SIM_BOARD", "none"}});
  EXPECT_FALSE(machine_->connected);
  EXPECT_FALSE(board_->device_announced());
}

}  // namespace
