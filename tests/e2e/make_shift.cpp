// flashprep_make_shift: results files of a made-up shift of a production
// line, as flashprep-station --results writes them (schema 2), for the shift
// report's scale benchmark, its tests and its demonstration.
//
//   flashprep_make_shift [--boards N] [--stations K] [--ports P] [--seed S]
//                        [--start YYYY-MM-DDTHH:MM] [--hours H] [--old N] [--cut] DIR
//   flashprep_make_shift ... --one-file FILE
//
// K stations (station-1...) with P ports each (1-1.1...) prepare N boards in
// all over about H hours (8 by default), each port one board after another
// (about 11.5 s a run, then a pause of its share of the shift, give or take a
// half, at least 5 s). About 1.5 % of the boards fail, for the reasons a line
// sees, and blocks 1337 and 2041-2042 fail more often than others (a weak
// flash batch). Port 1-1.3 of station-3 fails about fifteen times as often (a
// worn cable). Station-4 runs another driver image than the others. Most
// boards that fail are plugged in again later, a few READY ones too; half of
// those whose blocks failed have weak flash and fail the same way again. Each
// station's records go to DIR/station-K.jsonl in the order the boards ended
// (as a station appends them), or all to FILE with --one-file. --old N adds
// DIR/flashprep-1.0.jsonl with N records of schema 1 from the first hour;
// --cut ends the last station's file with the start of a record only, as a
// station killed while writing leaves it. Prints what it planted.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int64_t kMs = 1;
constexpr int64_t kSecond = 1000 * kMs;

struct Options {
  long boards = 800;
  int stations = 4;
  int ports = 4;
  uint64_t seed = 1;
  int64_t start_ms = 0;
  double hours = 8;
  long old_records = 0;
  bool cut = false;
  std::string dir;
  std::string one_file;
};

struct Plan {
  int station;
  int port;
  int64_t start_ms;
  int64_t end_ms;
  double seconds;
  std::string serial;
  int reason;  // -1: READY
  std::vector<std::pair<int, int>> blocks;
  long devnum;
};

const char* const kReasons[] = {
    "BLOCKS NOT FORMATTED",
    "TABLE WRITES REFUSED",
    "RUN STOPPED: FAIL: BOOTLOADER NOT PRESENT",
    "UNPLUGGED",
    "DRIVER BLOCKS REFUSED",
    "RUN STOPPED: FAIL: SERIAL FLASH NOT INITIALIZED",
};
// How often each reason comes, in tenths of a percent of the failures.
const int kReasonWeights[] = {560, 110, 120, 130, 40, 40};

const char kImageA[] = "3f2a9c01d2e4b5a697887766554433221100ffeeddccbbaa9988776655443322";
const char kImageB[] = "9b7e11aa0c53d2e4f5061728394a5b6c7d8e9fa0b1c2d3e4f5061728394a5b6c";

// Days from 1970-01-01 to a date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

std::string utc(int64_t ms) {
  int64_t days = ms / (86400 * kSecond);
  const int64_t in_day = ms % (86400 * kSecond);
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  (void)days;
  char text[40];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d,
                static_cast<int>(in_day / 3600000), static_cast<int>(in_day / 60000 % 60),
                static_cast<int>(in_day / 1000 % 60), static_cast<int>(in_day % 1000));
  return text;
}

bool parse_start(const char* text, int64_t* ms) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d", &y, &mo, &d, &h, &mi) != 5)
    return false;
  *ms = (days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60) * kSecond;
  return true;
}

std::string port_name(int port) {
  return "1-1." + std::to_string(port + 1);
}

std::string station_name(int station) {
  return "station-" + std::to_string(station + 1);
}

