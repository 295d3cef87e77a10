#include "image/srecord_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "image/srecord_writer.h"

// Reads the region buffer, which copy_block() only partly exposes.
class SRecordImagePeer {
 public:
  static uint8_t at(const SRecordImage& image, uint32_t address) {
    return image.buffer[address - image.region_first];
  }
  static std::vector<uint8_t> region(const SRecordImage& image) {
    return std::vector<uint8_t>(image.buffer.get(),
                                image.buffer.get() + (image.region_last - image.region_first + 1));
  }
};

namespace {

// A rewound temporary stream holding `text`; closed on destruction.
struct TextFile {
  explicit TextFile(const std::string& text) : f(std::tmpfile()) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
  }
  ~TextFile() { std::fclose(f); }
  FILE* f;
};

// An image loaded from `text`.
struct Loaded {
  Loaded(const std::string& text, int flash, int s1) : file(text), image(file.f, flash, s1) {
    image.load();
  }
  uint8_t at(uint32_t address) const { return SRecordImagePeer::at(image, address); }
  TextFile file;
  SRecordImage image;
};

std::string rec(int address_bytes, uint32_t address, const std::vector<uint8_t>& data) {
  return srecord::data_record(address_bytes, address, data.data(), data.size());
}

std::string fill(int address_bytes, uint32_t address, size_t length, uint8_t value) {
  const std::vector<uint8_t> data(length, value);
  return srecord::data_records(address_bytes, address, data.data(), length, 32);
}

