// The driver images: the line's, the stations that used another, and when
// each station changed its image.
#include <algorithm>
#include <numeric>
#include <set>

#include "summary/natural_order.h"
#include "summary/shift_steps.h"

void count_images(const RunTable& table, const Analysis& a, ShiftReport* report) {
  const uint32_t images = table.images.size();
  std::vector<uint64_t> runs(images, 0);
  std::set<std::pair<uint32_t, uint32_t>> used;  // image, station
  std::vector<uint32_t> last_image(a.stations.size(), RunTable::kNone);
  for (const uint32_t i : a.counted) {  // by start
    const Run& run = table.runs[i];
    if (run.image == RunTable::kNone) {
      report->no_image += (run.flags & Run::kSchema1) == 0 ? 1 : 0;
      continue;
    }
    const uint32_t station = a.station_of_where[run.where];
    ++runs[run.image];
    used.insert({run.image, station});
    uint32_t& last = last_image[station];
    if (last != RunTable::kNone && last != run.image)
      report->image_changes.push_back({a.stations[station], run.start_ms,
                                       std::string(table.images.text(last)),
                                       std::string(table.images.text(run.image))});
    last = run.image;
  }
  std::vector<uint32_t> order(images);
  std::iota(order.begin(), order.end(), 0U);
  std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    return runs[x] != runs[y] ? runs[x] > runs[y] : table.images.text(x) < table.images.text(y);
  });
  for (const uint32_t i : order) {
    if (runs[i] == 0)
      continue;
    ShiftReport::Image image{
        std::string(table.images.text(i)), table.image_files[i], table.image_bytes[i], runs[i], {}};
    for (const auto& [img, station] : used) {
      if (img == i)
        image.stations.push_back(a.stations[station]);
    }
    std::sort(image.stations.begin(), image.stations.end(), natural_less);
    for (ShiftReport::Station& s : report->stations) {
      if (i != order.front() &&
          std::find(image.stations.begin(), image.stations.end(), s.name) != image.stations.end())
        s.other_images.push_back(image.sha256);
    }
    report->images.push_back(std::move(image));
  }
}
