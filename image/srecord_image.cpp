#include "image/srecord_image.h"

#include <algorithm>
#include <cstring>

namespace {

// Indexed by s1_records * 2 + flash_image.
const ImageLayout kLayouts[4] = {
    {0, 0, 0x20000000u, 0x20001FFFu, 8192},
    {0, 1, 0x00004000u, 0x0003FFFFu, 245760},
    {1, 0, 0x0070u, 0x076Fu, 2048},  // 256 spare bytes behind the region
    {1, 1, 0x2800u, 0xFFFFu, 55296},
};

const ImageLayout& kS1Flash = kLayouts[3];
const ImageLayout& kS3Flash = kLayouts[1];

// The 16-bit stamp: the last 64 bytes of the region move down by 2048 bytes
// (the stamped image ends 2 KiB lower), and the sum lands in their last 2 bytes.
constexpr uint32_t kS1MovedFrom = 55232;
constexpr uint32_t kS1MovedTo = 53184;
constexpr uint32_t kS1MovedBytes = 64;
constexpr uint32_t kS1SumOffset = kS1MovedTo + kS1MovedBytes - 2;

// The 32-bit stamp: words 128..255 are the checksum area and left out of the
// sum; the sum is stored in its first word.
constexpr uint32_t kS3Words = 245760 / 4;
constexpr uint32_t kS3SumWord = 128;
constexpr uint32_t kS3SkipEnd = 256;

// '0'-'9' and 'A'-'F' map to their values, every other character to 0. A
// table: branching on digit or letter mispredicts often on hex data and took
// half of the loading time.
struct HexDigits {
  uint8_t value[256];
  constexpr HexDigits() : value() {
    for (int c = '0'; c <= '9'; ++c)
      value[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
      value[c] = static_cast<uint8_t>(c - 'A' + 10);
  }
};
constexpr HexDigits kHexDigits;

int hex_digit(char c) {
  return kHexDigits.value[static_cast<unsigned char>(c)];
}

}  // namespace

const ImageLayout& ImageLayout::choose(int32_t flash_image, int32_t s1_records) {
  return kLayouts[(s1_records != 0 ? 2 : 0) + (flash_image != 0 ? 1 : 0)];
}

SRecordImage::SRecordImage(FILE* file, int32_t flash_image, int32_t s1_records)
    : file(file), flash_image(flash_image), s1_records(s1_records) {
  const ImageLayout& layout = ImageLayout::choose(flash_image, s1_records);
  region_first = layout.region_first;
  region_last = layout.region_last;
  buffer.reset(new uint8_t[layout.buffer_bytes]);
  std::memset(buffer.get(), 0xFF, region_last - region_first + 1);
  last_checksum = 0;
}

SRecordImage::~SRecordImage() = default;

uint8_t SRecordImage::hex_byte(const char* p) {
  return static_cast<uint8_t>(hex_digit(p[0]) * 16 + hex_digit(p[1]));
}

void SRecordImage::load() {
  if (s1_records != 0) {
    load_s1();
  } else {
    load_s3();
  }
}

void SRecordImage::load_s1() {
  load_records<2>();
}
void SRecordImage::load_s3() {
  load_records<4>();
}

template <int kAddressBytes>
void SRecordImage::load_records() {
  constexpr char kType = kAddressBytes == 2 ? '1' : '3';
  constexpr uint32_t kMinCount = kAddressBytes + 1;  // address + checksum
  constexpr int kDataColumn = 4 + 2 * kAddressBytes;

  count = 0;
  high = region_first;
  low = region_last;
  char line[kLineBufferSize];
  for (;;) {
    // A non-zero last byte survives only if fgets stopped short of filling
    // the buffer; this tells a cut-off line apart even with NULs inside it.
    line[kLineBufferSize - 1] = 'x';
    if (std::fgets(line, kLineBufferSize, file) == nullptr)
      break;
    if (line[kLineBufferSize - 1] == '\0' && line[kLineBufferSize - 2] != '\n') {
      // Too long for any valid record: drop the rest so that it can never be
      // mistaken for lines of its own.
      int c;
      do {
        c = std::fgetc(file);
      } while (c != '\n' && c != EOF);
    }
    if (line[0] != 'S' || line[1] != kType)
      continue;

    // Characters before the line end; nothing at or beyond it is decoded.
    const size_t length = std::strcspn(line, "\r\n");
    if (length < 4) {
      load_status = checksum_error;  // a record without its count byte
      return;
    }
    const uint32_t record_count = hex_byte(line + 2);
    if (record_count < kMinCount || length < 4 + 2 * size_t{record_count}) {
      load_status = checksum_error;  // rejected before anything is stored
      return;
    }

    uint8_t sum = static_cast<uint8_t>(record_count);
    uint32_t address = 0;
    for (int k = 0; k < kAddressBytes; ++k) {
      const uint8_t b = hex_byte(line + 4 + 2 * static_cast<size_t>(k));
      sum = static_cast<uint8_t>(sum + b);
      address = (address << 8) | b;
    }
    const uint32_t data_bytes = record_count - kMinCount;
    for (uint32_t j = 0; j < data_bytes; ++j) {
      const uint8_t b = hex_byte(line + kDataColumn + 2 * size_t{j});
      sum = static_cast<uint8_t>(sum + b);
      const uint32_t at = address + j;
      if (at >= region_first && at <= region_last) {
        buffer[at - region_first] = b;
        ++count;
        low = std::min(low, at);
        high = std::max(high, at);
      }
    }
    if (hex_byte(line + kDataColumn + 2 * size_t{data_bytes}) != static_cast<uint8_t>(~sum)) {
      load_status = checksum_error;
      return;
    }
  }

  if (flash_image != 0) {
    if (kAddressBytes == 2) {
      stamp_checksum_s1();
    } else {
      stamp_checksum_s3();
    }
  }
  load_status = loaded;
}

uint32_t SRecordImage::block_count(uint32_t n) const {
  if (n == 0 || count == 0 || high < low)
    return 0;
  const uint64_t span = uint64_t{high} - low + 1;
  return static_cast<uint32_t>((span + n - 1) / n);
}

uint32_t SRecordImage::copy_block(uint32_t i, uint32_t n, uint8_t* dst) const {
  const uint64_t offset = uint64_t{i} * n;
  uint64_t length = n;
  // The end of the block is judged against the address `high` itself, not its
  // offset in the region; for regions that start at 256 or more this never
  // cuts a block, for the 0x70 region it shortens the last one.
  if (offset + n > high)
    length = high > offset ? high - offset : 0;
  const uint64_t region_bytes = uint64_t{region_last} - region_first + 1;
  if (offset >= region_bytes)
    return 0;
  length = std::min(length, region_bytes - offset);
  std::memcpy(dst, buffer.get() + offset, static_cast<size_t>(length));
  return static_cast<uint32_t>(length);
}

void SRecordImage::stamp_checksum_s1() {
  // The offsets below only exist in the 16-bit flash region.
  if (region_first != kS1Flash.region_first || region_last != kS1Flash.region_last)
    return;
  uint8_t* b = buffer.get();
  std::memcpy(b + kS1MovedTo, b + kS1MovedFrom, kS1MovedBytes);
  high -= 2048;
  uint16_t sum = 0;
  for (uint32_t k = 0; k < kS1SumOffset; ++k)
    sum = static_cast<uint16_t>(sum + b[k]);
  b[kS1SumOffset] = static_cast<uint8_t>(sum >> 8);
  b[kS1SumOffset + 1] = static_cast<uint8_t>(sum);
  last_checksum = sum;
}

void SRecordImage::stamp_checksum_s3() {
  if (region_first != kS3Flash.region_first || region_last != kS3Flash.region_last)
    return;
  uint8_t* b = buffer.get();
  uint32_t sum = 0;
  for (uint32_t w = 0; w < kS3Words; ++w) {
    if (w >= kS3SumWord && w < kS3SkipEnd)
      continue;
    const uint8_t* p = b + 4 * size_t{w};
    sum += uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  }
  uint8_t* out = b + 4 * size_t{kS3SumWord};
  out[0] = static_cast<uint8_t>(sum >> 24);
  out[1] = static_cast<uint8_t>(sum >> 16);
  out[2] = static_cast<uint8_t>(sum >> 8);
  out[3] = static_cast<uint8_t>(sum);
  // Reported as the stored bytes read least significant first.
  last_checksum = (sum >> 24) | ((sum >> 8) & 0xFF00u) | ((sum << 8) & 0xFF0000u) | (sum << 24);
}
