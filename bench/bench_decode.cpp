// Single-thread decoding speed on the embedded data: the candidate search of
// one pass (decode_core) and the full decode of one VIN, over real VINs made
// from the artifact's own WMIs, schemas and pattern keys, plus 10% with one
// character changed. Two corpora: WMIs drawn uniformly (most of them small
// manufacturers with few patterns), and WMIs and years weighted like real
// traffic (bench/traffic-mix.tsv), where the large manufacturers dominate.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "tamberok/decode.h"
#include "tamberok/generate.h"
#include "tamberok/tamberok.h"
#include "tamberok/year.h"

namespace tamberok {
namespace {

constexpr int64_t NOW = 1796083200LL * 1000000;  // 2026-12-01
constexpr int32_t YEAR = 2026;
constexpr std::string_view YEAR_KEY = "***X*|Y";

const Db* database() {
  try {
    return &global_db();
  } catch (const Panic&) {
    return nullptr;
  }
}

std::vector<std::string> real_vins(const Db& db, size_t n, uint64_t seed) {
  return generate::generate(db, n, seed, {}, YEAR + 2);
}

// VINs in the proportions of traffic-mix.tsv (WMI, model year, count per
// 1,000 VINs): `per_count` VINs for each VIN of the sample, shuffled.
std::vector<std::string> traffic_vins(const Db& db, size_t per_count, uint64_t seed) {
  std::ifstream in(TAMBEROK_BENCH_DIR "/traffic-mix.tsv");
  std::vector<std::string> vins;
  std::string line;
  uint64_t row = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.starts_with("wmi\t")) continue;
    std::istringstream fields(line);
    generate::Filter filter;
    std::string wmi;
    int32_t year = 0;
    size_t count = 0;
    if (!(fields >> wmi >> year >> count)) continue;
    filter.wmi = wmi;
    filter.year = year;
    for (std::string& vin :
         generate::generate(db, count * per_count, seed + row++, filter, YEAR + 2))
      vins.push_back(std::move(vin));
  }
  std::shuffle(vins.begin(), vins.end(), std::mt19937_64(seed));
  return vins;
}

std::vector<std::string> with_mutations(std::vector<std::string> vins, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::string alphabet = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789IOQ";
  size_t mutated = vins.size() / 10;
  for (size_t i = 0; i < mutated; ++i) {
    std::string& vin = vins[rng() % vins.size()];
    vin[rng() % vin.size()] = alphabet[rng() % alphabet.size()];
  }
  return vins;
}

// What one pass of a VIN needs: its WMI, key and settled year.
struct PassInput {
  std::string wmi;
  std::string key;
  YearPlan plan;
};

PassInput pass_input(const Db& db, const std::string& text) {
  std::string vin = normalize_vin(text);
  PassInput in{wmi_of(vin), vin_key_of(vin), {}};
  if (vin.size() >= 10) in.plan = model_year_plan(db, vin, in.wmi, YEAR);
  return in;
}

// Pattern rows the candidate search walks for a pass: every pattern of every
// schema link of the WMI that covers the year.
size_t patterns_examined(const Db& db, const PassInput& in) {
  std::optional<WmiRow> w = db.wmi_any(in.wmi);
  if (!w) return 0;
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  Table<PatternRow> patterns = db.patterns();
  auto [first, end] = links.equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; }, w->id);
  size_t total = 0;
  for (size_t i = first; i < end; ++i) {
    WmiVinSchemaRow link = links[i];
    int32_t to = link.year_to == NONE_I32 ? 2999 : link.year_to;
    if (in.plan.has_year && (in.plan.year < link.year_from || in.plan.year > to)) continue;
    auto [p_first, p_end] = patterns.equal_range(
        [](const PatternRow& r) { return r.vin_schema_id; }, link.vin_schema_id);
    total += p_end - p_first;
  }
  return total;
}

void BM_DecodeCore(benchmark::State& state) {
  const Db* db = database();
  if (db == nullptr) {
    state.SkipWithError("no real artifact embedded");
    return;
  }
  std::vector<PassInput> inputs;
  size_t examined = 0;
  for (const std::string& vin : real_vins(*db, 1000, 4)) {
    inputs.push_back(pass_input(*db, vin));
    examined += patterns_examined(*db, inputs.back());
  }
  size_t i = 0;
  for (auto _ : state) {
    const PassInput& in = inputs[i++ % inputs.size()];
    benchmark::DoNotOptimize(
        decode_core(*db, in.wmi, in.key, in.plan.has_year, in.plan.year, YEAR_KEY, NOW));
  }
  state.counters["patterns_examined_per_vin"] =
      static_cast<double>(examined) / static_cast<double>(inputs.size());
}
BENCHMARK(BM_DecodeCore);

const std::vector<std::string>& uniform_corpus(const Db& db) {
  static const std::vector<std::string> vins = with_mutations(real_vins(db, 10000, 5), 6);
  return vins;
}

const std::vector<std::string>& traffic_corpus(const Db& db) {
  static const std::vector<std::string> vins = with_mutations(traffic_vins(db, 10, 7), 8);
  return vins;
}

void decode_full_over(benchmark::State& state, const std::vector<std::string>& vins) {
  const Db* db = database();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(decode_full(*db, vins[i++ % vins.size()], NOW, YEAR));
  }
}

template <typename MakeCorpus>
void decode_full_on(benchmark::State& state, MakeCorpus make_corpus) {
  const Db* db = database();
  if (db == nullptr) {
    state.SkipWithError("no real artifact embedded");
    return;
  }
  decode_full_over(state, make_corpus(*db));
}

void BM_DecodeFull(benchmark::State& state) { decode_full_on(state, uniform_corpus); }
BENCHMARK(BM_DecodeFull);

void BM_DecodeFullTraffic(benchmark::State& state) { decode_full_on(state, traffic_corpus); }
BENCHMARK(BM_DecodeFullTraffic);

// The median over VINs of each VIN's best of three decodes, warm caches.
void print_median_decode(const char* name, const std::vector<std::string>& vins) {
  const Db* db = database();
  for (const std::string& vin : vins) benchmark::DoNotOptimize(decode_full(*db, vin, NOW, YEAR));
  std::vector<double> best(vins.size());
  for (size_t i = 0; i < vins.size(); ++i) {
    double fastest = 1e18;
    for (int round = 0; round < 3; ++round) {
      auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(decode_full(*db, vins[i], NOW, YEAR));
      auto stop = std::chrono::steady_clock::now();
      fastest = std::min(fastest, std::chrono::duration<double, std::nano>(stop - start).count());
    }
    best[i] = fastest;
  }
  std::sort(best.begin(), best.end());
  std::printf(
      "decode_full, %s corpus, %zu VINs (10%% mutated): median %.0f ns, p90 %.0f ns, "
      "p99 %.0f ns\n",
      name, vins.size(), best[best.size() / 2], best[best.size() * 9 / 10],
      best[best.size() * 99 / 100]);
}

}  // namespace
}  // namespace tamberok

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (const tamberok::Db* db = tamberok::database()) {
    tamberok::print_median_decode("uniform", tamberok::uniform_corpus(*db));
    tamberok::print_median_decode("traffic", tamberok::traffic_corpus(*db));
  }
  return 0;
}
