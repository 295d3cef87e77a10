// flashprep-fuzz-seeds OUTDIR: writes the starting corpus of each fuzz target
// to OUTDIR/<target>/, in the input format that target decodes. Every seed is
// made here, from the project's own S-record writer and the tool's rules.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image/srecord_writer.h"
#include "util/write_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Builds an input field by field, in the order the target reads it.
class Seed {
 public:
  Seed& u8(unsigned v) {
    b_.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Seed& u16(unsigned v) { return u8(v >> 8).u8(v); }
  Seed& u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  Seed& raw(const Bytes& v) {
    b_.insert(b_.end(), v.begin(), v.end());
    return *this;
  }
  Seed& text(const std::string& s) { return raw(Bytes(s.begin(), s.end())); }
  // The targets' sized field: a length byte, 255 escaping to 16 bits.
  Seed& sized(const Bytes& v) {
    if (v.size() < 255)
      u8(static_cast<unsigned>(v.size()));
    else
      u8(255).u16(static_cast<unsigned>(v.size()));
    return raw(v);
  }
  const Bytes& bytes() const { return b_; }

 private:
  Bytes b_;
};

Bytes pattern(size_t n, uint32_t seed) {
  Bytes out(n);
  for (uint8_t& b : out) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return out;
}

bool ok = true;

void save(const std::string& dir, const std::string& name, const Bytes& bytes) {
  const std::string path = dir + "/" + name;
  ok = write_file(path, bytes.data(), bytes.size()) && ok;
}

// srecord target: layout byte, block index, block size, file.
void srecord_seeds(const std::string& dir) {
  struct Region {
    uint32_t first;
    uint32_t last;
  };
  const Region regions[4] = {
      {0x20000000, 0x20001FFF}, {0x4000, 0x3FFFF}, {0x70, 0x76F}, {0x2800, 0xFFFF}};
  for (unsigned layout = 0; layout < 4; ++layout) {
    const int address_bytes = (layout & 2) ? 2 : 4;
    const Region r = regions[layout];
    const std::string tag = "layout" + std::to_string(layout) + "-";
    auto seed = [&](uint32_t index, uint32_t size, const std::string& file) {
      return Seed().u8(layout).u32(index).u32(size).text(file).bytes();
    };
    const Bytes data = pattern(300, layout + 1);
    const std::string body =
        srecord::data_records(address_bytes, r.first + 16, data.data(), data.size(), 32);
    const std::string whole =
        srecord::header_record("seed") + body + srecord::terminator_record(address_bytes, r.first);
    save(dir, tag + "clean", seed(0, 256, whole));

    // Bytes at the very top and across both ends of the region.
    const Bytes top = pattern(120, layout + 7);
    save(dir, tag + "edges",
         seed(1, 64,
              srecord::data_records(address_bytes, r.last - 99, top.data(), top.size(), 40) +
                  srecord::data_records(address_bytes, r.first - 8, top.data(), 16, 16)));

    std::string bad = whole;
    const size_t digit = bad.find(address_bytes == 2 ? "S1" : "S3") + 12;
    bad[digit] = bad[digit] == '0' ? '1' : '0';
    save(dir, tag + "bad-checksum", seed(2, 256, bad));

    // Records cut short: no count byte, and a count that asks for more.
    save(dir, tag + "cut", seed(0, 1, body.substr(0, body.find('\n') - 6) + "\n"));
    save(dir, tag + "no-count", seed(0, 1, address_bytes == 2 ? "S1\n" : "S3\n"));

    // A line far longer than any record, CR LF endings, other record types.
    std::string mixed =
        std::string(address_bytes == 2 ? "S1" : "S3") + std::string(600, 'F') + "\n";
    mixed += srecord::data_record(address_bytes == 2 ? 4 : 2, 0x100, data.data(), 8);
    std::string crlf = body.substr(0, body.find('\n'));
    mixed += crlf + "\r\n";
    save(dir, tag + "mixed", seed(0xFFFFFFFFu, 4096, mixed));
  }
}

// bootloader target operations, as numbered there.
enum Op { kQueue, kReply, kFault, kIdentify, kLoad, kDriver, kCommand3, kReceive, kSend };

void bootloader_seeds(const std::string& dir) {
  const Bytes version = {'B', 'B', 'O', 'O', 'T', ' ', '1', '.', '0'};
  save(dir, "identify", Seed().u8(kReply).sized(version).u8(0).u8(kIdentify).bytes());
  save(dir, "identify-empty", Seed().u8(kReply).sized({}).u8(0).u8(kIdentify).bytes());
  save(dir, "load-block", Seed().u8(kLoad).u8(7).raw(pattern(256, 3)).u8(kCommand3).bytes());

  Bytes format_reply = pattern(257, 4);
  format_reply[0] = 0;
  save(dir, "format",
       Seed()
           .u8(kReply)
           .sized(format_reply)
           .u8(0)
           .u8(kDriver)
           .u16(3)
           .u16(256)
           .raw({2, 0, 5})
           .bytes());
  save(dir, "format-short",
       Seed()
           .u8(kReply)
           .sized(pattern(129, 5))
           .u8(0)
           .u8(kDriver)
           .u16(3)
           .u16(256)
           .raw({2, 0, 6})
           .bytes());
  save(dir, "format-oversized",
       Seed()
           .u8(kReply)
           .sized(pattern(300, 6))
           .u8(0)
           .u8(kDriver)
           .u16(3)
           .u16(256)
           .raw({2, 0, 7})
           .u8(kReply)
           .sized(version)
           .u8(0)
           .u8(kIdentify)
           .bytes());
  save(dir, "lying-header",
       Seed()
           .u8(kReply)
           .sized(pattern(40, 7))
           .u8(1)
           .u8(0xF0)
           .u8(kReceive)
           .u16(64)
           .u8(kReceive)
           .u16(64)
           .bytes());
  save(dir, "write-block",
       Seed().u8(kDriver).u16(259).u16(0).raw(pattern(259, 8)).u8(kSend).u16(0).bytes());
  save(dir, "raw-transfers",
       Seed()
           .u8(kQueue)
           .sized({0, 5})
           .u8(kQueue)
           .sized({1, 2, 3, 4, 5})
           .u8(kReceive)
           .u16(5)
           .u8(kQueue)
           .sized({0, 1, 2})
           .u8(kReceive)
           .u16(10)
           .bytes());
  save(dir, "faults",
       Seed()
           .u8(kFault)
           .u8(2)
           .u8(1)
           .u8(kReply)
           .sized(version)
           .u8(0)
           .u8(kIdentify)
           .u8(kFault)
           .u8(0)
           .u8(3)
           .u8(kCommand3)
           .u8(kLoad)
           .u8(1)
           .raw(pattern(256, 9))
           .bytes());
}

// run target: board, bus, driver.
struct RunSeed {
  unsigned bootloader = 0;
  bool refuse_init = false;
  uint32_t weak_seed = 1;
  std::vector<std::vector<std::pair<unsigned, unsigned>>> blocks =
      std::vector<std::vector<std::pair<unsigned, unsigned>>>(6);
  unsigned devices = 0;
  unsigned calls = 0;
  std::vector<std::pair<unsigned, unsigned>> faults;  // transfer, kind
  int unplug_after = -1;
  unsigned driver = 0;  // 0 generated, 1 missing, 2 raw text
  unsigned address_kind = 0;
  unsigned start = 0;
  unsigned length = 4000;
  std::string text;

