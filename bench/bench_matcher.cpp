// Cost of matching a schema's pattern keys against one VIN key (plain keys
// in place, class keys through the per-thread compiled cache, texts RE2
// must run) and of the character validation of a pass with a warm cache.
#include <benchmark/benchmark.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tamberok/artifact_writer.h"
#include "tamberok/errors.h"
#include "tamberok/matcher.h"

namespace {

using namespace tamberok;

constexpr std::string_view KEY = "DM826|XA004352";

// A schema of `count` patterns over a few positions each, like vPIC's.
struct Schema {
  std::vector<uint8_t> bytes;
  artifact::AlignedBytes aligned;
  std::unique_ptr<Db> db;

  Schema(int count, bool classes) {
    artifact::Contents c;
    c.wmis = {{.id = 1, .code = "1HG"}};
    c.wmi_vin_schemas = {{.id = 1, .wmi_id = 1, .vin_schema_id = 1, .year_from = 2000}};
    const char* letters = "ABCDEFGHJKLMNPRSTUVWXYZ";
    for (int i = 0; i < count; ++i) {
      std::string keys = std::string(static_cast<size_t>(i % 4), '*') + letters[i % 23];
      if (classes) keys += i % 2 ? "[A-C]" : "[0-9X]";
      keys += std::string(static_cast<size_t>(i % 3), '*') + "|*" + letters[(i / 7) % 23];
      c.patterns.push_back({.id = i + 1, .vin_schema_id = 1, .keys = keys, .element_id = 5});
    }
    bytes = artifact::write(c);
    aligned = artifact::AlignedBytes(bytes);
    db = std::make_unique<Db>(aligned.span());
  }
};

void match_all(benchmark::State& state, bool classes) {
  Schema schema(static_cast<int>(state.range(0)), classes);
  Table<PatternRow> patterns = schema.db->patterns();
  for (auto _ : state) {
    int hits = 0;
    for (size_t i = 0; i < patterns.size(); ++i)
      hits += matcher::match(*schema.db, patterns[i], KEY);
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(patterns.size()));
}

void BM_PlainKeys(benchmark::State& state) {
  match_all(state, false);
}
BENCHMARK(BM_PlainKeys)->Arg(1000)->Arg(6000);

void BM_ClassKeys(benchmark::State& state) {
  match_all(state, true);
}
BENCHMARK(BM_ClassKeys)->Arg(1000)->Arg(6000);

void BM_Re2Fallback(benchmark::State& state) {
  matcher::Compiled compiled = matcher::compile("^.(M|N)8[0-9]+.*");
  for (auto _ : state) benchmark::DoNotOptimize(matcher::matches(compiled, KEY));
}
BENCHMARK(BM_Re2Fallback);

void BM_ErrorcodeWarm(benchmark::State& state) {
  Schema schema(2000, true);
  std::vector<std::string> keys = {"*M8", "DM826|X", "[A-D]M", "****6|*[AB]"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(errorcode(*schema.db, "1HGDM8260XA004352", "1HG", 1, 2005, keys));
  }
}
BENCHMARK(BM_ErrorcodeWarm);

}  // namespace

BENCHMARK_MAIN();