struct Rng {
  uint32_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

TEST(SRecordImageHex, UpperCaseDigitsOnly) {
  TextFile file("");
  SRecordImage image(file.f, 0, 0);
  EXPECT_EQ(image.hex_byte("a5"), 0x05);
  EXPECT_EQ(image.hex_byte("5a"), 0x50);
  EXPECT_EQ(image.hex_byte("G1"), 0x01);
  EXPECT_EQ(image.hex_byte("FF"), 0xFF);
  EXPECT_EQ(image.hex_byte("9A"), 0x9A);
  EXPECT_EQ(image.hex_byte(" \n"), 0x00);
}

// Each layout, loaded from a file without its record type: nothing stored,
// the region all 0xFF (flash layouts stamped, see StampTest).
TEST(SRecordImageLoad, NoMatchingRecordsLeavesErasedRegion) {
  const std::string text =
      "S0030000FC\n\nS2050000010000\nS5030001FB\ns3062000000001D8\nS9030000FC\n";
  const struct {
    int s1;
    uint32_t first, last;
  } cases[] = {{0, 0x20000000, 0x20001FFF}, {1, 0x0070, 0x076F}};
  for (const auto& c : cases) {
    Loaded l(text + (c.s1 ? "S3062000000001D8\n" : "S1040070ABE0\n"), 0, c.s1);
    EXPECT_EQ(l.image.status(), loaded);
    EXPECT_EQ(l.image.byte_count(), 0u);
    EXPECT_EQ(l.image.low_address(), c.last);
    EXPECT_EQ(l.image.high_address(), c.first);
    EXPECT_EQ(l.image.block_count(256), 0u);
    const std::vector<uint8_t> region = SRecordImagePeer::region(l.image);
    EXPECT_EQ(region.size(), c.last - c.first + 1);
    EXPECT_TRUE(std::all_of(region.begin(), region.end(), [](uint8_t b) { return b == 0xFF; }));
  }
}

TEST(SRecordImageLoad, WorkedRecords) {
  Loaded s1("S1040070ABE0\n", 0, 1);
  EXPECT_EQ(s1.image.status(), loaded);
  EXPECT_EQ(s1.at(0x70), 0xAB);
  EXPECT_EQ(s1.image.byte_count(), 1u);
  EXPECT_EQ(s1.image.low_address(), 0x70u);
  EXPECT_EQ(s1.image.high_address(), 0x70u);

  // Lower-case digits decode as 0: the byte is stored, then the checksum fails.
  Loaded lower("S1040070abE0\nS1040071ABDF\n", 0, 1);
  EXPECT_EQ(lower.image.status(), checksum_error);
  EXPECT_EQ(lower.at(0x70), 0x00);
  EXPECT_EQ(lower.image.byte_count(), 1u);
  EXPECT_EQ(lower.at(0x71), 0xFF);

  Loaded s3("S3062000000001D8\r\n", 0, 0);
  EXPECT_EQ(s3.image.status(), loaded);
  EXPECT_EQ(s3.at(0x20000000), 0x01);
  EXPECT_EQ(s3.image.byte_count(), 1u);
}

TEST(SRecordImageLoad, TerminatorsAndTrailingTextDoNotStopReading) {
  Loaded l("S70520000000DA\nS3062000000001D8 trailing\nS804000000FB\nS3062000000102D6\n", 0, 0);
  EXPECT_EQ(l.image.status(), loaded);
  EXPECT_EQ(l.image.byte_count(), 2u);
  EXPECT_EQ(l.at(0x20000001), 0x02);
}

TEST(SRecordImageLoad, EmptyRecordStoresNothingButChecksumCounts) {
  Loaded good("S30520000000DA\nS10300708C\n", 0, 0);
  EXPECT_EQ(good.image.status(), loaded);
  EXPECT_EQ(good.image.byte_count(), 0u);
  Loaded bad("S30520000000DB\n", 0, 0);
  EXPECT_EQ(bad.image.status(), checksum_error);
  Loaded s1("S10300708C\nS10300708D\n", 0, 1);
  EXPECT_EQ(s1.image.status(), checksum_error);
  EXPECT_EQ(s1.image.byte_count(), 0u);
}

TEST(SRecordImageLoad, BytesOutsideRegionAreDropped) {
  Loaded past(rec(4, 0x20001FFE, {1, 2, 3, 4}) + rec(4, 0x1FFFFFFF, {5, 6}), 0, 0);
  EXPECT_EQ(past.image.status(), loaded);
  EXPECT_EQ(past.image.byte_count(), 3u);
  EXPECT_EQ(past.at(0x20001FFF), 0x02);
  EXPECT_EQ(past.at(0x20000000), 0x06);
  EXPECT_EQ(past.image.low_address(), 0x20000000u);
  EXPECT_EQ(past.image.high_address(), 0x20001FFFu);

  // An S1 record runs on past 0xFFFF instead of wrapping to 0x0000.
  Loaded wrap(rec(2, 0xFFC0, std::vector<uint8_t>(200, 0x11)), 0, 1);
  EXPECT_EQ(wrap.image.status(), loaded);
  EXPECT_EQ(wrap.image.byte_count(), 0u);
  EXPECT_EQ(wrap.at(0x70), 0xFF);

  Loaded top(rec(2, 0xFFFE, {0xA1, 0xA2, 0xA3, 0xA4}), 1, 1);
  EXPECT_EQ(top.image.status(), loaded);
  EXPECT_EQ(top.image.byte_count(), 2u);
  EXPECT_EQ(top.at(0xFFFE), 0xA1);
  EXPECT_EQ(top.at(0xFFFF), 0xA2);
  EXPECT_EQ(top.image.low_address(), 0xFFFEu);
  EXPECT_EQ(top.image.high_address(), 0xFFFFu - 2048);  // lowered by the stamp
  EXPECT_EQ(top.image.checksum(), 0x2E02u);             // the moved pair is overwritten by the sum
}

TEST(SRecordImageLoad, LaterWriteWinsAndBothCount) {
  Loaded l(rec(4, 0x20000010, {1, 2, 3}) + rec(4, 0x20000011, {9}), 0, 0);
  EXPECT_EQ(l.image.byte_count(), 4u);
  EXPECT_EQ(l.at(0x20000011), 9);
  EXPECT_EQ(l.at(0x20000012), 3);
}

TEST(SRecordImageLoad, BadChecksumStopsAtOnce) {
  const std::string lines[] = {rec(4, 0x20000000, {1, 2}), rec(4, 0x20000002, {3}),
                               "S3062000000304D3\n",  // checksum should be D2
                               rec(4, 0x20000004, {5})};
  Loaded l(lines[0] + lines[1] + lines[2] + lines[3], 0, 0);
  EXPECT_EQ(l.image.status(), checksum_error);
  EXPECT_EQ(l.image.byte_count(), 4u);
  EXPECT_EQ(l.at(0x20000003), 4);
  EXPECT_EQ(l.at(0x20000004), 0xFF);
  EXPECT_EQ(std::ftell(l.file.f), long(lines[0].size() + lines[1].size() + lines[2].size()));
}

TEST(SRecordImageBlocks, CountOverStoredSpan) {
  const struct { uint32_t span, blocks; } cases[] = {{1, 1}, {256, 1}, {257, 2}, {8192, 32}};
  for (const auto& c : cases) {
    Loaded l(fill(4, 0x20000000, c.span, 0x5A), 0, 0);
    EXPECT_EQ(l.image.block_count(256), c.blocks) << c.span;
    EXPECT_EQ(l.image.block_count(0), 0u);
  }
}

TEST(SRecordImageBlocks, DriverSizedImage) {
  Loaded l(fill(4, 0x20000000, 4000, 0x3C), 0, 0);
  ASSERT_EQ(l.image.block_count(256), 16u);
  uint8_t block[256];
  EXPECT_EQ(l.image.copy_block(15, 256, block), 256u);
  EXPECT_TRUE(std::all_of(block, block + 160, [](uint8_t b) { return b == 0x3C; }));
  EXPECT_TRUE(std::all_of(block + 160, block + 256, [](uint8_t b) { return b == 0xFF; }));
}

TEST(SRecordImageBlocks, BlocksStartAtRegionNotAtLowestByte) {
  Loaded l(fill(4, 0x20000100, 256, 0x00), 0, 0);
  ASSERT_EQ(l.image.block_count(256), 1u);
  uint8_t block[256];
  EXPECT_EQ(l.image.copy_block(0, 256, block), 256u);
  EXPECT_TRUE(std::all_of(block, block + 256, [](uint8_t b) { return b == 0xFF; }));
}

TEST(SRecordImageBlocks, LowRegionGetsShortLastBlock) {
  std::vector<uint8_t> data(0x180);
  std::iota(data.begin(), data.end(), 0);
  Loaded l(srecord::data_records(2, 0x70, data.data(), data.size(), 16), 0, 1);
  ASSERT_EQ(l.image.block_count(256), 2u);
  std::vector<uint8_t> block(256, 0xEE);
  EXPECT_EQ(l.image.copy_block(1, 256, block.data()), 239u);
  // Offsets 256..494: the last 128 stored bytes, then erased ones.
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 128, data.begin() + 256));
  EXPECT_TRUE(
      std::all_of(block.begin() + 128, block.begin() + 239, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::all_of(block.begin() + 239, block.end(), [](uint8_t b) { return b == 0xEE; }));
}

