// The report's first steps: copies dropped, stations named, runs ordered.
#include <algorithm>
#include <map>
#include <numeric>

#include "summary/natural_order.h"
#include "summary/shift_steps.h"

namespace {

constexpr size_t kBootDigits = 8;

std::vector<uint32_t> all_runs(const RunTable& table) {
  std::vector<uint32_t> order(table.runs.size());
  std::iota(order.begin(), order.end(), 0U);
  return order;
}

// The first overlap of two boots' runs on one port of a name, if any.
struct Overlap {
  bool found = false;
  uint32_t port = 0;
  int64_t at_ms = 0;
};

// Runs of each name on each port in order of their starts; a run that
// starts before a run of another boot has ended is another station's.
std::map<uint32_t, Overlap> overlaps_by_name(const RunTable& table) {
  std::vector<uint32_t> order = all_runs(table);
  const auto where = [&](uint32_t i) -> const Where& { return table.wheres[table.runs[i].where]; };
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    const Where& a = where(x);
    const Where& b = where(y);
    if (a.station != b.station || a.port != b.port)
      return a.station != b.station ? a.station < b.station : a.port < b.port;
    return table.runs[x].start_ms < table.runs[y].start_ms;
  });
  std::map<uint32_t, Overlap> found;
  std::map<uint32_t, int64_t> last_end;  // by boot, of the current name and port
  for (size_t k = 0; k < order.size(); ++k) {
    const Run& run = table.runs[order[k]];
    const Where& w = where(order[k]);
    if (k == 0 || where(order[k - 1]).station != w.station || where(order[k - 1]).port != w.port)
      last_end.clear();
    if ((run.flags & Run::kCopy) != 0 || w.boot == RunTable::kNone)
      continue;
    Overlap& o = found[w.station];
    for (const auto& [boot, end] : last_end) {
      if (!o.found && boot != w.boot && end > run.start_ms)
        o = {true, w.port, run.start_ms};
    }
    int64_t& end = last_end[w.boot];
    end = std::max(end, run.end_ms());
  }
  return found;
}

}  // namespace

uint64_t drop_copies(RunTable* table) {
  std::vector<uint32_t> order = all_runs(*table);
  const auto key = [&](uint32_t i) {
    const Where& w = table->wheres[table->runs[i].where];
    const Run& run = table->runs[i];
    return std::make_tuple(w.station, w.boot, w.place, run.serial, run.start_ms);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
  uint64_t copies = 0;
  for (size_t k = 1; k < order.size(); ++k) {
    if (key(order[k]) == key(order[k - 1])) {
      table->runs[order[k]].flags |= Run::kCopy;
      ++copies;
    }
  }
  return copies;
}

// How many of a boot id's first characters tell the boots of a name apart:
// 8 as a rule, more where two of them start alike.
size_t boot_digits(const RunTable& table, uint32_t name) {
  std::vector<std::string_view> boots;
  for (const Where& w : table.wheres) {
    if (w.station == name && w.boot != RunTable::kNone)
      boots.push_back(table.text(w.boot));
  }
  std::sort(boots.begin(), boots.end());
  boots.erase(std::unique(boots.begin(), boots.end()), boots.end());
  size_t digits = kBootDigits;
  for (size_t i = 1; i < boots.size(); ++i) {
    while (boots[i].substr(0, digits) == boots[i - 1].substr(0, digits) && digits < boots[i].size())
      ++digits;
  }
  return digits;
}

std::string station_label(const RunTable& table, const Where& w, size_t digits) {
  std::string label(table.text(w.station));
  if (digits == 0)
    return label;
  return label + (w.boot == RunTable::kNone
                      ? " [no boot]"
                      : " [" + std::string(table.text(w.boot).substr(0, digits)) + "]");
}

void tell_stations_apart(const RunTable& table, Analysis* a, ShiftReport* report) {
  const std::map<uint32_t, Overlap> overlaps = overlaps_by_name(table);
  std::map<uint32_t, size_t> digits;  // of the names used by two stations
  for (const auto& [name, overlap] : overlaps) {
    if (overlap.found)
      digits[name] = boot_digits(table, name);
  }
  std::map<std::string, uint32_t> by_label;
  std::map<uint32_t, std::vector<std::string>> labels_of_name;
  a->station_of_where.clear();
  for (const Where& w : table.wheres) {
    const auto shared = digits.find(w.station);
    const std::string label = station_label(table, w, shared == digits.end() ? 0 : shared->second);
    const auto [it, added] = by_label.try_emplace(label, static_cast<uint32_t>(a->stations.size()));
    if (added) {
      a->stations.push_back(label);
      labels_of_name[w.station].push_back(label);
    }
    a->station_of_where.push_back(it->second);
  }
  for (const auto& [name, n] : digits) {
    const Overlap& overlap = overlaps.at(name);
    std::vector<std::string> labels = labels_of_name[name];
    std::sort(labels.begin(), labels.end(), natural_less);
    report->shared_names.push_back({std::string(table.text(name)), labels,
                                    std::string(table.text(overlap.port)), overlap.at_ms});
  }
  std::sort(report->shared_names.begin(), report->shared_names.end(),
            [](const ShiftReport::SharedName& x, const ShiftReport::SharedName& y) {
              return natural_less(x.name, y.name);
            });
}

void order_counted(const RunTable& table, Analysis* a) {
  a->counted.clear();
  for (uint32_t i = 0; i < table.runs.size(); ++i) {
    if (RunTable::counted(table.runs[i], a->with_simulated))
      a->counted.push_back(i);
  }
  std::stable_sort(a->counted.begin(), a->counted.end(), [&](uint32_t x, uint32_t y) {
    return table.runs[x].start_ms < table.runs[y].start_ms;
  });
}

std::string plug_board_name(const RunTable& table, const Analysis& a, const Run& run) {
  const Where& w = table.wheres[run.where];
  std::string name =
      a.stations[a.station_of_where[run.where]] + " " + std::string(table.text(w.port));
  name += " plug ";
  name += w.boot == RunTable::kNone ? std::string("-")
                                    : std::string(table.text(w.boot).substr(0, kBootDigits));
  return name + "/" + std::to_string(run.devnum);
}
