// Batch JSON throughput over 100,000 real VINs: on the calling thread alone,
// on pools of 1, 2, 4 and all workers, and through decode_batch_json on the
// process pool; then the join of the texts into one array, which runs on the
// calling thread after the batch. Prints VINs per second and the scaling
// ratio throughput / (workers x single-thread throughput).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tamberok/batch.h"
#include "tamberok/checkdigit.h"
#include "tamberok/db.h"
#include "tamberok/panic.h"
#include "tamberok/tamberok.h"
#include "tamberok/year.h"

namespace {

using namespace tamberok;

constexpr size_t VIN_COUNT = 100000;
constexpr std::string_view VIN_ALPHABET = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789";

// A pattern key that names VIN characters and wildcards only, for positions 4 to 8.
bool plain_key(std::string_view keys) {
  if (keys.empty() || keys.size() > 5) return false;
  return std::all_of(keys.begin(), keys.end(), [](char c) {
    return c == '*' || VIN_ALPHABET.find(c) != std::string_view::npos;
  });
}

// One VIN per WMI schema link (its first plain pattern key, a year inside the
// link's range), then the same again with other serial numbers until there
// are VIN_COUNT; shuffled so that slow and fast WMIs are spread out.
std::vector<std::string> real_vins(const Db& db) {
  struct Seed {
    std::string head;  // positions 1 to 8
    char year;
  };
  std::vector<Seed> seeds;
  Table<WmiRow> wmis = db.wmis();
  for (size_t w = 0; w < wmis.size(); ++w) {
    WmiRow wmi = wmis[w];
    std::string_view code = db.string(wmi.code);
    if (code.size() != 3) continue;
    auto [first, end] =
        db.wmi_vin_schemas().equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; }, wmi.id);
    for (size_t s = first; s < end; ++s) {
      WmiVinSchemaRow link = db.wmi_vin_schemas()[s];
      auto [p, p_end] = db.patterns().equal_range(
          [](const PatternRow& r) { return r.vin_schema_id; }, link.vin_schema_id);
      for (; p < p_end; ++p) {
        std::string_view keys = db.string(db.patterns()[p].keys);
        if (!plain_key(keys)) continue;
        std::string head(code);
        head += keys;
        head.resize(8, '*');
        std::replace(head.begin(), head.end(), '*', 'A');
        int32_t year = std::clamp(link.year_from, 2010, 2039);
        seeds.push_back({head, MODEL_YEAR_CODES[year - 2010]});
        break;
      }
    }
  }
  std::vector<std::string> vins;
  vins.reserve(VIN_COUNT);
  for (size_t serial = 100000; vins.size() < VIN_COUNT && !seeds.empty(); ++serial) {
    const Seed& seed = seeds[serial % seeds.size()];
    std::string vin = seed.head + "0" + seed.year + "A" + std::to_string(serial).substr(0, 6);
    std::optional<char> check = check_digit_with_flag(vin, false);
    if (!check || *check == '?') continue;
    vin[8] = *check;
    vins.push_back(std::move(vin));
  }
  std::shuffle(vins.begin(), vins.end(), std::mt19937_64(17));
  return vins;
}

struct Corpus {
  const Db* db = nullptr;
  std::vector<std::string> vins;
  int64_t now = 0;
  int32_t year = 0;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus c;
    c.db = &global_db();
    c.vins = real_vins(*c.db);
    c.now = now_micros();
    c.year = civil_year(c.now);
    return c;
  }();
  return c;
}

// VINs per second by label, the best iteration of each run.
std::map<std::string, double>& rates() {
  static std::map<std::string, double> r;
  return r;
}

template <typename Run>
void measure(benchmark::State& state, const std::string& label, Run run) {
  const Corpus& c = corpus();
  run(c);  // warms the per-thread caches of every thread taking part
  double best = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    run(c);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::max(best, double(c.vins.size()) / took.count());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * c.vins.size()));
  rates()[label] = best;
}

// The same work as a batch on the calling thread: every text is kept, as a
// batch keeps them, so both pay for the memory the results take.
void BM_SingleThreadJson(benchmark::State& state) {
  measure(state, "single", [](const Corpus& c) {
    std::vector<std::string> texts(c.vins.size());
    for (size_t i = 0; i < c.vins.size(); ++i) {
      texts[i] = to_json(decode_full(*c.db, c.vins[i], c.now, c.year));
    }
    benchmark::DoNotOptimize(texts);
  });
}

void BM_PoolJson(benchmark::State& state) {
  size_t workers = size_t(state.range(0));
  static std::map<size_t, std::unique_ptr<WorkerPool>> pools;
  auto& pool = pools[workers];
  if (!pool) pool = std::make_unique<WorkerPool>(workers);
  measure(state, std::to_string(workers), [&](const Corpus& c) {
    benchmark::DoNotOptimize(pool->map<std::string>(c.vins.size(), [&](size_t i) {
      return to_json(decode_full(*c.db, c.vins[i], c.now, c.year));
    }));
  });
}

void BM_DecodeBatchJson(benchmark::State& state) {
  measure(state, "decode_batch_json", [](const Corpus& c) {
    benchmark::DoNotOptimize(decode_batch_json(*c.db, c.vins, false, c.now, c.year));
  });
}

// The join alone: one copy of every text on the calling thread.
void BM_JoinJsonArray(benchmark::State& state) {
  const Corpus& c = corpus();
  std::vector<std::string> texts = decode_batch_json(*c.db, c.vins, false, c.now, c.year);
  size_t bytes = 0;
  for (const std::string& t : texts) bytes += t.size();
  for (auto _ : state) benchmark::DoNotOptimize(join_json_array(texts));
  state.SetBytesProcessed(int64_t(state.iterations() * bytes));
  state.counters["mean_text_bytes"] = double(bytes) / double(texts.size());
}

void print_scaling() {
  double single = rates()["single"];
  if (single <= 0) return;
  std::printf("\nbatch JSON throughput, %zu real VINs\n", corpus().vins.size());
  std::printf("%-22s %14s %10s\n", "run", "VINs/s", "ratio");
  std::printf("%-22s %14.0f %10s\n", "single thread", single, "1.00");
  for (const auto& [label, rate] : rates()) {
    if (label == "single") continue;
    size_t workers = label == "decode_batch_json" ? batch_pool()->size() : std::stoul(label);
    std::string name = label == "decode_batch_json"
                           ? "decode_batch_json (" + std::to_string(workers) + ")"
                           : std::to_string(workers) + " workers";
    std::printf("%-22s %14.0f %10.2f\n", name.c_str(), rate, rate / (double(workers) * single));
  }
  std::printf("ratio = throughput / (workers x single-thread throughput); target >= 0.80\n");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    global_db();
  } catch (const Panic&) {
    std::printf("bench_batch: no real artifact embedded; nothing to measure\n");
    return 0;
  }
  const size_t all = pool_worker_count();
  benchmark::RegisterBenchmark("BM_SingleThreadJson", BM_SingleThreadJson)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(3);
  std::vector<size_t> counts = {1, 2, 4};
  if (std::find(counts.begin(), counts.end(), all) == counts.end()) counts.push_back(all);
  for (size_t workers : counts) {
    benchmark::RegisterBenchmark("BM_PoolJson", BM_PoolJson)
        ->Arg(int64_t(workers))
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(5);
  }
  benchmark::RegisterBenchmark("BM_DecodeBatchJson", BM_DecodeBatchJson)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(5);
  benchmark::RegisterBenchmark("BM_JoinJsonArray", BM_JoinJsonArray)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(5);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_scaling();
  return 0;
}
