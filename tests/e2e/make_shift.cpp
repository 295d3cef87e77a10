// flashprep_make_shift: results files of a made-up shift of a production
// line, as flashprep-station --results writes them (schema 2), for the shift
// report's scale benchmark, its tests and its demonstration.
//
//   flashprep_make_shift [--boards N] [--stations K] [--ports P] [--seed S]
//                        [--start YYYY-MM-DDTHH:MM] [--hours H] [--old N] [--cut]
//                        [--twin] [--ended N] [--simulated N] [--copy] DIR
//   flashprep_make_shift ... --one-file FILE
//
// K stations (station-1...) with P ports each (1-1.1...) prepare N boards in
// all over about H hours (8 by default), each port one board after another
// (about 11.5 s a run, then a pause of its share of the shift, give or take a
// half, at least 5 s). About 1.5 % of the boards fail, for the reasons a line
// sees, and blocks 1337 and 2041-2042 fail more often than others (a weak
// flash batch). Port 1-1.3 of station-3 fails about fifteen times as often (a
// worn cable). Station-4 changes its driver image a third into the shift, to
// another than the others'. Most boards that fail are plugged in again
// later, a few READY ones too; half of those whose blocks failed have weak
// flash and fail the same way again. Each station's records go to
// DIR/station-K.jsonl in the order the boards ended (as a station appends
// them), or all to FILE with --one-file. --old N adds DIR/flashprep-1.0.jsonl
// with N records of schema 1 from the first hour; --cut ends the last
// station's file with the start of a record only, as a station killed while
// writing leaves it.
//
// What a real line's files hold besides: --twin adds a station cloned from
// station-2's image, so of the same name but another boot, on ports of the
// same names (DIR/station-2-twin.jsonl), its first run starting while
// station-2's first is on; --ended N has the station end about N runs
// (stopped by a signal, not started, not waited for), each board plugged in
// again later; --simulated N adds N runs of simulated boards of a folder
// (bus sim, no port or serial) rehearsed on station-1, in its file; --copy
// adds DIR/station-1.noon.jsonl, a copy of station-1's file taken when 60 %
// of it was written. Prints what it planted.
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
  bool twin = false;
  long ended = 0;
  long simulated = 0;
  bool copy = false;
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
  const char* ended = nullptr;  // the station's reason, when it ended the run
  bool simulated = false;
  bool other_image = false;
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

// The reason a record names and its failed blocks as JSON ("" for none).
std::string reasons_of(const Plan& p, int* failed, std::string* ranges) {
  if (p.ended != nullptr)
    return "\"" + std::string(p.ended) + "\"";
  if (p.reason < 0)
    return "";
  std::string detail;
  if (p.reason == 0) {
    std::string list;
    for (const auto& [first, last] : p.blocks) {
      *failed += last - first + 1;
      list += (list.empty() ? "" : ", ") + std::to_string(first) +
              (last == first ? "" : "-" + std::to_string(last));
      *ranges += std::string(ranges->empty() ? "" : ",") + "[" + std::to_string(first) + "," +
                 std::to_string(last) + "]";
    }
    detail = ": " + std::to_string(*failed) + " (" + list + ")";
  } else if (p.reason == 1) {
    detail = ": 1 (2530)";
  } else if (p.reason == 4) {
    detail = ": 1 (7)";
  }
  return "\"" + std::string(kReasons[p.reason]) + detail + "\"";
}

// The twin is the station after the others, cloned from station-2: its
// name, another boot.
std::string station_of(const Plan& p, const Options& o) {
  return station_name(p.station == o.stations ? 1 : p.station);
}

std::string boot_of(const Plan& p) {
  char boot[40];
  std::snprintf(boot, sizeof boot, "%08x-7b3f-4e8d-9a6c-5d1e0c2a7b3f",
                0x5d1e0c2aU + 0x1000U * static_cast<unsigned>(p.station));
  return boot;
}

std::string place_of(const Plan& p) {
  return p.simulated ? "sim-" + std::string(1, static_cast<char>('a' + p.port)) : port_name(p.port);
}

