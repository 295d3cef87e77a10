// Boards: each board's runs in order, and what the shift did for it.
#include <algorithm>
#include <unordered_map>

#include "board/board_facts.h"
#include "summary/natural_order.h"
#include "summary/shift_steps.h"

namespace {

// One board's runs seen so far, while its runs are walked in order.
struct BoardWalk {
  const Run* first_judged = nullptr;
  const Run* last_judged = nullptr;
  const Run* last = nullptr;
  uint64_t judged = 0;
};

// Numbers the boards: serials first, then each plug of a board without one.
// Places are far fewer than 2^32 - 1, so a record of flashprep 1.0 keyed by
// its index never meets a plug.
std::vector<uint32_t> board_numbers(const RunTable& table, const Analysis& a) {
  std::vector<uint32_t> board(table.runs.size(), RunTable::kNone);
  std::unordered_map<uint64_t, uint32_t> plugs;
  for (const uint32_t i : a.counted) {
    const Run& run = table.runs[i];
    if (run.serial != RunTable::kNone) {
      board[i] = run.serial;
      continue;
    }
    // A record of flashprep 1.0 tells no plug: each is a board of its own.
    const uint64_t plug = (run.flags & Run::kSchema1) != 0 ? uint64_t{0xFFFFFFFF} << 32 | i
                                                           : uint64_t{run.where} << 32 | run.devnum;
    board[i] = table.serials.size() +
               plugs.try_emplace(plug, static_cast<uint32_t>(plugs.size())).first->second;
  }
  return board;
}

ShiftReport::Board listed(const RunTable& table, const Analysis& a, const BoardWalk& walk) {
  const Run& shown = walk.last_judged != nullptr ? *walk.last_judged : *walk.last;
  const Where& w = table.wheres[shown.where];
  ShiftReport::Board b;
  if (shown.serial != RunTable::kNone)
    b.serial = table.serials.text(shown.serial);
  b.station = a.stations[a.station_of_where[shown.where]];
  b.port = table.text(w.port);
  b.runs = walk.judged;
  b.judged = walk.judged > 0;
  if (b.judged) {
    b.first = walk.first_judged->verdict;
    b.last = walk.last_judged->verdict;
  }
  const std::vector<std::string_view> reasons = table.reasons_of(shown);
  if (!reasons.empty())
    b.last_reason = reasons.front();
  b.last_start_ms = shown.start_ms;
  return b;
}

void close_board(const RunTable& table, const Analysis& a, const BoardWalk& walk,
                 ShiftReport* report) {
  BoardTotals& t = report->boards;
  ++t.boards;
  const bool judged = walk.judged > 0;
  const bool final_ready = judged && walk.last_judged->verdict == Outcome::ready;
  if (judged) {
    ++t.judged;
    t.first_ready += walk.first_judged->verdict == Outcome::ready ? 1 : 0;
    t.final_ready += final_ready ? 1 : 0;
    t.retested += walk.judged > 1 ? 1 : 0;
    t.retests += walk.judged - 1;
  }
  if (!final_ready)
    report->not_ready.push_back(listed(table, a, walk));
  if (walk.judged > 1)
    report->retested.push_back(listed(table, a, walk));
}

void sort_lists(ShiftReport* report) {
  std::sort(report->not_ready.begin(), report->not_ready.end(),
            [](const ShiftReport::Board& x, const ShiftReport::Board& y) {
              if (x.station != y.station)
                return natural_less(x.station, y.station);
              if (x.port != y.port)
                return natural_less(x.port, y.port);
              if (x.last_start_ms != y.last_start_ms)
                return x.last_start_ms < y.last_start_ms;
              return natural_less(x.serial, y.serial);
            });
  if (report->not_ready.size() > ShiftReport::kMostListed)
    report->not_ready.resize(ShiftReport::kMostListed);
  const auto before = [](const ShiftReport::Board& x, const ShiftReport::Board& y) {
    const bool x_failed = x.last != Outcome::ready;
    const bool y_failed = y.last != Outcome::ready;
    if (x_failed != y_failed)
      return x_failed;
    if (x.runs != y.runs)
      return x.runs > y.runs;
    return natural_less(x.serial, y.serial);
  };
  std::vector<ShiftReport::Board>& r = report->retested;
  const size_t shown = std::min(r.size(), ShiftReport::kMostListed);
  std::partial_sort(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(shown), r.end(), before);
  r.resize(shown);
}

}  // namespace

void count_boards(RunTable* table, Analysis* a, ShiftReport* report) {
  a->board_of_run = board_numbers(*table, *a);
  const std::vector<uint32_t>& board = a->board_of_run;
  // Each board's runs together, in order of their starts.
  std::vector<uint32_t> order = a->counted;
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t x, uint32_t y) { return board[x] < board[y]; });
  BoardWalk walk;
  uint16_t nth = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    Run& run = table->runs[order[k]];
    if (k > 0 && board[order[k]] != board[order[k - 1]]) {
      close_board(*table, *a, walk, report);
      walk = BoardWalk();
      nth = 0;
    }
    run.nth = ++nth;
    walk.last = &run;
    if (run.judged()) {
      walk.first_judged = walk.first_judged == nullptr ? &run : walk.first_judged;
      walk.last_judged = &run;
      ++walk.judged;
    }
  }
  close_board(*table, *a, walk, report);
  sort_lists(report);
}

void count_blocks(const RunTable& table, const Analysis& a, ShiftReport* report) {
  struct Event {
    uint32_t board;
    BlockRange range;
  };
  std::vector<Event> events;
  for (const uint32_t i : a.counted) {
    const Run& run = table.runs[i];
    if (run.failure == RunTable::kNone || !run.judged())
      continue;
    const Failure& f = table.failures[run.failure];
    for (uint32_t b = 0; b < f.blocks; ++b)
      events.push_back({a.board_of_run[i], table.blocks[f.blocks_at + b]});
  }
  std::sort(events.begin(), events.end(), [](const Event& x, const Event& y) {
    return x.board != y.board ? x.board < y.board : x.range.first < y.range.first;
  });
  // Each board's failed blocks as one set, then boards per block.
  std::vector<int64_t> change(kFlashBlocks + 1, 0);
  for (size_t i = 0; i < events.size();) {
    const uint32_t b = events[i].board;
    ++report->boards_with_blocks;
    int first = events[i].range.first;
    int last = events[i].range.last;
    for (++i; i < events.size() && events[i].board == b; ++i) {
      if (events[i].range.first <= last + 1) {
        last = std::max(last, static_cast<int>(events[i].range.last));
        continue;
      }
      ++change[first];
      --change[last + 1];
      first = events[i].range.first;
      last = events[i].range.last;
    }
    ++change[first];
    --change[last + 1];
  }
  int64_t boards = 0;
  std::vector<ShiftReport::Blocks>& out = report->blocks;
  for (int block = 0; block < kFlashBlocks; ++block) {
    boards += change[block];
    if (boards < 2)
      continue;
    // Neighbouring blocks that failed on as many boards make one line.
    if (!out.empty() && out.back().last == block - 1 &&
        out.back().boards == static_cast<uint64_t>(boards)) {
      out.back().last = block;
    } else {
      out.push_back({block, block, static_cast<uint64_t>(boards)});
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const ShiftReport::Blocks& x, const ShiftReport::Blocks& y) {
                     return x.boards > y.boards;
                   });
}
