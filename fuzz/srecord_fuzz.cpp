// The S-record loader against a plain re-reading of the same rules.
//
// Input: byte 0 picks the layout (bit 0: flash image, bit 1: S1 records),
// bytes 1-4 and 5-8 are a block index and a block size for the block queries,
// the rest is the file. The loader reads the file through fmemopen(); a
// reference loader, written for clarity rather than speed, reads the same
// bytes, and the two must agree on status, counts, addresses, checksum and
// every byte of the region. The block queries must stay inside the region
// and inside the caller's buffer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "image/srecord_image.h"

// Granted friendship by SRecordImage for tests: the region buffer.
class SRecordImagePeer {
 public:
  static const uint8_t* region(const SRecordImage& image) { return image.buffer.get(); }
};

// The reference is not what is being explored: no coverage feedback from it,
// which also keeps its byte-by-byte loops fast.
#define REFERENCE_CODE __attribute__((no_sanitize("coverage")))

namespace {

constexpr size_t kFgetsChars = SRecordImage::kLineBufferSize - 1;
constexpr uint32_t kMaxCopyBytes = 1u << 18;  // above the largest region

struct Layout {
  bool s1;
  bool flash;
  uint32_t first;
  uint32_t last;
  uint64_t bytes() const { return uint64_t{last} - first + 1; }
};

Layout layout_for(bool flash, bool s1) {
  if (s1)
    return flash ? Layout{true, true, 0x2800, 0xFFFF} : Layout{true, false, 0x0070, 0x076F};
  return flash ? Layout{false, true, 0x4000, 0x3FFFF}
               : Layout{false, false, 0x20000000, 0x20001FFF};
}

REFERENCE_CODE int digit(uint8_t c) {
  static const char kDigits[] = "0123456789ABCDEF";
  const void* p = std::memchr(kDigits, c, 16);
  return p == nullptr ? 0 : static_cast<int>(static_cast<const char*>(p) - kDigits);
}

struct Reference {
  Layout layout;
  std::vector<uint8_t> mem;  // indexed by address - layout.first
  uint32_t count = 0;
  uint32_t low;
  uint32_t high;
  uint32_t checksum = 0;
  bool loaded = false;

  REFERENCE_CODE explicit Reference(const Layout& l)
      : layout(l), mem(l.bytes(), 0xFF), low(l.last), high(l.first) {}

  REFERENCE_CODE uint8_t& at(uint32_t address) { return mem[address - layout.first]; }

  // False when the record stops loading.
  REFERENCE_CODE bool record(const std::vector<uint8_t>& line) {
    auto ch = [&](size_t i) -> uint8_t { return i < line.size() ? line[i] : 0; };
    if (ch(0) != 'S' || ch(1) != (layout.s1 ? '1' : '3'))
      return true;
    size_t text = 0;  // characters before CR, LF or NUL
    while (text < line.size() && line[text] != '\r' && line[text] != '\n' && line[text] != 0)
      ++text;
    if (text < 4)
      return false;
    // Field k is the byte written at characters 2 + 2k and 3 + 2k: the count,
    // the address bytes, the data, the checksum.
    auto field = [&](size_t k) {
      return static_cast<uint8_t>(digit(ch(2 + 2 * k)) * 16 + digit(ch(3 + 2 * k)));
    };
    const size_t n = field(0);
    const size_t address_bytes = layout.s1 ? 2 : 4;
    if (n < address_bytes + 1 || text < 4 + 2 * n)
      return false;
    uint64_t address = 0;
    for (size_t k = 1; k <= address_bytes; ++k)
      address = address * 256 + field(k);
    unsigned total = 0;
    for (size_t k = 0; k < n; ++k)
      total += field(k);
    for (size_t k = address_bytes + 1; k < n; ++k) {
      const uint64_t a = address + (k - address_bytes - 1);
      if (a < layout.first || a > layout.last)
        continue;
      at(static_cast<uint32_t>(a)) = field(k);
      ++count;
      low = std::min<uint32_t>(low, static_cast<uint32_t>(a));
      high = std::max<uint32_t>(high, static_cast<uint32_t>(a));
    }
    return ((total + field(n)) & 0xFF) == 0xFF;
  }

  REFERENCE_CODE void load(const std::vector<uint8_t>& file) {
    size_t pos = 0;
    while (pos < file.size()) {
      // What one fgets() call returns: up to the newline, at most kFgetsChars.
      std::vector<uint8_t> line;
      while (pos < file.size() && line.size() < kFgetsChars) {
        line.push_back(file[pos++]);
        if (line.back() == '\n')
          break;
      }
      if (line.size() == kFgetsChars && line.back() != '\n') {
        while (pos < file.size() && file[pos++] != '\n') {
        }
      }
      if (!record(line))
        return;
    }
    if (layout.flash)
      layout.s1 ? stamp16() : stamp32();
    loaded = true;
  }

  REFERENCE_CODE void stamp16() {
    for (uint32_t a = 0xFFC0; a <= 0xFFFF; ++a)
      at(a - 2048) = at(a);
    high -= 2048;
    uint16_t sum = 0;
    for (uint32_t a = 0x2800; a < 0xF7FE; ++a)
      sum = static_cast<uint16_t>(sum + at(a));
    at(0xF7FE) = static_cast<uint8_t>(sum >> 8);
    at(0xF7FF) = static_cast<uint8_t>(sum & 0xFF);
    checksum = sum;
  }

