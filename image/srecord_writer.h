// srecord: formatting of S-record lines.
//
// Every function returns whole lines ending in "\n", with upper-case hex, a
// count byte covering address, data and checksum, and the checksum the
// ones' complement of the 8-bit sum of count, address and data bytes. An
// empty string means the arguments cannot form a record (address size not 2,
// 3 or 4, or too much data for one record). Addresses are written in
// `address_bytes` bytes; higher bits are dropped.
//
// Used to make test inputs and the sample driver image; nothing here reads.
#ifndef FLASHPREP_IMAGE_SRECORD_WRITER_H_
#define FLASHPREP_IMAGE_SRECORD_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace srecord {

// Data bytes that fit one record: 255 less the address and checksum bytes.
size_t max_data_bytes(int address_bytes);

// One data record: S1, S2 or S3 for 2, 3 or 4 address bytes.
std::string data_record(int address_bytes, uint32_t address, const uint8_t* data, size_t length);

// An S0 header record at address 0000 carrying `text` (at most 252 bytes).
std::string header_record(const std::string& text);

// The terminator that matches `address_bytes`: S9, S8 or S7, with `entry` as
// its start address.
std::string terminator_record(int address_bytes, uint32_t entry);

// `length` bytes from `data`, placed at `address` onwards, as data records of
// `per_record` bytes each (the last may be shorter), in address order. Empty
// when per_record is 0 or more than max_data_bytes(address_bytes); an empty
// range gives an empty string too.
std::string data_records(int address_bytes, uint32_t address, const uint8_t* data, size_t length,
                         size_t per_record);

}  // namespace srecord

#endif  // FLASHPREP_IMAGE_SRECORD_WRITER_H_
