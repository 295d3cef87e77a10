#include "summary/string_table.h"

namespace {

// FNV-1a: short keys, no need for more.
uint64_t hash_of(std::string_view text) {
  uint64_t h = 14695981039346656037ULL;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  return h;
}

}  // namespace

std::string_view StringTable::text(uint32_t id) const {
  const uint64_t start = starts_[id];
  const uint64_t end = id + 1 < starts_.size() ? starts_[id + 1] : chars_.size();
  return std::string_view(chars_).substr(start, end - start);
}

// The slot holding `text`, or the empty slot where it would go. The table is
// never full (grow() keeps it at most half full), so the probe ends.
size_t StringTable::slot_of(std::string_view text, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == 0 || this->text(slots_[slot] - 1) == text)
      return slot;
  }
}

void StringTable::grow() {
  std::vector<uint32_t> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, 0);
  for (const uint32_t entry : old) {
    if (entry != 0)
      slots_[slot_of(text(entry - 1), hash_of(text(entry - 1)))] = entry;
  }
}

uint32_t StringTable::find(std::string_view text) const {
  if (slots_.empty())
    return kNone;
  const uint32_t entry = slots_[slot_of(text, hash_of(text))];
  return entry == 0 ? kNone : entry - 1;
}

uint32_t StringTable::add(std::string_view text) {
  if ((starts_.size() + 1) * 2 > slots_.size())
    grow();
  const size_t slot = slot_of(text, hash_of(text));
  if (slots_[slot] != 0)
    return slots_[slot] - 1;
  const auto id = static_cast<uint32_t>(starts_.size());
  starts_.push_back(chars_.size());
  chars_.append(text);
  slots_[slot] = id + 1;
  return id;
}
