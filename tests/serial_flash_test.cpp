// The serial-flash driver's three requests as they leave the host.
#include "flash/serial_flash.h"

#include "test_support.h"
#include "usb/usb_bootloader.h"

namespace {

class SerialFlashTest : public SimTest {
 protected:
  void SetUp() override {
    sim::BoardConfig scripted;
    scripted.scripted = true;
    usb().reset(scripted);
    ASSERT_TRUE(bootloader.start());
  }
  UsbBootloader bootloader;
  SerialFlash flash{&bootloader};
};

TEST_F(SerialFlashTest, InitSendsFourBytesAndReadsNothing) {
  EXPECT_TRUE(flash.init());
  auto t = transfers();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].data, Bytes({0x00, 0x02}));
  EXPECT_EQ(t[1].data, Bytes({0x02, 0x00}));
}

TEST_F(SerialFlashTest, WriteBlockSendsNumberHighByteFirstThenData) {
  Bytes data(256);
  for (int i = 0; i < 256; ++i)
    data[i] = static_cast<uint8_t>(i ^ 0x5A);
  EXPECT_TRUE(flash.write_block(2528, data.data()));
  EXPECT_TRUE(flash.write_block(0, data.data()));
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].data, Bytes({0x01, 0x04}));
  Bytes body = {0x02, 0x01, 0x09, 0xE0};
  body.insert(body.end(), data.begin(), data.end());
  EXPECT_EQ(t[1].data, body);
  EXPECT_EQ(Bytes(t[3].data.begin(), t[3].data.begin() + 4), Bytes({0x02, 0x01, 0x00, 0x00}));
}

TEST_F(SerialFlashTest, FormatBlockHandsOverTheReplyAfterItsStatusByte) {
  Bytes reply(257);
  for (int i = 0; i < 257; ++i)
    reply[i] = static_cast<uint8_t>(i * 3);
  board().push_in(header(257));
  board().push_in(reply);
  Bytes result(256, 0);
  ASSERT_TRUE(flash.format_block(2560, result.data()));
  EXPECT_EQ(result, Bytes(reply.begin() + 1, reply.end()));
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].data, Bytes({0x00, 0x04}));
  EXPECT_EQ(t[1].data, Bytes({0x02, 0x02, 0x0A, 0x00}));
  EXPECT_EQ(t[2].size, 2);
  EXPECT_EQ(t[3].size, 257);
}

TEST_F(SerialFlashTest, FormatBlockFailuresKeepTheResultArea) {
  Bytes result(256, 0x3C);
  EXPECT_FALSE(flash.format_block(4095, result.data())) << "no reply";
  EXPECT_EQ(transfers()[1].data, Bytes({0x02, 0x02, 0x0F, 0xFF}));
  board().push_in(header(257));
  board().push_in(Bytes(200, 0));
  EXPECT_FALSE(flash.format_block(1, result.data())) << "body shorter than announced";
  board().push_in(header(129));
  board().push_in(Bytes(129, 0));
  EXPECT_FALSE(flash.format_block(1, result.data())) << "reply shorter than a block";
  EXPECT_EQ(result, Bytes(256, 0x3C));
}

TEST_F(SerialFlashTest, ABlockWriteAfterAFormatDoesNotLeakOldData) {
  // The format request is three bytes even though the request buffer still
  // holds the data of an earlier block write.
  Bytes data(256, 0xAB);
  ASSERT_TRUE(flash.write_block(7, data.data()));
  Bytes result(256);
  flash.format_block(8, result.data());
  auto t = transfers();
  EXPECT_EQ(t[3].data, Bytes({0x02, 0x02, 0x00, 0x08}));
}

TEST(SerialFlashWiring, SetBootloaderReplacesTheConnection) {
  UsbBootloader a;
  UsbBootloader b;
  SerialFlash flash;
  EXPECT_EQ(flash.get_bootloader(), nullptr);
  flash.set_bootloader(&a);
  EXPECT_EQ(flash.get_bootloader(), &a);
  SerialFlash other(&b);
  EXPECT_EQ(other.get_bootloader(), &b);
}

}  // namespace