// Calls that would reach outside the region buffer copy only what lies inside.
TEST(SRecordImageBlocks, CopyNeverLeavesRegion) {
  Loaded s3(fill(4, 0x20000000, 8192, 0x77), 0, 0);
  std::vector<uint8_t> dst(16384 + 16, 0xEE);
  EXPECT_EQ(s3.image.copy_block(0, 16384, dst.data()), 8192u);
  EXPECT_EQ(dst[8191], 0x77);
  EXPECT_EQ(dst[8192], 0xEE);
  EXPECT_EQ(s3.image.copy_block(1, 8000, dst.data()), 192u);
  EXPECT_EQ(s3.image.copy_block(32, 256, dst.data()), 0u);
  EXPECT_EQ(s3.image.copy_block(33, 256, dst.data()), 0u);  // still below high_address()
  EXPECT_EQ(s3.image.copy_block(100000, 256, dst.data()), 0u);
  EXPECT_EQ(s3.image.copy_block(0xFFFFFFFFu, 256, dst.data()), 0u);
  EXPECT_EQ(s3.image.copy_block(0x01000000u, 256, dst.data()), 0u);  // i*n wraps in 32 bits
  EXPECT_EQ(s3.image.copy_block(0x00800000u, 512, dst.data()), 0u);

  Loaded low(fill(2, 0x70, 1792, 0x44), 0, 1);
  ASSERT_EQ(low.image.high_address(), 0x76Fu);
  std::fill(dst.begin(), dst.end(), 0xEE);
  EXPECT_EQ(low.image.copy_block(6, 256, dst.data()), 256u);
  EXPECT_EQ(low.image.copy_block(7, 256, dst.data()), 0u);  // would reach the spare bytes
  EXPECT_EQ(low.image.copy_block(8, 256, dst.data()), 0u);  // high - offset goes negative
  EXPECT_EQ(low.image.copy_block(0, 4096, dst.data()), 1792u);
  EXPECT_EQ(dst[1791], 0x44);
  EXPECT_EQ(dst[1792], 0xEE);
}