  Bytes encode() const {
    Seed s;
    s.u8(bootloader).u8(0).u8(refuse_init ? 7 : 0).u32(weak_seed);
    for (const auto& list : blocks) {
      s.u8(static_cast<unsigned>(list.size()));
      for (const auto& [first, count] : list) {
        s.u16(first);
        if (count > 1)
          s.u8(1).u8(count - 1);
        else
          s.u8(0);
      }
    }
    s.u8(devices).u8(calls).u8(static_cast<unsigned>(faults.size()));
    for (const auto& [n, kind] : faults)
      s.u16(n - 1).u8(kind);
    if (unplug_after >= 0)
      s.u8(7).u16(static_cast<unsigned>(unplug_after));
    else
      s.u8(0);
    s.u8(driver);
    if (driver == 0)
      s.u8(address_kind).u16(start).u16(length - 1).u8(31).u32(0x12345678);
    else if (driver == 2)
      s.text(text);
    return s.bytes();
  }
};

void run_seeds(const std::string& dir) {
  RunSeed healthy;
  save(dir, "healthy", healthy.encode());

  RunSeed raw;
  raw.driver = 2;
  const Bytes driver = pattern(3000, 11);
  raw.text = srecord::header_record("driver") +
             srecord::data_records(4, 0x20000100, driver.data(), driver.size(), 32) +
             srecord::terminator_record(4, 0x20000100);
  save(dir, "raw-driver", raw.encode());

  RunSeed failing;
  failing.blocks[0] = {{3, 1}};
  failing.blocks[1] = {{5, 1}, {2527, 1}};
  failing.blocks[2] = {{2600, 3}};
  failing.blocks[3] = {{300, 1}};
  failing.blocks[4] = {{4000, 1}};
  failing.blocks[5] = {{2528, 1}, {2538, 1}};
  save(dir, "failing-blocks", failing.encode());

  for (unsigned mode = 1; mode <= 4; ++mode) {
    RunSeed b;
    b.bootloader = mode;
    save(dir, "bootloader-" + std::to_string(mode), b.encode());
  }
  for (unsigned devices = 1; devices <= 4; ++devices) {
    RunSeed d;
    d.devices = devices;
    save(dir, "devices-" + std::to_string(devices), d.encode());
  }
  RunSeed open_fails;
  open_fails.calls = 1;
  save(dir, "open-fails", open_fails.encode());
  RunSeed config_fails;
  config_fails.calls = 0x08;
  save(dir, "configuration-fails", config_fails.encode());

  RunSeed faults;
  faults.faults = {{40, 0}, {500, 1}, {9001, 2}, {12000, 3}};
  save(dir, "faults", faults.encode());
  RunSeed unplug;
  unplug.unplug_after = 7000;
  save(dir, "unplug", unplug.encode());

  RunSeed init;
  init.refuse_init = true;
  save(dir, "refuse-init", init.encode());
  RunSeed missing;
  missing.driver = 1;
  save(dir, "no-driver", missing.encode());
  RunSeed s1;
  s1.address_kind = 2;  // S1 records: nothing in driver RAM
  save(dir, "s1-driver", s1.encode());
  RunSeed top;
  top.start = 7000;  // runs past the top of driver RAM
  top.length = 2000;
  save(dir, "driver-at-top", top.encode());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: flashprep-fuzz-seeds OUTDIR\n");
    return 2;
  }
  const std::string out = argv[1];
  mkdir(out.c_str(), 0755);
  const std::string targets[] = {"fuzz_srecord", "fuzz_bootloader", "fuzz_run"};
  for (const std::string& t : targets)
    mkdir((out + "/" + t).c_str(), 0755);
  srecord_seeds(out + "/fuzz_srecord");
  bootloader_seeds(out + "/fuzz_bootloader");
  run_seeds(out + "/fuzz_run");
  if (!ok) {
    std::fprintf(stderr, "flashprep-fuzz-seeds: cannot write under %s\n", out.c_str());
    return 1;
  }
  return 0;
}
