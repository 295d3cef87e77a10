// PcapTrace: writes bulk transfers as a pcap file with the Linux usbmon link
// type (LINKTYPE_USB_LINUX_MMAPPED, 64-byte headers), so that a simulated
// run opens in Wireshark or tshark like a usbmon capture of a real one.
// Every transfer gives two records: its submission and its completion.
#ifndef FLASHPREP_SIM_PCAP_TRACE_H_
#define FLASHPREP_SIM_PCAP_TRACE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace sim {

class PcapTrace {
 public:
  static constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;

  // Creates the file and writes its header; null when it cannot be created.
  static std::unique_ptr<PcapTrace> create(const std::string& path);
  // Closes the file unless close() did.
  ~PcapTrace();
  PcapTrace(const PcapTrace&) = delete;
  PcapTrace& operator=(const PcapTrace&) = delete;

  // One bulk transfer on endpoint `ep` (bit 7 set for IN). For OUT, `data`
  // holds the `requested` bytes written; for IN, the bytes delivered
  // (`result` of them when result > 0). `result` is the count or -errno.
  void bulk(int bus, int device, int ep, const uint8_t* data, int requested, int result);
  // Writes out what is buffered, for a process that may end without
  // destructors (killed by a signal).
  void flush();

  // Closes the file. True when every record reached it: a full disk must not
  // leave a cut trace that reads as a whole run.
  bool close();

 private:
  explicit PcapTrace(FILE* file) : file_(file) {}
  void record(char type, int bus, int device, int ep, int status, uint32_t length,
              const uint8_t* data, uint32_t captured);
  void write(const void* bytes, size_t size);

  FILE* file_;           // owned; null once closed
  bool written_ = true;  // every write so far went through
  uint64_t next_id_ = 1;
  uint64_t clock_us_ = 0;
};

}  // namespace sim

#endif  // FLASHPREP_SIM_PCAP_TRACE_H_
