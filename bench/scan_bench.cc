// The directory scan over a warm tree, with a per-file routine that only
// counts: what a run costs before any file is read. The tree is the one named
// by HV_SCAN_TREE, or else a small one made for the run. bench/scan_vs_find.sh
// compares it with find over a tree of 200,000 files.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#include "engine/verify.h"

namespace {

namespace fs = std::filesystem;

class CountingScan : public hv::Verify {
 public:
  CountingScan() {
    Clear();
    // Progress events go out as in a real run, to a handler that drops them.
    SetOnStateChange([](hv::Verify&, hv::VerifyState, const hv::StateChangeObject*) {});
  }

  int Run(const std::string& directory) {
    const hv::BasePathPtr base = std::make_shared<const std::string>(NormalizeDirectory(directory));
    CommandRun run;
    return ScanDirectory(run, base, "", static_cast<FileProc>(&CountingScan::Count), 0);
  }

  int64_t files = 0;

 private:
  int Count(const hv::BasePathPtr&, const std::string&, int) {
    ++files;
    return 0;
  }
};

// 20 directories of 100 files each, removed when the program ends.
class SmallTree {
 public:
  SmallTree() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("hv-scan-bench-" + std::to_string(random()));
    for (int d = 0; d < 20; ++d) {
      const fs::path directory = path_ / ("dir" + std::to_string(d));
      fs::create_directories(directory);
      for (int f = 0; f < 100; ++f) {
        std::ofstream(directory / ("file" + std::to_string(f) + ".dat")) << f;
      }
    }
  }
  ~SmallTree() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  SmallTree(const SmallTree&) = delete;
  SmallTree& operator=(const SmallTree&) = delete;

  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

std::string TreeToScan() {
  if (const char* named = std::getenv("HV_SCAN_TREE"); named != nullptr && *named != '\0') {
    return named;
  }
  static const SmallTree tree;
  return tree.path();
}

void BM_ScanTree(benchmark::State& state) {
  const std::string tree = TreeToScan();
  int64_t files = 0;
  for (auto _ : state) {
    CountingScan scan;
    benchmark::DoNotOptimize(scan.Run(tree));
    files = scan.files;
  }
  if (files == 0) state.SkipWithError("the tree holds no files");
  state.counters["files"] = static_cast<double>(files);
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_ScanTree)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
