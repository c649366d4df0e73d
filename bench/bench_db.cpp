// Query speed of the database handle over a generated artifact of realistic
// size: 10^4 WMIs, 4 schema links each, 10^6 pattern rows, 72 lookup tables.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "tamberok/artifact_writer.h"
#include "tamberok/year.h"

namespace tamberok {
namespace {

constexpr int WMIS = 10000;
constexpr int PATTERNS = 1000000;
constexpr int LOOKUPS_PER_TABLE = 1000;

std::string wmi_code(int i) {
  static const char ALPHABET[] = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789";
  std::string code(3, 'A');
  for (int k = 2; k >= 0; --k) {
    code[k] = ALPHABET[i % 33];
    i /= 33;
  }
  return code;
}

class GeneratedDb {
 public:
  GeneratedDb() {
    artifact::Contents c;
    for (int i = 0; i < WMIS; ++i) {
      c.wmis.push_back({.id = i + 1, .code = wmi_code(i), .manufacturer_id = i, .created_on = 0});
      for (int s = 0; s < 4; ++s) {
        int32_t schema = i * 4 + s;
        c.wmi_vin_schemas.push_back({.id = schema + 1, .wmi_id = i + 1, .vin_schema_id = schema,
                                     .year_from = 1990 + 8 * s,
                                     .year_to = s == 3 ? NONE_I32 : 1997 + 8 * s});
        c.vin_schemas.push_back({.id = schema});
      }
      c.wmi_makes.push_back({.wmi_id = i + 1, .make_id = i % 500});
    }
    for (int p = 0; p < PATTERNS; ++p) {
      c.patterns.push_back({.id = p, .vin_schema_id = p % (WMIS * 4),
                            .keys = "*****|*" + std::to_string(p % 10), .element_id = p % 200,
                            .attribute_id = std::to_string(p % 5000)});
    }
    for (uint16_t t = 0; t < 72; ++t) {
      for (int id = 0; id < LOOKUPS_PER_TABLE; ++id) {
        c.lookups.push_back({.table = t, .id = id * 2, .name = "name " + std::to_string(id)});
      }
    }
    bytes_ = artifact::AlignedBytes(artifact::write(c));
    db_ = std::make_unique<Db>(bytes_.span());
  }
  const Db& db() const { return *db_; }

 private:
  artifact::AlignedBytes bytes_;
  std::unique_ptr<Db> db_;
};

const Db& generated() {
  static GeneratedDb instance;
  return instance.db();
}

std::vector<std::string> query_codes() {
  std::mt19937 rng(7);
  std::vector<std::string> codes;
  for (int i = 0; i < 4096; ++i) codes.push_back(wmi_code(static_cast<int>(rng() % (WMIS + 500))));
  return codes;
}

void BM_WmiAny(benchmark::State& state) {
  const Db& db = generated();
  std::vector<std::string> codes = query_codes();
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(db.wmi_any(codes[i++ & 4095]));
}
BENCHMARK(BM_WmiAny);

void BM_Lookup(benchmark::State& state) {
  const Db& db = generated();
  std::mt19937 rng(8);
  std::vector<std::pair<uint16_t, int32_t>> keys;
  for (int i = 0; i < 4096; ++i) {
    keys.push_back({static_cast<uint16_t>(rng() % 72), static_cast<int32_t>(rng() % 2000)});
  }
  size_t i = 0;
  for (auto _ : state) {
    auto [table, id] = keys[i++ & 4095];
    benchmark::DoNotOptimize(db.lookup(table, id));
  }
}
BENCHMARK(BM_Lookup);

void BM_SchemaCount(benchmark::State& state) {
  const Db& db = generated();
  std::vector<std::string> codes = query_codes();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        year::schema_count(codes[i & 4095], db, 1990 + static_cast<int32_t>(i % 50)));
    ++i;
  }
}
BENCHMARK(BM_SchemaCount);

}  // namespace
}  // namespace tamberok

BENCHMARK_MAIN();
