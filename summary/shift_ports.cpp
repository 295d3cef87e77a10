// Stations and ports, each port judged against all the others; the reasons.
#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <string_view>

#include "summary/natural_order.h"
#include "summary/shift_steps.h"
#include "summary/station_ends.h"

namespace {

constexpr uint64_t kFewestFailures = 3;  // a port with fewer never stands out
constexpr double kRateFactor = 2;        // ... nor one failing less than twice as often
constexpr double kChanceOverAll = 0.01;  // shared out among the ports

void add_run(const Run& run, Counts* c) {
  if (!run.judged()) {
    ++c->ended;
    return;
  }
  ++c->runs;
  c->ready += run.verdict == Outcome::ready ? 1 : 0;
}

// P(X >= k) for X binomial with n trials at rate p, summed in logarithms
// from k up until the terms no longer count.
double binomial_tail(uint64_t n, uint64_t k, double p) {
  if (k == 0)
    return 1;
  if (p <= 0)
    return 0;
  if (p >= 1)
    return 1;
  const double log_p = std::log(p);
  const double log_q = std::log1p(-p);
  const auto nd = static_cast<double>(n);
  double sum = 0;
  for (uint64_t i = k; i <= n; ++i) {
    const auto id = static_cast<double>(i);
    const double term = std::exp(std::lgamma(nd + 1) - std::lgamma(id + 1) -
                                 std::lgamma(nd - id + 1) + id * log_p + (nd - id) * log_q);
    sum += term;
    // Past the mode the terms only shrink: stop once they no longer add.
    if (id > nd * p && term < sum * 1e-17)
      break;
  }
  return std::min(sum, 1.0);
}

// Whether the port fails so much more often than the others that chance
// can hardly explain it, over `ports` ports.
void judge_port(const Counts& total, int ports, ShiftReport::Port* port) {
  const uint64_t other_runs = total.runs - port->counts.runs;
  const uint64_t other_failed = total.not_ready() - port->counts.not_ready();
  if (other_runs == 0)
    return;
  port->others_rate = static_cast<double>(other_failed) / static_cast<double>(other_runs);
  const uint64_t failed = port->counts.not_ready();
  const double rate = static_cast<double>(failed) / static_cast<double>(port->counts.runs);
  if (failed >= kFewestFailures && rate >= kRateFactor * port->others_rate) {
    port->chance = binomial_tail(port->counts.runs, failed, port->others_rate);
    port->stands_out = port->chance < kChanceOverAll / ports;
  }
}

std::string_view reason_label(std::string_view reason) {
  if (reason.rfind("RUN STOPPED: ", 0) == 0)
    return reason;  // its detail names the step, one of four FAIL lines
  return reason.substr(0, reason.find(": "));
}

std::vector<ShiftReport::Reason> most_first(const std::map<std::string_view, uint64_t>& runs) {
  std::vector<ShiftReport::Reason> out;
  out.reserve(runs.size());
  for (const auto& [label, n] : runs)
    out.push_back({std::string(label), n});
  std::stable_sort(
      out.begin(), out.end(),
      [](const ShiftReport::Reason& a, const ShiftReport::Reason& b) { return a.runs > b.runs; });
  return out;
}

}  // namespace

void count_ports(const RunTable& table, const Analysis& a, ShiftReport* report) {
  std::vector<Counts> by_where(table.wheres.size());
  for (const uint32_t i : a.counted) {
    add_run(table.runs[i], &by_where[table.runs[i].where]);
    add_run(table.runs[i], &report->total);
  }
  std::vector<ShiftReport::Station> stations(a.stations.size());
  std::map<std::pair<uint32_t, std::string_view>, Counts> ports;
  for (uint32_t w = 0; w < by_where.size(); ++w) {
    const Counts& c = by_where[w];
    if (c.runs + c.ended == 0)
      continue;
    const uint32_t s = a.station_of_where[w];
    Counts& port = ports[{s, table.text(table.wheres[w].port)}];
    for (Counts* sum : {&stations[s].counts, &port}) {
      sum->runs += c.runs;
      sum->ready += c.ready;
      sum->ended += c.ended;
    }
  }
  report->ports = static_cast<int>(ports.size());
  for (const auto& [key, counts] : ports) {
    ShiftReport::Port port{std::string(key.second), counts};
    judge_port(report->total, report->ports, &port);
    report->ports_standing_out += port.stands_out ? 1 : 0;
    stations[key.first].ports.push_back(port);
  }
  for (size_t s = 0; s < stations.size(); ++s) {
    if (stations[s].ports.empty())
      continue;
    stations[s].name = a.stations[s];
    std::sort(stations[s].ports.begin(), stations[s].ports.end(),
              [](const ShiftReport::Port& x, const ShiftReport::Port& y) {
                return natural_less(x.name, y.name);
              });
    report->stations.push_back(std::move(stations[s]));
  }
  std::sort(report->stations.begin(), report->stations.end(),
            [](const ShiftReport::Station& x, const ShiftReport::Station& y) {
              return natural_less(x.name, y.name);
            });
}

void count_reasons(const RunTable& table, const Analysis& a, ShiftReport* report) {
  std::map<std::string_view, uint64_t> failed;
  std::map<std::string_view, uint64_t> ended;
  std::vector<std::string_view> labels;
  for (const uint32_t i : a.counted) {
    const Run& run = table.runs[i];
    if (run.verdict == Outcome::ready && run.judged())
      continue;
    const std::vector<std::string_view> reasons = table.reasons_of(run);
    if (!run.judged()) {
      const auto end = std::find_if(reasons.begin(), reasons.end(), ended_by_station);
      ++ended[reason_label(*end)];
      continue;
    }
    labels.clear();
    for (const std::string_view reason : reasons) {
      if (std::find(labels.begin(), labels.end(), reason_label(reason)) == labels.end())
        labels.push_back(reason_label(reason));
    }
    for (const std::string_view label : labels)
      ++failed[label];
  }
  report->reasons = most_first(failed);
  report->ended_reasons = most_first(ended);
}
