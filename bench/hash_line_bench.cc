// Hash-list line parsing and writing, the per-entry cost of loading and saving
// a list, and sorting a million paths with the path order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/entry_order.h"
#include "engine/hash_item.h"
#include "support/date_time.h"

namespace {

constexpr int kLineCount = 1024;

// Lines of the shape Build writes, with varied paths, dates and sizes.
const std::vector<std::string>& SampleLines() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> out;
    std::mt19937 random(7);
    for (int i = 0; i < kLineCount; ++i) {
      hv::HashItem item;
      std::string path = "projects\\component" + std::to_string(i % 37) + "\\source\\module_" +
                         std::to_string(i) + (i % 5 == 0 ? "\\r\u00E9sum\u00E9.txt" : ".cc");
      item.SetPath(std::move(path));
      item.SetDate(hv::EncodeDate(2000 + i % 24, 1 + i % 12, 1 + i % 28) +
                   hv::EncodeTime(i % 24, i % 60, (i * 7) % 60, (i * 13) % 1000));
      item.SetSize(static_cast<int64_t>(random() % 100000000));
      item.SetHash("q83vEjRWeJASNFZ4kKvN" + std::to_string(1000 + i) + "==");
      out.push_back(item.AsString());
    }
    return out;
  }();
  return lines;
}

void BM_ParseHashListLine(benchmark::State& state) {
  const std::vector<std::string>& lines = SampleLines();
  hv::HashItem item;
  std::size_t i = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ % lines.size()];
    item.SetAsString(line);
    bytes += static_cast<int64_t>(line.size());
    benchmark::DoNotOptimize(item.Size());
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseHashListLine);

void BM_WriteHashListLine(benchmark::State& state) {
  const std::vector<std::string>& lines = SampleLines();
  std::vector<hv::HashItem> items(lines.size());
  for (std::size_t k = 0; k < lines.size(); ++k) items[k].SetAsString(lines[k]);
  std::size_t i = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    std::string line = items[i++ % items.size()].AsString();
    bytes += static_cast<int64_t>(line.size());
    benchmark::DoNotOptimize(line.data());
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteHashListLine);

// A million entries in scan-like directories sorted by path. Arg 0: entries
// made in scan order and shuffled; Arg 1: entries made in the order of a list
// file that was written sorted, as a load makes them.
void BM_SortMillionPaths(benchmark::State& state) {
  constexpr int kCount = 1000000;
  std::vector<std::string> paths;
  paths.reserve(kCount);
  for (int i = 0; i < kCount; ++i) {
    paths.push_back("Data\\Archive" + std::to_string(i % 50) + "\\Year" + std::to_string(i % 17) +
                    "\\" + (i % 3 == 0 ? "IMG_" : "img_") + std::to_string(i) + ".jpg");
  }
  if (state.range(0) == 1) {
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
      return hv::ComparePaths(a, b) < 0;
    });
  }
  std::vector<std::unique_ptr<hv::HashItem>> items;
  items.reserve(kCount);
  for (const std::string& path : paths) {
    auto item = std::make_unique<hv::HashItem>();
    item->SetPath(std::string(path));  // the entry's own copy, allocated next to it
    items.push_back(std::move(item));
  }
  paths = {};
  std::vector<const hv::HashItem*> shuffled;
  shuffled.reserve(kCount);
  for (const auto& item : items) shuffled.push_back(item.get());
  if (state.range(0) == 0) std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));

  for (auto _ : state) {
    state.PauseTiming();
    std::vector<const hv::HashItem*> order = shuffled;
    state.ResumeTiming();
    std::sort(order.begin(), order.end(), [](const hv::HashItem* a, const hv::HashItem* b) {
      return hv::CompareByPath(*a, *b) < 0;
    });
    benchmark::DoNotOptimize(order.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_SortMillionPaths)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