std::string record(const Plan& p, bool old_schema) {
  const std::string port = port_name(p.port);
  std::string start = utc(p.start_ms);
  std::string log_time = start.substr(0, 4) + start.substr(5, 2) + start.substr(8, 2) + "T" +
                         start.substr(11, 2) + start.substr(14, 2) + start.substr(17, 2) + "Z";
  std::string reasons;
  int failed = 0;
  std::string ranges;
  if (p.reason >= 0) {
    std::string detail;
    if (p.reason == 0) {
      std::string list;
      for (const auto& [first, last] : p.blocks) {
        failed += last - first + 1;
        list += (list.empty() ? "" : ", ") + std::to_string(first) +
                (last == first ? "" : "-" + std::to_string(last));
        ranges += std::string(ranges.empty() ? "" : ",") + "[" + std::to_string(first) + "," +
                  std::to_string(last) + "]";
      }
      detail = ": " + std::to_string(failed) + " (" + list + ")";
    } else if (p.reason == 1) {
      detail = ": 1 (2530)";
    } else if (p.reason == 4) {
      detail = ": 1 (7)";
    }
    reasons = "\"" + std::string(kReasons[p.reason]) + detail + "\"";
  }
  const bool stopped = p.reason == 2 || p.reason == 5;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", p.seconds);
  std::string r = "{\"board\":\"" + port + "\",\"start\":\"" + start + "\",\"end\":\"" +
                  utc(p.end_ms) + "\",\"seconds\":" + seconds + ",\"verdict\":\"" +
                  (p.reason < 0 ? "READY" : "NOT READY") + "\",\"reasons\":[" + reasons +
                  "],\"log\":\"station-logs/" + port + "." + log_time + ".log\",\"version\":\"" +
                  (old_schema ? "1.0.0" : "1.1.0") + "\"";
  if (old_schema)
    return r + "}";
  const bool other_image = p.station == 3;
  const int bytes = other_image ? 4096 : 4000;
  char devnum[8];
  std::snprintf(devnum, sizeof devnum, "%03ld", p.devnum % 128);
  const int driver = stopped ? 0 : 16;
  const int formatted = stopped ? 0 : 4064 - failed;
  const int tables = stopped ? 0 : 17;
  r += ",\"schema\":2,\"station\":\"" + station_name(p.station) + "\",\"port\":\"" + port +
       "\",\"bus\":\"001\",\"device\":\"" + devnum +
       "\",\"devnum\":" + std::to_string(p.devnum % 128) +
       ",\"boot\":\"5d1e0c2a-7b3f-4e8d-9a6c-00000000000" + std::to_string(p.station % 10) +
       "\",\"serial\":\"" + p.serial + "\",\"image\":{\"file\":\"serial_flash.S19\",\"sha256\":\"" +
       (other_image ? kImageB : kImageA) + "\",\"bytes\":" + std::to_string(bytes) +
       ",\"start\":\"20000000\",\"end\":\"" + (other_image ? "20000FFF" : "20000F9F") +
       "\",\"blocks\":16},\"counts\":{\"driver_downloaded\":" + std::to_string(driver) +
       ",\"driver_refused\":" + (p.reason == 4 ? "1" : "0") +
       ",\"flash_formatted\":" + std::to_string(formatted) +
       ",\"flash_failed\":" + std::to_string(failed) +
       ",\"table_written\":" + std::to_string(p.reason == 1 ? tables - 1 : tables) +
       ",\"table_refused\":" + (p.reason == 1 ? "1" : "0") + "},\"failed_blocks\":[" + ranges +
       "]}";
  return r;
}

bool write_all(const std::string& path, const std::vector<const Plan*>& plans, bool old_schema,
               bool cut) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  std::vector<char> buffer(size_t{1} << 20);
  std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
  for (const Plan* p : plans) {
    const std::string line = record(*p, old_schema) + "\n";
    std::fwrite(line.data(), 1, line.size(), f);
  }
  if (cut && !plans.empty()) {
    const std::string line = record(*plans.back(), old_schema);
    std::fwrite(line.data(), 1, line.size() / 2, f);
  }
  const bool ok = std::ferror(f) == 0;
  return std::fclose(f) == 0 && ok;
}

