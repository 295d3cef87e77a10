// Loading a full-size image of each layout from S-record text held in memory
// (read through fmemopen, as load() reads a FILE). Throughput is bytes of
// S-record text per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench/bench_check.h"
#include "bench/bench_support.h"
#include "image/srecord_image.h"
#include "image/srecord_writer.h"

namespace {

constexpr size_t kShortRecord = 32;
// Loading the same small text over and over lets the branch predictor learn
// its digits, which no real first load enjoys; each case cycles through
// different texts of at least this many bytes in all.
constexpr size_t kTextPoolBytes = 1u << 20;

using Texts = std::vector<std::string>;

// Texts are built once per case, outside the timed loop.
const Texts& region_texts(int32_t flash_image, int32_t s1_records, size_t per_record) {
  static std::map<std::tuple<int32_t, int32_t, size_t>, Texts> cache;
  Texts& texts = cache[std::make_tuple(flash_image, s1_records, per_record)];
  size_t total = 0;
  for (const std::string& t : texts)
    total += t.size();
  while (total < kTextPoolBytes || texts.size() < 2) {
    texts.push_back(bench::full_region_text(flash_image, s1_records, per_record,
                                            static_cast<uint32_t>(texts.size())));
    total += texts.back().size();
  }
  return texts;
}

// Args: flash_image, s1_records, long_records (0: 32 data bytes per record,
// 1: the most a record of that type holds).
void BM_LoadImage(benchmark::State& state) {
  const auto flash_image = static_cast<int32_t>(state.range(0));
  const auto s1_records = static_cast<int32_t>(state.range(1));
  const size_t per_record =
      state.range(2) != 0 ? srecord::max_data_bytes(s1_records != 0 ? 2 : 4) : kShortRecord;
  const Texts& texts = region_texts(flash_image, s1_records, per_record);
  const ImageLayout& layout = ImageLayout::choose(flash_image, s1_records);
  const uint32_t region_bytes = layout.region_last - layout.region_first + 1;

  size_t next = 0;
  int64_t text_bytes = 0;
  for (auto _ : state) {
    const std::string& text = texts[next];
    next = next + 1 == texts.size() ? 0 : next + 1;
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (file == nullptr) {
      bench::report_failure(state, "fmemopen failed");
      break;
    }
    SRecordImage image(file, flash_image, s1_records);
    image.load();
    std::fclose(file);
    // Every byte of the region must have been stored, from its first address.
    if (image.status() != loaded || image.byte_count() != region_bytes ||
        image.low_address() != layout.region_first) {
      bench::report_failure(state, "image did not load whole");
      break;
    }
    benchmark::DoNotOptimize(image.checksum());
    text_bytes += static_cast<int64_t>(text.size());
  }
  state.SetBytesProcessed(text_bytes);
  state.counters["text_bytes"] = static_cast<double>(texts[0].size());
  state.counters["region_bytes"] = region_bytes;
}
BENCHMARK(BM_LoadImage)
    ->ArgNames({"flash_image", "s1_records", "long_records"})
    ->ArgsProduct({{0, 1}, {0, 1}, {0, 1}});

}  // namespace