  REFERENCE_CODE void stamp32() {
    uint32_t sum = 0;
    for (uint32_t a = 0x4000; a < 0x40000; a += 4) {
      if (a >= 0x4200 && a < 0x4400)
        continue;
      const uint8_t* w = &at(a);
      sum += (uint32_t{w[0]} << 24) + (uint32_t{w[1]} << 16) + (uint32_t{w[2]} << 8) + w[3];
    }
    for (int k = 0; k < 4; ++k)
      at(0x4200 + k) = static_cast<uint8_t>(sum >> (24 - 8 * k));
    checksum = 0;
    for (int k = 0; k < 4; ++k)
      checksum |= ((sum >> (8 * k)) & 0xFF) << (24 - 8 * k);
  }
};

REFERENCE_CODE void check_copy(const SRecordImage& image, const Reference& ref, uint32_t i,
                               uint32_t n) {
  constexpr size_t kGuard = 32;
  constexpr uint8_t kFill = 0xA7;
  std::vector<uint8_t> dst(size_t{n} + kGuard, kFill);
  const uint32_t got = image.copy_block(i, n, dst.data());
  const uint64_t offset = uint64_t{i} * n;
  const uint64_t region = ref.layout.bytes();
  uint64_t want = 0;
  if (offset < region) {
    want = offset + n > ref.high ? (ref.high > offset ? ref.high - offset : 0) : n;
    want = std::min(want, region - offset);
  }
  FUZZ_CHECK(got == want);
  if (got > 0)
    FUZZ_CHECK(std::memcmp(dst.data(), &ref.mem[offset], got) == 0);
  FUZZ_CHECK(std::all_of(dst.begin() + got, dst.end(), [](uint8_t b) { return b == kFill; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t selector = in.u8();
  const bool flash = (selector & 1) != 0;
  const bool s1 = (selector & 2) != 0;
  const uint32_t block_index = in.u32();
  const uint32_t block_size = in.u32();
  std::vector<uint8_t> file = in.rest();

  // fmemopen() wants a non-null buffer even for an empty file.
  uint8_t none = 0;
  FILE* stream = fmemopen(file.empty() ? &none : file.data(), file.size(), "r");
  FUZZ_CHECK(stream != nullptr);
  SRecordImage image(stream, flash ? 1 : 0, s1 ? 1 : 0);
  image.load();
  std::fclose(stream);

  Reference ref(layout_for(flash, s1));
  ref.load(file);

  const Layout& l = ref.layout;
  FUZZ_CHECK(image.status() == loaded || image.status() == checksum_error);
  FUZZ_CHECK((image.status() == loaded) == ref.loaded);
  FUZZ_CHECK(image.byte_count() == ref.count);
  FUZZ_CHECK(image.low_address() == ref.low);
  FUZZ_CHECK(image.high_address() == ref.high);
  FUZZ_CHECK(image.checksum() == ref.checksum);
  FUZZ_CHECK(std::memcmp(SRecordImagePeer::region(image), ref.mem.data(), ref.mem.size()) == 0);

  // The same facts stated directly, so that a reference sharing a mistake with
  // the loader is still caught on them.
  const bool stamped16 = ref.loaded && l.flash && l.s1;
  const uint32_t high_top = stamped16 ? l.last - 2048 : l.last;
  const uint32_t high_floor = stamped16 ? l.first - 2048 : l.first;
  if (image.byte_count() == 0) {
    FUZZ_CHECK(image.low_address() == l.last && image.high_address() == high_floor);
  } else {
    FUZZ_CHECK(l.first <= image.low_address() && image.low_address() <= l.last);
    FUZZ_CHECK(high_floor <= image.high_address() && image.high_address() <= high_top);
    if (!stamped16)
      FUZZ_CHECK(image.low_address() <= image.high_address());
  }
  if (!(ref.loaded && l.flash))
    FUZZ_CHECK(image.checksum() == 0);

  // Block queries with sizes and indexes from the input.
  const uint32_t span_blocks = image.block_count(block_size);
  if (block_size == 0 || image.byte_count() == 0 || image.high_address() < image.low_address()) {
    FUZZ_CHECK(span_blocks == 0);
  } else {
    const uint64_t span = uint64_t{image.high_address()} - image.low_address() + 1;
    FUZZ_CHECK(span_blocks == (span + block_size - 1) / block_size);
  }
  // Mostly small blocks, which are quick to check; the top bit asks for any
  // size up to the whole region.
  const uint32_t copy_size =
      (block_size & 0x80000000u) != 0 ? block_size % (kMaxCopyBytes + 1) : block_size % 1025;
  check_copy(image, ref, block_index, copy_size);
  if (copy_size > 0) {
    const uint32_t blocks = image.block_count(copy_size);
    check_copy(image, ref, 0, copy_size);
    if (blocks > 0)
      check_copy(image, ref, blocks - 1, copy_size);
    check_copy(image, ref, blocks, copy_size);
  }
  return 0;
}