std::string record(const Plan& p, bool old_schema, const Options& o) {
  const std::string place = place_of(p);
  std::string start = utc(p.start_ms);
  std::string log_time = start.substr(0, 4) + start.substr(5, 2) + start.substr(8, 2) + "T" +
                         start.substr(11, 2) + start.substr(14, 2) + start.substr(17, 2) + "Z";
  int failed = 0;
  std::string ranges;
  const std::string reasons = reasons_of(p, &failed, &ranges);
  const bool stopped = p.ended != nullptr || p.reason == 2 || p.reason == 5;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", p.seconds);
  std::string r = "{\"board\":\"" + place + "\",\"start\":\"" + start + "\",\"end\":\"" +
                  utc(p.end_ms) + "\",\"seconds\":" + seconds + ",\"verdict\":\"" +
                  (reasons.empty() ? "READY" : "NOT READY") + "\",\"reasons\":[" + reasons +
                  "],\"log\":\"station-logs/" + place + "." + log_time + ".log\",\"version\":\"" +
                  (old_schema ? "1.0.0" : "1.1.0") + "\"";
  if (old_schema)
    return r + "}";
  const int bytes = p.other_image ? 4096 : 4000;
  char devnum[8];
  std::snprintf(devnum, sizeof devnum, "%03ld", p.devnum % 128);
  const int driver = stopped ? 0 : 16;
  const int formatted = stopped ? 0 : 4064 - failed;
  const int tables = stopped ? 0 : 17;
  r += ",\"schema\":2,\"station\":\"" + station_of(p, o) + "\"" +
       (p.simulated ? "" : ",\"port\":\"" + place + "\"") + ",\"bus\":\"" +
       (p.simulated ? "sim" : "001") + "\",\"device\":\"" + devnum +
       "\",\"devnum\":" + std::to_string(p.devnum % 128) + ",\"boot\":\"" + boot_of(p) + "\"" +
       (p.simulated ? "" : ",\"serial\":\"" + p.serial + "\"") +
       ",\"image\":{\"file\":\"serial_flash.S19\",\"sha256\":\"" +
       (p.other_image ? kImageB : kImageA) + "\",\"bytes\":" + std::to_string(bytes) +
       ",\"start\":\"20000000\",\"end\":\"" + (p.other_image ? "20000FFF" : "20000F9F") +
       "\",\"blocks\":16},\"counts\":{\"driver_downloaded\":" + std::to_string(driver) +
       ",\"driver_refused\":" + (p.reason == 4 && !stopped ? "1" : "0") +
       ",\"flash_formatted\":" + std::to_string(formatted) +
       ",\"flash_failed\":" + std::to_string(failed) +
       ",\"table_written\":" + std::to_string(p.reason == 1 && !stopped ? tables - 1 : tables) +
       ",\"table_refused\":" + (p.reason == 1 && !stopped ? "1" : "0") + "},\"failed_blocks\":[" +
       ranges + "]}";
  return r;
}

bool write_all(const std::string& path, const std::vector<const Plan*>& plans, bool old_schema,
               bool cut, const Options& o) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  std::vector<char> buffer(size_t{1} << 20);
  std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
  for (const Plan* p : plans) {
    const std::string line = record(*p, old_schema, o) + "\n";
    std::fwrite(line.data(), 1, line.size(), f);
  }
  if (cut && !plans.empty()) {
    const std::string line = record(*plans.back(), old_schema, o);
    std::fwrite(line.data(), 1, line.size() / 2, f);
  }
  const bool ok = std::ferror(f) == 0;
  return std::fclose(f) == 0 && ok;
}

int usage() {
  std::fprintf(stderr,
               "usage: flashprep_make_shift [--boards N] [--stations K] [--ports P] [--seed S]\n"
               "         [--start YYYY-MM-DDTHH:MM] [--hours H] [--old N] [--cut]\n"
               "         [--twin] [--ended N] [--simulated N] [--copy] (DIR | --one-file FILE)\n");
  return 2;
}

bool parse_options(int argc, char** argv, Options* o) {
  parse_start("2026-12-08T06:00", &o->start_ms);
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (a == "--boards" && value) {
      o->boards = std::atol(argv[++i]);
    } else if (a == "--stations" && value) {
      o->stations = std::atoi(argv[++i]);
    } else if (a == "--ports" && value) {
      o->ports = std::atoi(argv[++i]);
    } else if (a == "--seed" && value) {
      o->seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--start" && value) {
      if (!parse_start(argv[++i], &o->start_ms))
        return false;
    } else if (a == "--hours" && value) {
      o->hours = std::atof(argv[++i]);
    } else if (a == "--old" && value) {
      o->old_records = std::atol(argv[++i]);
    } else if (a == "--ended" && value) {
      o->ended = std::atol(argv[++i]);
    } else if (a == "--simulated" && value) {
      o->simulated = std::atol(argv[++i]);
    } else if (a == "--cut" || a == "--twin" || a == "--copy") {
      (a == "--cut" ? o->cut : a == "--twin" ? o->twin : o->copy) = true;
    } else if (a == "--one-file" && value) {
      o->one_file = argv[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      return false;
    } else {
      o->dir = a;
    }
  }
  return o->dir.empty() != o->one_file.empty() && o->boards >= 1 && o->hours > 0 &&
         o->stations >= 1 && o->ports >= 1 && (o->stations >= 4 || !o->one_file.empty());
}

const char* const kStationEnds[] = {"STOPPED BY SIGNAL 15", "NOT STARTED: cannot run flashprep",
                                    "NOT WAITED FOR"};