TEST(SRecordImageBlocks, NoBlocksAfterStampCrossesTinySpan) {
  Loaded l(rec(2, 0x2800, {1}), 1, 1);
  EXPECT_EQ(l.image.status(), loaded);
  EXPECT_LT(l.image.high_address(), l.image.low_address());
  EXPECT_EQ(l.image.block_count(256), 0u);
}

TEST(SRecordImageStamp, SixteenBit) {
  Loaded empty("S0030000FC\n", 1, 1);
  EXPECT_EQ(empty.image.status(), loaded);
  EXPECT_EQ(empty.image.checksum(), 0x2E02u);
  EXPECT_EQ(empty.at(0xF7FE), 0x2E);
  EXPECT_EQ(empty.at(0xF7FF), 0x02);
  EXPECT_EQ(empty.image.high_address(), 0x2000u);

  Loaded zeros(fill(2, 0xFFC0, 64, 0x00), 1, 1);
  EXPECT_EQ(zeros.image.checksum(), 0xF040u);
  for (uint32_t a = 0xF7C0; a <= 0xF7FD; ++a)
    ASSERT_EQ(zeros.at(a), 0) << a;
  EXPECT_EQ(zeros.at(0xF7FE), 0xF0);
  EXPECT_EQ(zeros.at(0xF7FF), 0x40);
  EXPECT_EQ(zeros.image.high_address(), 0xF7FFu);
  EXPECT_EQ(zeros.image.low_address(), 0xFFC0u);
}

TEST(SRecordImageStamp, ThirtyTwoBit) {
  Loaded empty("S1040070ABE0\n", 1, 0);
  EXPECT_EQ(empty.image.checksum(), 0x8010FFFFu);
  EXPECT_EQ(empty.at(0x4200), 0xFF);
  EXPECT_EQ(empty.at(0x4201), 0xFF);
  EXPECT_EQ(empty.at(0x4202), 0x10);
  EXPECT_EQ(empty.at(0x4203), 0x80);
  EXPECT_EQ(empty.image.high_address(), 0x4000u);
  EXPECT_EQ(empty.image.byte_count(), 0u);

  Loaded one(rec(4, 0x4000, {0, 0, 0, 1}), 1, 0);
  EXPECT_EQ(one.image.checksum(), 0x8210FFFFu);

  // The checksum area is left out of the sum, whatever it held.
  Loaded area(fill(4, 0x4200, 512, 0x12), 1, 0);
  EXPECT_EQ(area.image.checksum(), 0x8010FFFFu);
  EXPECT_EQ(area.at(0x4203), 0x80);
  EXPECT_EQ(area.at(0x4204), 0x12);
}

TEST(SRecordImageStamp, NoneAfterChecksumError) {
  Loaded s1(rec(2, 0xFFFF, {7}) + "S1040070ABE1\n", 1, 1);
  EXPECT_EQ(s1.image.status(), checksum_error);
  EXPECT_EQ(s1.image.checksum(), 0u);
  EXPECT_EQ(s1.image.high_address(), 0xFFFFu);
  EXPECT_EQ(s1.at(0xF7FF), 0xFF);
  Loaded s3("S3062000000001D9\n", 1, 0);
  EXPECT_EQ(s3.image.status(), checksum_error);
  EXPECT_EQ(s3.image.checksum(), 0u);
  EXPECT_EQ(s3.at(0x4200), 0xFF);
}

