// Reading a fuzzer input as a stream of small decisions: every read past the
// end gives zeros, so any input, the empty one included, decodes to something.
#ifndef FLASHPREP_FUZZ_FUZZ_INPUT_H_
#define FLASHPREP_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - pos_; }

  uint8_t u8() { return empty() ? 0 : data_[pos_++]; }
  uint16_t u16() {
    const uint16_t hi = u8();
    return static_cast<uint16_t>((hi << 8) | u8());
  }
  uint32_t u32() {
    const uint32_t hi = u16();
    return (hi << 16) | u16();
  }
  bool flag() { return (u8() & 1) != 0; }

  // Up to `n` bytes, fewer when the input ends first.
  std::vector<uint8_t> bytes(size_t n) {
    n = n < remaining() ? n : remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  // A length byte, 255 meaning a 16-bit length follows; then that many bytes.
  std::vector<uint8_t> sized_bytes() {
    size_t n = u8();
    if (n == 255)
      n = u16();
    return bytes(n);
  }
  // Everything not read yet.
  std::vector<uint8_t> rest() { return bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// An invariant did not hold: say which, then abort so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

#endif  // FLASHPREP_FUZZ_FUZZ_INPUT_H_
