#include "station/prepared_plugs.h"

#include <filesystem>
#include <system_error>

#include "records/results_reader.h"

namespace {

// Skipped lines named in the notice; the rest are counted.
constexpr size_t kMostSkippedNamed = 10;

}  // namespace

bool read_prepared_plugs(const std::string& path, const std::string& boot,
                         std::map<std::string, UsbPlace>* latest, std::string* skipped,
                         std::string* error) {
  latest->clear();
  skipped->clear();
  if (boot.empty())
    return true;
  std::error_code trouble;
  if (!std::filesystem::exists(path, trouble)) {
    if (!trouble)
      return true;
    *error = path + ": cannot read: " + trouble.message();
    return false;
  }
  ReadNotes notes;
  const auto take = [&](const ResultRecord& r) {
    if (r.schema < 2 || r.boot != boot)
      return;
    // A run its station's end cut short (recovered) left its board
    // unprepared: plugged still, it is prepared again.
    if (r.verdict != Outcome::ready && !r.reasons.empty() && r.reasons.front() == kStationEnded)
      latest->erase(std::string(r.board));
    else
      (*latest)[std::string(r.board)] =
          UsbPlace{std::string(r.bus), std::string(r.device), static_cast<int>(r.devnum)};
  };
  if (!read_results({path}, take, &notes, error))
    return false;
  if (notes.skipped_count == 0)
    return true;
  *skipped = path + ": " + std::to_string(notes.skipped_count) +
             (notes.skipped_count == 1 ? " damaged line" : " damaged lines") + " skipped:";
  for (size_t i = 0; i < notes.skipped.size() && i < kMostSkippedNamed; ++i)
    *skipped += (i == 0 ? " line " : ", line ") + std::to_string(notes.skipped[i].line) + " (" +
                damage_name(notes.skipped[i].damage) + ")";
  if (notes.skipped_count > kMostSkippedNamed)
    *skipped += ", ...";
  return true;
}