// Each bad line sits between a good record (kept) and another (never read).
TEST(SRecordImageMalformed, BadCountStopsLoadStoringNothing) {
  const struct {
    int s1;
    const char* line;
  } cases[] = {{1, "S1000070ABE0"},
               {1, "S1010070ABE0"},
               {1, "S1020070ABE0"},
               {1, "S102"},
               {1, "S1"},
               {1, "S10"},
               {1, "S1050070AB"},
               {1, "S1050070ABCD"},
               {1, "S1050070AB\rCD89"},
               {0, "S300200000000102"},
               {0, "S30120000000AB"},
               {0, "S3022000000001D8"},
               {0, "S303200000000102"},
               {0, "S3042000000001D8"},
               {0, "S3FF2000000001D8"},
               {0, "S3072000000001D8"}};
  for (const auto& c : cases) {
    const uint32_t base = c.s1 ? 0x100 : 0x20000100;
    const int ab = c.s1 ? 2 : 4;
    Loaded l(rec(ab, base, {0x11}) + c.line + "\n" + rec(ab, base + 1, {0x22}), 0, c.s1);
    EXPECT_EQ(l.image.status(), checksum_error) << c.line;
    EXPECT_EQ(l.image.byte_count(), 1u) << c.line;
    EXPECT_EQ(l.at(base), 0x11) << c.line;
    EXPECT_EQ(l.at(base + 1), 0xFF) << c.line;
    const uint32_t first = c.s1 ? 0x70 : 0x20000000;
    EXPECT_EQ(l.at(first), 0xFF) << c.line;
  }
}

// A line longer than the line buffer is judged by its head; its tail must not
// turn into lines of its own, whatever it looks like.
TEST(SRecordImageMalformed, OverlongLineTailIsDiscarded) {
  const std::string hidden = rec(4, 0x20000000, {0x01});
  const std::string after = rec(4, 0x20000001, {0x02});
  for (const std::string& head : {std::string("S0"), rec(4, 0x20000010, {0x10}).substr(0, 16)}) {
    for (size_t at : {size_t{516}, size_t{517}, size_t{530}}) {
      std::string line = head + std::string(at - head.size(), ' ') + hidden;
      line.back() = ' ';  // drop the newline inside the line
      line += std::string(600 - line.size(), 'x') + "\n";
      Loaded l(line + after, 0, 0);
      EXPECT_EQ(l.image.status(), loaded) << at;
      EXPECT_EQ(l.at(0x20000000), 0xFF) << at;
      EXPECT_EQ(l.at(0x20000001), 0x02) << at;
      EXPECT_EQ(l.image.byte_count(), head == "S0" ? 1u : 2u) << at;
    }
  }
  Loaded huge("S0" + std::string(5000, '3') + "\n" + after, 0, 0);
  EXPECT_EQ(huge.image.status(), loaded);
  EXPECT_EQ(huge.image.byte_count(), 1u);
  // Around a full buffer: the line end must be found whether or not it fit.
  for (size_t n : {size_t{514}, size_t{515}, size_t{516}}) {
    Loaded full("S0" + std::string(n - 2, '0') + "\n" + after + std::string(516, 'S'), 0, 0);
    EXPECT_EQ(full.image.status(), loaded) << n;
    EXPECT_EQ(full.image.byte_count(), 1u) << n;
  }
}

// Cutting a valid file anywhere gives `loaded` exactly when the cut leaves no
// partial S1 record behind, and keeps every whole record before the cut.
TEST(SRecordImageMalformed, EveryTruncation) {
  for (const char* eol : {"\n", "\r\n"}) {
    std::vector<std::string> lines = {srecord::header_record("cut")};
    std::vector<uint32_t> sizes = {0};
    Rng rng{7};
    for (uint32_t n : {1u, 16u, 3u, 0u, 40u}) {
      std::vector<uint8_t> data(n);
      for (uint8_t& b : data)
        b = static_cast<uint8_t>(rng.next());
      lines.push_back(rec(2, 0x100 + 64 * uint32_t(lines.size()), data));
      sizes.push_back(n);
    }
    lines.push_back(srecord::terminator_record(2, 0x100));
    sizes.push_back(0);
    std::string text;
    for (std::string& line : lines)
      text += line.replace(line.size() - 1, 1, eol);

    for (size_t cut = 0; cut <= text.size(); ++cut) {
      uint32_t expect_count = 0;
      LoadStatus expect = loaded;
      size_t pos = 0;
      for (size_t k = 0; k < lines.size() && pos < cut; pos += lines[k++].size()) {
        const size_t body = lines[k].size() - std::strlen(eol);
        const size_t have = std::min(cut - pos, body);
        if (lines[k].compare(0, 2, "S1") != 0 || have < 2)
          continue;
        if (have < body)
          expect = checksum_error;
        else
          expect_count += sizes[k];
      }
      Loaded l(text.substr(0, cut), 0, 1);
      ASSERT_EQ(l.image.status(), expect) << cut;
      ASSERT_EQ(l.image.byte_count(), expect_count) << cut;
    }
  }
}

