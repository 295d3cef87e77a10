#include "image/srecord_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/srecord_image.h"
#include "test_support.h"

namespace {

TEST(SRecordWriter, KnownLines) {
  const uint8_t ab = 0xAB, one = 0x01, ff = 0xFF;
  EXPECT_EQ(srecord::data_record(2, 0x0070, &ab, 1), "S1040070ABE0\n");
  EXPECT_EQ(srecord::data_record(3, 0x123456, &ff, 1), "S205123456FF5F\n");
  EXPECT_EQ(srecord::data_record(4, 0x20000000, &one, 1), "S3062000000001D8\n");
  EXPECT_EQ(srecord::data_record(2, 0x12345, &ab, 1), "S1042345ABE8\n");  // high bits dropped
  EXPECT_EQ(srecord::header_record("HDR"), "S00600004844521B\n");
  EXPECT_EQ(srecord::terminator_record(2, 0), "S9030000FC\n");
  EXPECT_EQ(srecord::terminator_record(3, 0), "S804000000FB\n");
  EXPECT_EQ(srecord::terminator_record(4, 0x20000000), "S70520000000DA\n");
}

TEST(SRecordWriter, RejectsWhatCannotBeOneRecord) {
  const std::vector<uint8_t> data(253, 0);
  EXPECT_EQ(srecord::data_record(1, 0, data.data(), 1), "");
  EXPECT_EQ(srecord::data_record(5, 0, data.data(), 1), "");
  EXPECT_EQ(srecord::data_record(2, 0, data.data(), 253), "");
  EXPECT_EQ(srecord::data_record(2, 0, data.data(), 252).size(), 4u + 2 * 255 + 1);
  EXPECT_EQ(srecord::data_record(4, 0, data.data(), 251), "");
  EXPECT_EQ(srecord::data_record(4, 0, data.data(), 250).size(), 4u + 2 * 255 + 1);
  EXPECT_EQ(srecord::terminator_record(1, 0), "");
  EXPECT_EQ(srecord::header_record(std::string(253, 'x')), "");
  EXPECT_EQ(srecord::data_records(4, 0, data.data(), 10, 0), "");
  EXPECT_EQ(srecord::data_records(4, 0, data.data(), 10, 251), "");
}

TEST(SRecordWriter, SplitsRangeIntoRecords) {
  std::vector<uint8_t> data(100);
  for (size_t k = 0; k < data.size(); ++k)
    data[k] = static_cast<uint8_t>(k);
  const std::string text = srecord::data_records(4, 0x20000000, data.data(), data.size(), 32);
  EXPECT_EQ(text, srecord::data_record(4, 0x20000000, &data[0], 32) +
                      srecord::data_record(4, 0x20000020, &data[32], 32) +
                      srecord::data_record(4, 0x20000040, &data[64], 32) +
                      srecord::data_record(4, 0x20000060, &data[96], 4));
  EXPECT_EQ(srecord::data_records(4, 0, data.data(), 0, 32), "");
}

// Longest records, with either line end, load back through the image.
TEST(SRecordWriter, LongestRecordsLoadBack) {
  for (const char* eol : {"\n", "\r\n"}) {
    for (int s1 : {0, 1}) {
      const int ab = s1 ? 2 : 4;
      const uint32_t first = s1 ? 0x70 : 0x20000000;
      std::vector<uint8_t> data(srecord::max_data_bytes(ab));
      for (size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<uint8_t>(k * 7 + 3);
      std::string text = srecord::header_record("long") +
                         srecord::data_records(ab, first, data.data(), data.size(), data.size()) +
                         srecord::terminator_record(ab, first);
      for (size_t p = 0; (p = text.find('\n', p)) != std::string::npos; p += 2) {
        if (eol[0] == '\r')
          text.insert(p, "\r");
      }
      FILE* f = std::tmpfile();
      ASSERT_NE(f, nullptr);
      std::fputs(text.c_str(), f);
      std::rewind(f);
      SRecordImage image(f, 0, s1);
      image.load();
      std::fclose(f);
      EXPECT_EQ(image.status(), loaded);
      ASSERT_EQ(image.byte_count(), data.size());
      std::vector<uint8_t> block(data.size());
      ASSERT_EQ(image.copy_block(0, static_cast<uint32_t>(block.size()), block.data()),
                block.size());
      EXPECT_TRUE(block == data);
    }
  }
}

}  // namespace