class ShiftPlanner {
 public:
  explicit ShiftPlanner(const Options& o)
      : o_(o),
        random_(o.seed),
        reason_of_(std::begin(kReasonWeights), std::end(kReasonWeights)),
        bad_station_(std::min(2, o.stations - 1)),
        bad_port_(std::min(2, o.ports - 1)),
        // The mean pause between two boards on a port, for the shift to last o.hours.
        pause_ms_(std::max(
            5000.0,
            o.hours * 3600000.0 * o.stations * o.ports / static_cast<double>(o.boards) - 11500)),
        image_change_ms_(o.start_ms + static_cast<int64_t>(o.hours * 3600000.0 / 3)) {
    const int stations = o.stations + (o.twin ? 1 : 0);
    free_at_.resize(static_cast<size_t>(stations * o.ports));
    devnum_.assign(free_at_.size(), 10);
    for (int64_t& at : free_at_)
      at = o.start_ms + static_cast<int64_t>(unit() * 30000);
    // The twin's first run starts while station-2's first run on that port is on.
    if (o.twin)
      free_at_[static_cast<size_t>(o.stations * o.ports)] =
          free_at_[static_cast<size_t>(o.ports)] + 2000;
  }

  std::vector<Plan> plan() {
    std::vector<Plan> plans;
    plans.reserve(static_cast<size_t>(o_.boards) + 16);
    for (long n = 0; n < o_.boards; ++n)
      plans.push_back(next());
    // The rehearsals: simulated boards of a folder on station-1, spread over the shift.
    for (long n = 0; n < o_.simulated; ++n) {
      Plan p;
      p.station = 0;
      p.port = static_cast<int>(n % 3);
      p.start_ms = o_.start_ms +
                   (n * 2 + 1) * static_cast<int64_t>(o_.hours * 3600000.0) / (2 * o_.simulated);
      p.seconds = 9.5;
      p.end_ms = p.start_ms + 9503;
      p.reason = n % 4 == 3 ? 0 : -1;
      p.blocks = {{5, 5}};
      p.devnum = 40 + n;
      p.simulated = true;
      plans.push_back(p);
    }
    return plans;
  }

  long planted_bad_port() const { return planted_bad_port_; }
  long planted_ended() const { return planted_ended_; }
  int64_t image_change_ms() const { return image_change_ms_; }

 private:
  double unit() { return unit_(random_); }

  void pick_blocks(Plan* p) {
    const int count = 1 + static_cast<int>(unit() * 3);
    for (int k = 0; k < count; ++k) {
      int block = 0;
      const double pick = unit();
      if (pick < 0.25) {
        block = 1337;
      } else if (pick < 0.4) {
        block = 2041;
      } else {
        block = static_cast<int>(unit() * 2528);
      }
      const int last = block == 2041 ? 2042 : block;
      if (std::none_of(p->blocks.begin(), p->blocks.end(),
                       [&](const std::pair<int, int>& b) { return b.first == block; }))
        p->blocks.emplace_back(block, last);
    }
    std::sort(p->blocks.begin(), p->blocks.end());
  }

  // What the board does on its run: READY, a failure, or a run the station ends.
  void judge(Plan* p, const std::vector<std::pair<int, int>>& weak) {
    const bool on_bad_port = p->station == bad_station_ && p->port == bad_port_;
    const double rate = on_bad_port ? 15 * kBaseRate : kBaseRate;
    p->reason = unit() < rate ? reason_of_(random_) : -1;
    if (!weak.empty()) {
      p->reason = 0;
      p->blocks = weak;
    } else if (p->reason == 0) {
      pick_blocks(p);
    }
    if (p->reason == 2 || p->reason == 3 || p->reason == 5)
      p->seconds = 0.5 + unit() * (p->reason == 3 ? 8 : 1);
    planted_bad_port_ += on_bad_port && p->reason >= 0 ? 1 : 0;
    if (o_.ended > 0 && unit() < static_cast<double>(o_.ended) / static_cast<double>(o_.boards)) {
      p->ended = kStationEnds[planted_ended_++ % std::size(kStationEnds)];
      p->seconds = 0.25 + unit();
    }
  }

