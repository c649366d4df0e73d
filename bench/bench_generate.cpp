// Corpus generators on the embedded data: generate(100000), the sweep one
// dimension at a time, pairwise and seeded over every schema.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/generate.h"
#include "tamberok/panic.h"

namespace {

using namespace tamberok;

constexpr int32_t CURRENT_YEAR = 2026;

// The real database, or none (and the benchmark skips) for the placeholder.
const Db* real_db(benchmark::State& state) {
  try {
    return &global_db();
  } catch (const Panic&) {
    state.SkipWithError("no real artifact embedded");
    return nullptr;
  }
}

void report(benchmark::State& state, size_t vins) {
  state.counters["vins"] = static_cast<double>(vins);
  state.counters["vins_per_s"] =
      benchmark::Counter(static_cast<double>(vins), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Generate(benchmark::State& state) {
  const Db* db = real_db(state);
  if (db == nullptr) return;
  size_t vins = 0;
  for (auto _ : state) {
    std::vector<std::string> out =
        generate::generate(*db, static_cast<uint64_t>(state.range(0)), 0, {}, CURRENT_YEAR + 2);
    vins = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report(state, vins);
}
BENCHMARK(BM_Generate)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Sweep(benchmark::State& state) {
  const Db* db = real_db(state);
  if (db == nullptr) return;
  auto dimension = generate::ALL_DIMENSIONS[static_cast<size_t>(state.range(0))];
  size_t vins = 0;
  for (auto _ : state) {
    std::vector<std::string> out = generate::sweep(*db, {dimension}, CURRENT_YEAR);
    vins = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report(state, vins);
}
BENCHMARK(BM_Sweep)
    ->ArgName("dimension")
    ->DenseRange(0, static_cast<int64_t>(generate::ALL_DIMENSIONS.size()) - 1)
    ->Unit(benchmark::kMillisecond);

template <std::vector<std::string> (*Corpus)(const Db&, uint64_t, int32_t)>
void BM_Covering(benchmark::State& state) {
  const Db* db = real_db(state);
  if (db == nullptr) return;
  size_t vins = 0;
  for (auto _ : state) {
    std::vector<std::string> out = Corpus(*db, 0, CURRENT_YEAR);
    vins = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report(state, vins);
}
BENCHMARK(BM_Covering<generate::pairwise>)
    ->Name("BM_Pairwise")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_Covering<generate::seeded>)
    ->Name("BM_Seeded")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