// Independent models of the two stamps, written from their description.
void stamp16(std::vector<uint8_t>* r, uint32_t* high, uint32_t* checksum) {
  std::copy(r->begin() + 0xFFC0 - 0x2800, r->end(), r->begin() + 0xF7C0 - 0x2800);
  *high -= 0x800;
  const uint32_t sum = std::accumulate(r->begin(), r->begin() + (0xF7FE - 0x2800), 0u) & 0xFFFF;
  (*r)[0xF7FE - 0x2800] = static_cast<uint8_t>(sum >> 8);
  (*r)[0xF7FF - 0x2800] = static_cast<uint8_t>(sum);
  *checksum = sum;
}

void stamp32(std::vector<uint8_t>* r, uint32_t* checksum) {
  uint32_t sum = 0;
  for (size_t i = 0; i < r->size(); i += 4) {
    if (i >= 0x200 && i < 0x400)
      continue;
    uint32_t word = 0;
    for (size_t k = 0; k < 4; ++k)
      word = word << 8 | (*r)[i + k];
    sum += word;
  }
  *checksum = 0;
  for (int k = 0; k < 4; ++k) {
    (*r)[0x200 + k] = static_cast<uint8_t>(sum >> (24 - 8 * k));
    *checksum |= uint32_t{(*r)[0x200 + k]} << (8 * k);
  }
}

class RoundTripTest : public testing::TestWithParam<std::tuple<int, int, uint32_t>> {};

// Random records (all lengths, any order, overlapping, partly outside the
// region) written by the writer load back into the image the model predicts.
TEST_P(RoundTripTest, LoadsWhatWasWritten) {
  const int flash = std::get<0>(GetParam());
  const int s1 = std::get<1>(GetParam());
  Rng rng{std::get<2>(GetParam())};
  const ImageLayout& layout = ImageLayout::choose(flash, s1);
  const int ab = s1 ? 2 : 4;
  const uint32_t first = layout.region_first;
  const uint32_t last = layout.region_last;
  std::vector<uint8_t> model(last - first + 1, 0xFF);
  uint32_t count = 0, low = last, high = first, checksum = 0;

  std::string text = srecord::header_record("round trip");
  const uint32_t lo = first >= 64 ? first - 64 : 0;
  const uint32_t span = std::min<uint32_t>(last + 64, s1 ? 0xFFFF : 0xFFFFFFFF) - lo + 1;
  for (int r = 0; r < 300; ++r) {
    const uint32_t address = lo + rng.next() % span;
    std::vector<uint8_t> data(r % 3 == 0 ? rng.next() % 8 : rng.next() % (251 - ab));
    for (uint8_t& b : data)
      b = static_cast<uint8_t>(rng.next());
    if (r % 50 == 0) {
      text += srecord::data_records(ab, address, data.data(), data.size(), 1 + r % 31);
    } else {
      text += rec(ab, address, data);
    }
    for (uint32_t j = 0; j < data.size(); ++j) {
      if (uint64_t{address} + j < first || uint64_t{address} + j > last)
        continue;
      model[address + j - first] = data[j];
      ++count;
      low = std::min(low, address + j);
      high = std::max(high, address + j);
    }
    if (r == 150)
      text += srecord::terminator_record(ab, first);
  }
  if (flash && s1)
    stamp16(&model, &high, &checksum);
  if (flash && !s1)
    stamp32(&model, &checksum);

  Loaded l(text, flash, s1);
  ASSERT_EQ(l.image.status(), loaded);
  EXPECT_EQ(l.image.byte_count(), count);
  EXPECT_EQ(l.image.low_address(), low);
  EXPECT_EQ(l.image.high_address(), high);
  EXPECT_EQ(l.image.checksum(), checksum);
  EXPECT_TRUE(SRecordImagePeer::region(l.image) == model);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, RoundTripTest,
                         testing::Combine(testing::Values(0, 1), testing::Values(0, 1),
                                          testing::Values(1u, 0xBEEFu, 0x12345678u)));

}  // namespace
