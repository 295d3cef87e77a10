#include "image/srecord_writer.h"

#include <cstdio>

namespace srecord {
namespace {

void append_hex(std::string* out, uint8_t b) {
  static const char kDigits[] = "0123456789ABCDEF";
  out->push_back(kDigits[b >> 4]);
  out->push_back(kDigits[b & 0x0F]);
}

// type is the character after 'S'; the address goes out big-endian.
std::string record(char type, int address_bytes, uint32_t address, const uint8_t* data,
                   size_t length) {
  const size_t count = address_bytes + length + 1;
  std::string out;
  out.reserve(4 + 2 * count + 1);
  out.push_back('S');
  out.push_back(type);
  append_hex(&out, static_cast<uint8_t>(count));
  uint8_t sum = static_cast<uint8_t>(count);
  for (int k = address_bytes - 1; k >= 0; --k) {
    const uint8_t b = static_cast<uint8_t>(address >> (8 * k));
    append_hex(&out, b);
    sum = static_cast<uint8_t>(sum + b);
  }
  for (size_t j = 0; j < length; ++j) {
    append_hex(&out, data[j]);
    sum = static_cast<uint8_t>(sum + data[j]);
  }
  append_hex(&out, static_cast<uint8_t>(~sum));
  out.push_back('\n');
  return out;
}

bool valid_size(int address_bytes) {
  return address_bytes >= 2 && address_bytes <= 4;
}

}  // namespace

size_t max_data_bytes(int address_bytes) {
  return valid_size(address_bytes) ? 255 - address_bytes - 1 : 0;
}

std::string data_record(int address_bytes, uint32_t address, const uint8_t* data, size_t length) {
  if (!valid_size(address_bytes) || length > max_data_bytes(address_bytes))
    return "";
  return record(static_cast<char>('1' + address_bytes - 2), address_bytes, address, data, length);
}

std::string header_record(const std::string& text) {
  if (text.size() > max_data_bytes(2))
    return "";
  return record('0', 2, 0, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string terminator_record(int address_bytes, uint32_t entry) {
  if (!valid_size(address_bytes))
    return "";
  // S9 ends S1 files, S8 ends S2 files, S7 ends S3 files.
  return record(static_cast<char>('9' - (address_bytes - 2)), address_bytes, entry, nullptr, 0);
}

std::string data_records(int address_bytes, uint32_t address, const uint8_t* data, size_t length,
                         size_t per_record) {
  if (per_record == 0 || per_record > max_data_bytes(address_bytes))
    return "";
  std::string out;
  for (size_t offset = 0; offset < length; offset += per_record) {
    const size_t n = length - offset < per_record ? length - offset : per_record;
    out += data_record(address_bytes, static_cast<uint32_t>(address + offset), data + offset, n);
  }
  return out;
}

}  // namespace srecord