  Plan next() {
    // The slot that is free first takes the next board.
    const auto slot =
        static_cast<size_t>(std::min_element(free_at_.begin(), free_at_.end()) - free_at_.begin());
    Plan p;
    p.station = static_cast<int>(slot) / o_.ports;
    p.port = static_cast<int>(slot) % o_.ports;
    p.start_ms = free_at_[slot];
    p.seconds = std::max(8.0, run_seconds_(random_));
    p.devnum = ++devnum_[slot];
    p.other_image = p.station == 3 && p.start_ms >= image_change_ms_;
    std::vector<std::pair<int, int>> weak;
    if (!retry_.empty() && unit() < 0.3) {
      p.serial = retry_.back().first;
      weak = retry_.back().second;
      retry_.pop_back();
    } else {
      char serial[24];
      std::snprintf(serial, sizeof serial, "FP26%07ld", next_serial_++);
      p.serial = serial;
    }
    judge(&p, weak);
    p.end_ms = p.start_ms + static_cast<int64_t>(p.seconds * 1000) + 3;
    free_at_[slot] = p.end_ms + static_cast<int64_t>(pause_ms_ * (0.5 + unit()));
    // A board that failed, or whose run was ended, is mostly plugged in again.
    if (p.ended != nullptr || (p.reason >= 0 ? unit() < 0.6 : unit() < 0.005))
      retry_.emplace_back(p.serial, p.ended == nullptr && p.reason == 0 && unit() < 0.5
                                        ? p.blocks
                                        : std::vector<std::pair<int, int>>());
    return p;
  }

  static constexpr double kBaseRate = 0.015;
  const Options& o_;
  std::mt19937_64 random_;
  std::uniform_real_distribution<double> unit_{0, 1};
  std::normal_distribution<double> run_seconds_{11.5, 0.7};
  std::discrete_distribution<int> reason_of_;
  int bad_station_;
  int bad_port_;
  double pause_ms_;
  int64_t image_change_ms_;
  std::vector<int64_t> free_at_;
  std::vector<long> devnum_;
  // Boards waiting to be plugged in again: serial, and the blocks that fail
  // again on weak flash (none: the board is sound).
  std::vector<std::pair<std::string, std::vector<std::pair<int, int>>>> retry_;
  long next_serial_ = 1;
  long planted_bad_port_ = 0;
  long planted_ended_ = 0;
};

bool write_stations(const Options& o, const std::vector<const Plan*>& order) {
  bool ok = true;
  const int stations = o.stations + (o.twin ? 1 : 0);
  for (int s = 0; s < stations; ++s) {
    std::vector<const Plan*> mine;
    for (const Plan* p : order) {
      if (p->station == s)
        mine.push_back(p);
    }
    const std::string name = s == o.stations ? "station-2-twin" : station_name(s);
    ok = ok &&
         write_all(o.dir + "/" + name + ".jsonl", mine, false, o.cut && s == o.stations - 1, o);
    if (o.copy && s == 0) {
      mine.resize(mine.size() * 6 / 10);
      ok = ok && write_all(o.dir + "/station-1.noon.jsonl", mine, false, false, o);
    }
  }
  return ok;
}

bool write_old(const Options& o, std::mt19937_64* random) {
  std::normal_distribution<double> run_seconds(11.5, 0.7);
  std::vector<Plan> old;
  for (long n = 0; n < o.old_records; ++n) {
    Plan p;
    p.station = 0;
    p.port = static_cast<int>(n % o.ports);
    p.start_ms = o.start_ms + n * 3600 * kSecond / o.old_records;
    p.seconds = std::max(8.0, run_seconds(*random));
    p.end_ms = p.start_ms + static_cast<int64_t>(p.seconds * 1000) + 3;
    p.reason = n % 10 == 9 ? 2 : -1;
    p.devnum = 0;
    old.push_back(p);
  }
  std::vector<const Plan*> old_order;
  for (const Plan& p : old)
    old_order.push_back(&p);
  return write_all(o.dir + "/flashprep-1.0.jsonl", old_order, true, false, o);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, &o))
    return usage();
  ShiftPlanner planner(o);
  const std::vector<Plan> plans = planner.plan();
  // Each station appends its records as its boards end.
  std::vector<const Plan*> order;
  order.reserve(plans.size());
  for (const Plan& p : plans)
    order.push_back(&p);
  std::stable_sort(order.begin(), order.end(),
                   [](const Plan* a, const Plan* b) { return a->end_ms < b->end_ms; });
  bool ok =
      o.one_file.empty() ? write_stations(o, order) : write_all(o.one_file, order, false, o.cut, o);
  if (o.old_records > 0 && !o.dir.empty()) {
    std::mt19937_64 random(o.seed + 1);
    ok = ok && write_old(o, &random);
  }
  const int bad_station = std::min(2, o.stations - 1);
  const int bad_port = std::min(2, o.ports - 1);
  std::printf(
      "boards %ld, stations %d, ports %d; bad port %s %s (%ld failed); image changed on %s at "
      "%s; twin %s; ended %ld; simulated %ld\n",
      o.boards, o.stations, o.ports, station_name(bad_station).c_str(), port_name(bad_port).c_str(),
      planner.planted_bad_port(), o.stations >= 4 ? station_name(3).c_str() : "none",
      utc(planner.image_change_ms()).c_str(), o.twin ? "station-2" : "none",
      planner.planted_ended(), o.simulated);
  return ok ? 0 : 1;
}