int usage() {
  std::fprintf(stderr,
               "usage: flashprep_make_shift [--boards N] [--stations K] [--ports P] [--seed S]\n"
               "         [--start YYYY-MM-DDTHH:MM] [--hours H] [--old N] [--cut]\n"
               "         (DIR | --one-file FILE)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  parse_start("2026-12-08T06:00", &o.start_ms);
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (a == "--boards" && value) {
      o.boards = std::atol(argv[++i]);
    } else if (a == "--stations" && value) {
      o.stations = std::atoi(argv[++i]);
    } else if (a == "--ports" && value) {
      o.ports = std::atoi(argv[++i]);
    } else if (a == "--seed" && value) {
      o.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--start" && value) {
      if (!parse_start(argv[++i], &o.start_ms))
        return usage();
    } else if (a == "--hours" && value) {
      o.hours = std::atof(argv[++i]);
    } else if (a == "--old" && value) {
      o.old_records = std::atol(argv[++i]);
    } else if (a == "--cut") {
      o.cut = true;
    } else if (a == "--one-file" && value) {
      o.one_file = argv[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      return usage();
    } else {
      o.dir = a;
    }
  }
  if ((o.dir.empty() == o.one_file.empty()) || o.boards < 1 || !(o.hours > 0) || o.stations < 1 ||
      o.ports < 1 || (o.stations < 4 && o.one_file.empty()))
    return usage();

  std::mt19937_64 random(o.seed);
  std::uniform_real_distribution<double> unit(0, 1);
  std::normal_distribution<double> run_seconds(11.5, 0.7);
  std::discrete_distribution<int> reason_of(std::begin(kReasonWeights), std::end(kReasonWeights));
  const double base_rate = 0.015;
  const int bad_station = std::min(2, o.stations - 1);
  const int bad_port = std::min(2, o.ports - 1);
  // The mean pause between two boards on a port, for the shift to last o.hours.
  const double pause_ms = std::max(
      5000.0, o.hours * 3600000.0 * o.stations * o.ports / static_cast<double>(o.boards) - 11500);

  std::vector<Plan> plans;
  plans.reserve(static_cast<size_t>(o.boards) + 16);
  const int slots = o.stations * o.ports;
  std::vector<int64_t> free_at(static_cast<size_t>(slots));
  std::vector<long> devnum(static_cast<size_t>(slots), 10);
  for (int s = 0; s < slots; ++s)
    free_at[static_cast<size_t>(s)] = o.start_ms + static_cast<int64_t>(unit(random) * 30000);
  // Boards waiting to be plugged in again: serial, and the blocks that fail
  // again on weak flash (none: the board is sound).
  std::vector<std::pair<std::string, std::vector<std::pair<int, int>>>> retry;
  long next_serial = 1;
  long planted_bad_port = 0;
  for (long n = 0; n < o.boards; ++n) {
    // The slot that is free first takes the next board.
    const auto slot =
        static_cast<size_t>(std::min_element(free_at.begin(), free_at.end()) - free_at.begin());
    Plan p;
    p.station = static_cast<int>(slot) / o.ports;
    p.port = static_cast<int>(slot) % o.ports;
    p.start_ms = free_at[slot];
    p.seconds = std::max(8.0, run_seconds(random));
    p.devnum = ++devnum[slot];
    std::vector<std::pair<int, int>> weak;
    if (!retry.empty() && unit(random) < 0.3) {
      p.serial = retry.back().first;
      weak = retry.back().second;
      retry.pop_back();
    } else {
      char serial[24];
      std::snprintf(serial, sizeof serial, "FP26%07ld", next_serial++);
      p.serial = serial;
    }
    const bool on_bad_port = p.station == bad_station && p.port == bad_port;
    const double rate = on_bad_port ? 15 * base_rate : base_rate;
    p.reason = unit(random) < rate ? reason_of(random) : -1;
    if (!weak.empty()) {
      p.reason = 0;
      p.blocks = weak;
    } else if (p.reason == 0) {
      const int count = 1 + static_cast<int>(unit(random) * 3);
      for (int k = 0; k < count; ++k) {
        int block = 0;
        const double pick = unit(random);
        if (pick < 0.25) {
          block = 1337;
        } else if (pick < 0.4) {
          block = 2041;
        } else {
          block = static_cast<int>(unit(random) * 2528);
        }
        const int last = block == 2041 ? 2042 : block;
        if (std::none_of(p.blocks.begin(), p.blocks.end(),
                         [&](const std::pair<int, int>& b) { return b.first == block; }))
          p.blocks.emplace_back(block, last);
      }
      std::sort(p.blocks.begin(), p.blocks.end());
    }
    if (p.reason == 2 || p.reason == 3 || p.reason == 5)
      p.seconds = 0.5 + unit(random) * (p.reason == 3 ? 8 : 1);
    planted_bad_port += on_bad_port && p.reason >= 0 ? 1 : 0;
    p.end_ms = p.start_ms + static_cast<int64_t>(p.seconds * 1000) + 3;
    free_at[slot] = p.end_ms + static_cast<int64_t>(pause_ms * (0.5 + unit(random)));
    if (p.reason >= 0 ? unit(random) < 0.6 : unit(random) < 0.005)
      retry.emplace_back(p.serial, p.reason == 0 && unit(random) < 0.5
                                       ? p.blocks
                                       : std::vector<std::pair<int, int>>());
    plans.push_back(std::move(p));
  }

  // Each station appends its records as its boards end.
  std::vector<const Plan*> order;
  order.reserve(plans.size());
  for (const Plan& p : plans)
    order.push_back(&p);
  std::stable_sort(order.begin(), order.end(),
                   [](const Plan* a, const Plan* b) { return a->end_ms < b->end_ms; });
  bool ok = true;
  if (!o.one_file.empty()) {
    ok = write_all(o.one_file, order, false, o.cut);
  } else {
    for (int s = 0; s < o.stations; ++s) {
      std::vector<const Plan*> mine;
      for (const Plan* p : order) {
        if (p->station == s)
          mine.push_back(p);
      }
      ok = ok && write_all(o.dir + "/" + station_name(s) + ".jsonl", mine, false,
                           o.cut && s == o.stations - 1);
    }
  }
  if (o.old_records > 0 && !o.dir.empty()) {
    std::vector<Plan> old;
    for (long n = 0; n < o.old_records; ++n) {
      Plan p;
      p.station = 0;
      p.port = static_cast<int>(n % o.ports);
      p.start_ms = o.start_ms + n * 3600 * kSecond / o.old_records;
      p.seconds = std::max(8.0, run_seconds(random));
      p.end_ms = p.start_ms + static_cast<int64_t>(p.seconds * 1000) + 3;
      p.reason = n % 10 == 9 ? 2 : -1;
      p.devnum = 0;
      old.push_back(p);
    }
    std::vector<const Plan*> old_order;
    for (const Plan& p : old)
      old_order.push_back(&p);
    ok = ok && write_all(o.dir + "/flashprep-1.0.jsonl", old_order, true, false);
  }
  std::printf(
      "boards %ld, stations %d, ports %d; bad port %s %s (%ld failed); "
      "other image on %s\n",
      o.boards, o.stations, o.ports, station_name(bad_station).c_str(), port_name(bad_port).c_str(),
      planted_bad_port, o.stations >= 4 ? station_name(3).c_str() : "none");
  return ok ? 0 : 1;
}
