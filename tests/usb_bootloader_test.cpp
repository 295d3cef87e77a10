// Framing and the bootloader's four commands, byte for byte on the wire.
#include "usb/usb_bootloader.h"

#include <cstring>

#include "test_support.h"

namespace {

using sim::CallRecord;

// A started bootloader in front of a board that answers only what the test
// queues with push_in().
class BootloaderTest : public SimTest {
 protected:
  void SetUp() override {
    sim::BoardConfig scripted;
    scripted.scripted = true;
    usb().reset(scripted);
    ASSERT_TRUE(bootloader.start());
  }

  void expect_write(const CallRecord& c, const Bytes& bytes) {
    EXPECT_EQ(c.name, "usb_bulk_write");
    EXPECT_EQ(c.arg, 0x02);
    EXPECT_EQ(c.timeout, 5000);
    EXPECT_EQ(c.size, static_cast<int>(bytes.size()));
    EXPECT_EQ(c.data, bytes);
  }
  void expect_read(const CallRecord& c, int size) {
    EXPECT_EQ(c.name, "usb_bulk_read");
    EXPECT_EQ(c.arg, 0x81);
    EXPECT_EQ(c.timeout, 5000);
    EXPECT_EQ(c.size, size);
  }
  void queue_reply(const Bytes& body) {
    board().push_in(header(static_cast<uint16_t>(body.size())));
    board().push_in(body);
  }

