// SRecordImage: the memory image of one fixed target region, filled from an
// S-record file.
//
// Two flags choose one of four layouts (see ImageLayout): which record type is
// read (S1 with 16-bit addresses, or S3 with 32-bit addresses), the region, and
// whether the image is a flash image that receives a checksum stamp after a
// clean load. The region starts filled with 0xFF; data bytes that fall inside
// it are stored at their place, bytes outside it are dropped (but still count
// in the record checksum). Loading stops at the first bad record.
//
// Ownership: the image owns its region buffer (one allocation, made by the
// constructor). It never owns the FILE: the caller opens it before
// construction and closes it after load(). Not copyable.
#ifndef FLASHPREP_IMAGE_SRECORD_IMAGE_H_
#define FLASHPREP_IMAGE_SRECORD_IMAGE_H_

#include <cstdint>
#include <cstdio>
#include <memory>

enum LoadStatus : int32_t {
  checksum_error = 1,  // a record was bad; loading stopped at it
  loaded = 2,          // every line of the file was read
};

// One region preset, chosen by the constructor's two flags.
struct ImageLayout {
  int32_t s1_records;     // 1: S1 records, 16-bit region; 0: S3 records
  int32_t flash_image;    // 1: stamped after a clean load
  uint32_t region_first;  // first address of the region
  uint32_t region_last;   // last address, inclusive
  uint32_t buffer_bytes;  // bytes allocated (the 0x70 layout has 256 spare)

  // The preset for the two flags (each counts as set when non-zero).
  static const ImageLayout& choose(int32_t flash_image, int32_t s1_records);
};

class SRecordImage {
 public:
  // The longest valid record: "S3", a count byte of 255 (510 characters of
  // count, address, data and checksum), then "\r\n" and the terminating zero.
  static constexpr int kLineBufferSize = 4 + 2 * 255 + 3;

  // Stores the stream and the flags, allocates the region buffer and fills
  // the region with 0xFF. `file` is borrowed; it must stay open until load()
  // returns.
  SRecordImage(FILE* file, int32_t flash_image, int32_t s1_records);
  ~SRecordImage();
  SRecordImage(const SRecordImage&) = delete;
  SRecordImage& operator=(const SRecordImage&) = delete;

  // Reads the stream from its current position to its end, or to the first
  // bad record (checksum mismatch, count byte below the record's minimum, a
  // count that asks for more characters than the line holds, or a line too
  // short to hold its count byte). Afterwards status() is `loaded` or
  // `checksum_error`. A flash layout is stamped on the way to `loaded`.
  // Lines of other record types are skipped; terminators do not end reading.
  // A record rejected for its count stores nothing; one failing its checksum
  // has already stored its bytes (they, and earlier records', stay). A line
  // longer than kLineBufferSize - 1 characters is judged by its first part;
  // the rest, up to its newline, is discarded. Call once.
  void load();
  void load_s1();
  void load_s3();

  // Decodes two characters as one byte: '0'-'9' and upper-case 'A'-'F' are
  // digits, every other character counts as 0.
  static uint8_t hex_byte(const char* p);

  // Queries; meaningful after load().
  LoadStatus status() const { return load_status; }
  uint32_t low_address() const { return low; }    // region_last if nothing stored
  uint32_t high_address() const { return high; }  // region_first if nothing stored
  uint32_t byte_count() const { return count; }   // stores, not distinct addresses
  uint32_t checksum() const { return last_checksum; }

  // Number of n-byte blocks over the stored span (high - low + 1), rounded up.
  // 0 when n is 0, nothing was stored, or the span is crossed.
  uint32_t block_count(uint32_t n) const;

  // Copies block i of size n (the bytes from region_first + i*n) to dst and
  // returns the count copied: n, or high_address() - i*n when the block would
  // reach past high_address(), compared as a plain number (so, for blocks
  // inside the region, only the 0x70 region gets a short last block); never
  // more than lies inside the region, and 0 for a block starting beyond it.
  // dst bytes past the returned count are untouched. REQUIRES: dst holds n
  // bytes.
  uint32_t copy_block(uint32_t i, uint32_t n, uint8_t* dst) const;

  // The flash stamps, run by load() on a clean load of a flash layout. Each
  // does nothing unless the image has its layout (16-bit: 0x2800..0xFFFF,
  // 32-bit: 0x4000..0x3FFFF).
  //
  // 16-bit: copies the region's last 64 bytes 2048 bytes lower, lowers
  // high_address() by 2048 (the stamped image ends 2 KiB lower), and stores the
  // 16-bit sum of the bytes 0x2800..0xF7FD big-endian at 0xF7FE.
  void stamp_checksum_s1();
  // 32-bit: sums the region as big-endian words, leaving out the words at
  // 0x4200..0x43FF, and stores the sum big-endian at 0x4200; checksum()
  // reports it byte-reversed. Addresses and counts are unchanged.
  void stamp_checksum_s3();

 private:
  friend class SRecordImagePeer;  // tests read the region buffer

  template <int kAddressBytes>
  void load_records();

  uint32_t low = 0;
  uint32_t high = 0;
  uint32_t count = 0;
  uint32_t region_first;
  uint32_t region_last;
  uint32_t last_checksum;
  FILE* file;
  LoadStatus load_status = checksum_error;
  std::unique_ptr<uint8_t[]> buffer;
  int32_t flash_image;
  int32_t s1_records;
};

#endif  // FLASHPREP_IMAGE_SRECORD_IMAGE_H_
