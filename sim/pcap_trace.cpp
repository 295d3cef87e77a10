#include "sim/pcap_trace.h"

#include <chrono>
#include <cstring>

namespace sim {
namespace {

constexpr int kEinprogress = -115;
constexpr uint8_t kTransferBulk = 3;

template <typename T>
void put(uint8_t*& p, T value) {
  std::memcpy(p, &value, sizeof value);  // usbmon headers are in host byte order
  p += sizeof value;
}

}  // namespace

std::unique_ptr<PcapTrace> PcapTrace::create(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr)
    return nullptr;
  uint8_t header[24];
  uint8_t* p = header;
  put<uint32_t>(p, 0xA1B2C3D4);  // microsecond timestamps
  put<uint16_t>(p, 2);
  put<uint16_t>(p, 4);
  put<int32_t>(p, 0);
  put<uint32_t>(p, 0);
  put<uint32_t>(p, 65535);
  put<uint32_t>(p, kLinkTypeUsbLinuxMmapped);
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  auto trace = std::unique_ptr<PcapTrace>(new PcapTrace(file));
  trace->write(header, sizeof header);
  trace->clock_us_ =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
  return trace;
}

PcapTrace::~PcapTrace() {
  close();
}

bool PcapTrace::close() {
  if (file_ != nullptr) {
    written_ = std::fclose(file_) == 0 && written_;
    file_ = nullptr;
  }
  return written_;
}

void PcapTrace::flush() {
  if (file_ != nullptr && std::fflush(file_) != 0)
    written_ = false;
}

void PcapTrace::write(const void* bytes, size_t size) {
  if (file_ != nullptr && std::fwrite(bytes, 1, size, file_) != size)
    written_ = false;
}

void PcapTrace::bulk(int bus, int device, int ep, const uint8_t* data, int requested, int result) {
  const bool in = (ep & 0x80) != 0;
  const uint32_t asked = requested > 0 ? static_cast<uint32_t>(requested) : 0;
  const uint32_t done = result > 0 ? static_cast<uint32_t>(result) : 0;
  record('S', bus, device, ep, kEinprogress, asked, data, in ? 0 : asked);
  record('C', bus, device, ep, result < 0 ? result : 0, done, data, in ? done : 0);
  ++next_id_;
}

void PcapTrace::record(char type, int bus, int device, int ep, int status, uint32_t length,
                       const uint8_t* data, uint32_t captured) {
  clock_us_ += 125;  // keeps records ordered and a little apart
  uint8_t rec[16 + 64];
  uint8_t* p = rec;
  put<uint32_t>(p, static_cast<uint32_t>(clock_us_ / 1000000u));
  put<uint32_t>(p, static_cast<uint32_t>(clock_us_ % 1000000u));
  put<uint32_t>(p, 64 + captured);
  put<uint32_t>(p, 64 + captured);
  put<uint64_t>(p, next_id_);
  put<uint8_t>(p, static_cast<uint8_t>(type));
  put<uint8_t>(p, kTransferBulk);
  put<uint8_t>(p, static_cast<uint8_t>(ep));
  put<uint8_t>(p, static_cast<uint8_t>(device));
  put<uint16_t>(p, static_cast<uint16_t>(bus));
  put<char>(p, '-');                                              // not a setup packet
  put<char>(p, captured > 0 ? '\0' : (type == 'S' ? '<' : '>'));  // 0: data follows
  put<int64_t>(p, static_cast<int64_t>(clock_us_ / 1000000u));
  put<int32_t>(p, static_cast<int32_t>(clock_us_ % 1000000u));
  put<int32_t>(p, status);
  put<uint32_t>(p, length);
  put<uint32_t>(p, captured);
  put<uint64_t>(p, 0);  // setup bytes / iso counts
  put<int32_t>(p, 0);   // interval
  put<int32_t>(p, 0);   // start frame
  put<uint32_t>(p, 0);  // transfer flags
  put<uint32_t>(p, 0);  // iso descriptors
  write(rec, sizeof rec);
  if (captured > 0)
    write(data, captured);
}

}  // namespace sim