  UsbBootloader bootloader;
};

Bytes block_of(uint8_t seed) {
  Bytes b(256);
  for (int i = 0; i < 256; ++i)
    b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

TEST_F(BootloaderTest, SendMessageFramesHeaderThenBody) {
  Bytes one = {0x55};
  Bytes many(260, 0xA5);
  EXPECT_TRUE(bootloader.send_message(one.data(), 1));
  EXPECT_TRUE(bootloader.send_message(many.data(), 260));
  Bytes four = {1, 2, 3, 4};
  EXPECT_TRUE(bootloader.send_message(four.data(), 4));
  auto t = transfers();
  ASSERT_EQ(t.size(), 6u);
  expect_write(t[0], {0x00, 0x01});
  expect_write(t[1], one);
  expect_write(t[2], {0x01, 0x04});
  expect_write(t[3], many);
  expect_write(t[4], {0x00, 0x04});
  expect_write(t[5], four);
}

TEST_F(BootloaderTest, SendMessageFailures) {
  Bytes body = {1, 2, 3};
  usb().inject(1, sim::Fault::error);  // header refused: the body is never sent
  EXPECT_FALSE(bootloader.send_message(body.data(), 3));
  EXPECT_EQ(transfers().size(), 1u);
  usb().inject(2, sim::Fault::short_count);  // header sent in part
  EXPECT_FALSE(bootloader.send_message(body.data(), 3));
  EXPECT_EQ(transfers().size(), 2u);
  usb().inject(4, sim::Fault::short_count);  // body accepted only in part
  EXPECT_FALSE(bootloader.send_message(body.data(), 3));
  usb().inject(6, sim::Fault::timeout);
  EXPECT_FALSE(bootloader.send_message(body.data(), 3));
  EXPECT_EQ(transfers().size(), 6u);
  EXPECT_TRUE(bootloader.send_message(body.data(), 3));
}

// Asked as each request starts; once it said stop, no later request is
// sent, whatever it would answer then.
TEST_F(BootloaderTest, AfterAStopEveryRequestFailsUnsent) {
  const Bytes body = {1, 2, 3};
  int asked = 0;
  bootloader.stop_when([&asked] { return ++asked == 2; });
  EXPECT_TRUE(bootloader.send_message(body.data(), 3));
  EXPECT_FALSE(bootloader.send_message(body.data(), 3));
  EXPECT_FALSE(bootloader.send_message(body.data(), 3));
  EXPECT_FALSE(bootloader.identify());
  EXPECT_TRUE(bootloader.stopping());
  EXPECT_EQ(transfers().size(), 2u);
}

TEST_F(BootloaderTest, ReceiveMessageReadsAnnouncedLength) {
  Bytes body(257);
  for (int i = 0; i < 257; ++i)
    body[i] = static_cast<uint8_t>(i);
  queue_reply(body);
  uint8_t area[265] = {};
  uint16_t n = 0;
  ASSERT_TRUE(bootloader.receive_message(area, sizeof area, &n));
  EXPECT_EQ(n, 257);
  EXPECT_EQ(Bytes(area, area + 257), body);
  auto t = transfers();
  ASSERT_EQ(t.size(), 2u);
  expect_read(t[0], 2);
  EXPECT_EQ(t[0].data, Bytes({0x01, 0x01}));
  expect_read(t[1], 257);
}

TEST_F(BootloaderTest, ZeroLengthReplyStillIssuesTheBodyRead) {
  board().push_in(header(0));
  board().push_in({});
  uint8_t area[4] = {9, 9, 9, 9};
  uint16_t n = 77;
  EXPECT_TRUE(bootloader.receive_message(area, sizeof area, &n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(Bytes(area, area + 4), Bytes({9, 9, 9, 9}));
  auto t = transfers();
  ASSERT_EQ(t.size(), 2u);
  expect_read(t[1], 0);
}

TEST_F(BootloaderTest, ReceiveMessageFailures) {
  uint8_t area[265];
  uint16_t n = 1234;
  // No reply at all: header read times out, length untouched, no body read.
  EXPECT_FALSE(bootloader.receive_message(area, sizeof area, &n));
  EXPECT_EQ(n, 1234);
  EXPECT_EQ(transfers().size(), 1u);
  // A one-byte header.
  board().push_in({0x00});
  EXPECT_FALSE(bootloader.receive_message(area, sizeof area, &n));
  EXPECT_EQ(n, 1234);
  EXPECT_EQ(transfers().size(), 2u);
  // A body shorter than announced: the length is still stored.
  board().push_in(header(10));
  board().push_in({1, 2, 3});
  EXPECT_FALSE(bootloader.receive_message(area, sizeof area, &n));
  EXPECT_EQ(n, 10);
  // A body read error.
  board().push_in(header(3));
  board().push_in({1, 2, 3});
  usb().inject(usb().transfers() + 2, sim::Fault::error);
  EXPECT_FALSE(bootloader.receive_message(area, sizeof area, &n));
  EXPECT_EQ(n, 3);
}

TEST_F(BootloaderTest, OversizedReplyFailsWithoutOverrunAndKeepsFraming) {
  // The message buffer sits inside the object: guard bytes around a caller
  // area show whether anything was written past its end.
  struct {
    uint8_t area[265];
    uint8_t guard[64];
  } mem;
  std::memset(&mem, 0x5A, sizeof mem);
  Bytes big(300, 0xEE);
  queue_reply(big);
  queue_reply({'B', 'x'});
  uint16_t n = 0;
  EXPECT_FALSE(bootloader.receive_message(mem.area, sizeof mem.area, &n));
  EXPECT_EQ(n, 300);
  EXPECT_EQ(Bytes(mem.guard, mem.guard + 64), Bytes(64, 0x5A));
  EXPECT_EQ(Bytes(mem.area, mem.area + 265), Bytes(265, 0x5A));
  auto t = transfers();
  ASSERT_EQ(t.size(), 2u);
  expect_read(t[1], 300);  // the whole announced body is drained
  // The next exchange starts on a frame boundary.
  ASSERT_TRUE(bootloader.receive_message(mem.area, sizeof mem.area, &n));
  EXPECT_EQ(n, 2);
  EXPECT_EQ(mem.area[0], 'B');
}

TEST_F(BootloaderTest, IdentifyTraffic) {
  queue_reply({'B', '1', '.', '0'});
  EXPECT_TRUE(bootloader.identify());
  EXPECT_EQ(bootloader.last_reply_length(), 4);
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u);
  expect_write(t[0], {0x00, 0x01});
  expect_write(t[1], {0x00});
  expect_read(t[2], 2);
  expect_read(t[3], 4);
}

TEST_F(BootloaderTest, IdentifyAcceptsOnlyAWholeReplyStartingWithB) {
  queue_reply({'B'});
  EXPECT_TRUE(bootloader.identify()) << "one byte 'B' is enough";
  queue_reply({'b', 'B'});
  EXPECT_FALSE(bootloader.identify()) << "first byte is not 'B'";
  queue_reply({});
  EXPECT_FALSE(bootloader.identify()) << "empty reply: byte 0 still holds the request";
  EXPECT_EQ(bootloader.last_reply_length(), 0);
  EXPECT_FALSE(bootloader.identify()) << "no reply";
  board().push_in(header(5));
  board().push_in({'B', 'x'});
  EXPECT_FALSE(bootloader.identify()) << "short body";
  EXPECT_EQ(bootloader.last_reply_length(), 5) << "length kept although the body failed";
  usb().inject(usb().transfers() + 1, sim::Fault::error);
  queue_reply({'B'});
  EXPECT_FALSE(bootloader.identify()) << "request not sent";
}

TEST_F(BootloaderTest, LoadBlockTraffic) {
  Bytes data = block_of(3);
  EXPECT_TRUE(bootloader.load_block(static_cast<uint8_t>(300), data.data()));
  auto t = transfers();
  ASSERT_EQ(t.size(), 2u);  // no reply is read
  expect_write(t[0], {0x01, 0x02});
  Bytes body = {0x01, 0x2C};
  body.insert(body.end(), data.begin(), data.end());
  expect_write(t[1], body);
  usb().inject(4, sim::Fault::error);
  EXPECT_FALSE(bootloader.load_block(0, data.data()));
}

TEST_F(BootloaderTest, DriverTransactionWithoutReplyReadsNothing) {
  Bytes payload = {0x07, 0x08};
  queue_reply({1, 2, 3});  // whatever the board sends is not read
  EXPECT_TRUE(bootloader.driver_transaction(payload.data(), 2, nullptr, 0));
  auto t = transfers();
  ASSERT_EQ(t.size(), 2u);
  expect_write(t[0], {0x00, 0x03});
  expect_write(t[1], {0x02, 0x07, 0x08});
}

TEST_F(BootloaderTest, DriverTransactionCopiesReplyBytesOneToK) {
  Bytes payload = {0x02, 0x0A, 0x00};
  Bytes reply(257);
  for (int i = 0; i < 257; ++i)
    reply[i] = static_cast<uint8_t>(255 - i);
  queue_reply(reply);
  Bytes out(256, 0);
  ASSERT_TRUE(bootloader.driver_transaction(payload.data(), 3, out.data(), 256));
  EXPECT_EQ(out, Bytes(reply.begin() + 1, reply.end()));
  // A longer reply is fine too: only bytes 1..k are handed over.
  Bytes longer = reply;
  longer.push_back(0x99);
  queue_reply(longer);
  ASSERT_TRUE(bootloader.driver_transaction(payload.data(), 3, out.data(), 256));
  EXPECT_EQ(out, Bytes(reply.begin() + 1, reply.end()));
}

TEST_F(BootloaderTest, DriverTransactionRefusesShortReplyAndKeepsCallerArea) {
  Bytes payload = {0x02, 0x00, 0x01};
  queue_reply(Bytes(100, 0x11));
  Bytes out(256, 0x77);
  EXPECT_FALSE(bootloader.driver_transaction(payload.data(), 3, out.data(), 256));
  EXPECT_EQ(out, Bytes(256, 0x77));
  queue_reply(Bytes(256, 0x11));  // one byte short of 1 + k
  EXPECT_FALSE(bootloader.driver_transaction(payload.data(), 3, out.data(), 256));
  EXPECT_EQ(out, Bytes(256, 0x77));
  // No reply, or a refused request: the area stays as it was.
  EXPECT_FALSE(bootloader.driver_transaction(payload.data(), 3, out.data(), 256));
  usb().inject(usb().transfers() + 2, sim::Fault::error);
  queue_reply(Bytes(257, 0x22));
  EXPECT_FALSE(bootloader.driver_transaction(payload.data(), 3, out.data(), 256));
  EXPECT_EQ(out, Bytes(256, 0x77));
}

TEST_F(BootloaderTest, DriverTransactionSizeLimits) {
  Bytes payload(265, 0x33);
  Bytes out(265);
  EXPECT_FALSE(bootloader.driver_transaction(payload.data(), 265, nullptr, 0));
  EXPECT_FALSE(bootloader.driver_transaction(payload.data(), 1, out.data(), 265));
  EXPECT_TRUE(transfers().empty()) << "nothing is sent for sizes that do not fit";
  // 264 payload bytes is the largest request: a 265-byte body.
  EXPECT_TRUE(bootloader.driver_transaction(payload.data(), 264, nullptr, 0));
  ASSERT_EQ(transfers().size(), 2u);
  expect_write(transfers()[0], {0x01, 0x09});
  // 259 payload bytes (a block write) go out as a 260-byte body.
  EXPECT_TRUE(bootloader.driver_transaction(payload.data(), 259, nullptr, 0));
  expect_write(transfers()[2], {0x01, 0x04});
}

TEST_F(BootloaderTest, CommandThreeIsOneByteWithoutReply) {
  EXPECT_TRUE(bootloader.send_command_3());
  auto t = transfers();
  ASSERT_EQ(t.size(), 2u);
  expect_write(t[0], {0x00, 0x01});
  expect_write(t[1], {0x03});
}

}  // namespace
