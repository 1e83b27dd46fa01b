// Loading a from-to list of 100,000 cell renames, at level 4 (one cell atom
// per line) and at level 3 (cell, view and file elements per line).
//
//   build-bench/bench/from_to_load_bench --benchmark_repetitions=5
//
// Every line renames one cell of one library and keeps its view and file:
//   designLib.cell000042:layout/layout.oa
//   designLib.cell000042_v2:layout/layout.oa
// Each iteration is one tovProcessFromToFile call: it opens and reads the
// list and builds the mapping; releasing the mapping afterwards is not timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tovUpdtr.h"

namespace {

constexpr int kLines = 100000;

// The generated list, removed with its directory at exit.
class ListFile {
 public:
  ListFile() {
    std::random_device seed;
    dir_ = std::filesystem::temp_directory_path() /
           ("tovUpdtr-bench-" + std::to_string(seed()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "renames.ftl").string();
    std::ofstream out(path_);
    char line[160];
    for (int i = 0; i < kLines; ++i) {
      std::snprintf(line, sizeof line,
                    "designLib.cell%06d:layout/layout.oa "
                    "designLib.cell%06d_v2:layout/layout.oa\n",
                    i, i);
      out << line;
    }
  }
  ~ListFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string &path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

const ListFile &List() {
  static const ListFile list;
  return list;
}

void BM_LoadFromToList(benchmark::State &state) {
  const int level = static_cast<int>(state.range(0));
  const std::string &path = List().path();
  int elements = 0;
  for (auto _ : state) {
    int kind = tovProcessFromToFile(path.c_str(), level);
    if (kind != LCV_CELL_CHANGED) {
      state.SkipWithError("the load failed");
      break;
    }
    // Releasing the mapping is not part of the load: each load starts
    // without one, as the first load of an updater does.
    state.PauseTiming();
    elements = 0;
    tovUpdtrHashStartGen();
    while (tovUpdtrHashNext() != nullptr) ++elements;
    tovUpdtrHashTableDelete();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kLines);
  state.counters["elements"] = elements;
}

BENCHMARK(BM_LoadFromToList)
    ->ArgName("level")
    ->Arg(4)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
