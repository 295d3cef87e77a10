// Distinct strings, each stored once and numbered in the order first seen: a
// shift report meets the same stations, ports, reasons and images on every
// record and up to a million board serials, so it keeps numbers per record
// and the text once. The texts live in one buffer and an open-addressing
// table of numbers finds them, about 20 bytes per distinct string beyond
// its characters.
#ifndef FLASHPREP_SUMMARY_STRING_TABLE_H_
#define FLASHPREP_SUMMARY_STRING_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class StringTable {
 public:
  // The number of `text`, added when new (numbers count from 0).
  uint32_t add(std::string_view text);
  // The number of `text`, or kNone when it was never added.
  uint32_t find(std::string_view text) const;
  // The text of number `id` (< size()); valid until the next add().
  std::string_view text(uint32_t id) const;
  uint32_t size() const { return static_cast<uint32_t>(starts_.size()); }

  static constexpr uint32_t kNone = UINT32_MAX;

 private:
  size_t slot_of(std::string_view text, uint64_t hash) const;
  void grow();

  std::string chars_;             // every text, one after the other
  std::vector<uint64_t> starts_;  // where text n starts in chars_; it ends where n + 1 starts
  std::vector<uint32_t> slots_;   // open addressing: id + 1, 0 for an empty slot
};

#endif  // FLASHPREP_SUMMARY_STRING_TABLE_H_
