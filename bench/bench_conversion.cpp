// Cost of the conversions stage: formula evaluation alone and the whole
// stage over a pass that knows one displacement.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tamberok/artifact_writer.h"
#include "tamberok/conversion.h"

namespace {

using tamberok::DecodingItem;

void BM_ProductFormula(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(tamberok::evaluate_formula("#x# * 1000", "2.5"));
  }
}
BENCHMARK(BM_ProductFormula);

void BM_QuotientFormula(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(tamberok::evaluate_formula("#x# / 0.016387064 ", "2.5"));
  }
}
BENCHMARK(BM_QuotientFormula);

// The widest quotient the stage can make: 1000 decimals.
void BM_QuotientAtTheDecimalCap(benchmark::State& state) {
  std::string divisor = "#x# / 0." + std::string(1200, '0') + "7";
  for (auto _ : state) {
    benchmark::DoNotOptimize(tamberok::evaluate_formula(divisor, "3"));
  }
}
BENCHMARK(BM_QuotientAtTheDecimalCap);

void BM_AppendConversions(benchmark::State& state) {
  tamberok::artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.conversions = {
      {.id = 1, .from_element_id = 11, .to_element_id = 12, .formula = "#x# / 16.387064 "},
      {.id = 2, .from_element_id = 12, .to_element_id = 11, .formula = "#x# * 16.387064 "},
      {.id = 3, .from_element_id = 11, .to_element_id = 13, .formula = "#x# / 1000."},
      {.id = 4, .from_element_id = 13, .to_element_id = 11, .formula = "#x# * 1000"},
      {.id = 5, .from_element_id = 12, .to_element_id = 13, .formula = "#x# * 0.016387064 "},
      {.id = 7, .from_element_id = 13, .to_element_id = 12, .formula = "#x# / 0.016387064 "},
  };
  tamberok::artifact::AlignedBytes bytes(tamberok::artifact::write(c));
  tamberok::Db db(bytes.span());
  // A pass of 40 items, one of them the displacement in litres.
  std::vector<DecodingItem> pass(40);
  for (size_t i = 0; i < pass.size(); ++i) {
    pass[i].element_id = static_cast<int32_t>(100 + i);
    pass[i].attribute_id = "7";
  }
  pass[20].element_id = 13;
  pass[20].attribute_id = "2.5";
  for (auto _ : state) {
    std::vector<DecodingItem> items = pass;
    tamberok::append_conversions(items, db);
    benchmark::DoNotOptimize(items.data());
  }
}
BENCHMARK(BM_AppendConversions);

}  // namespace

BENCHMARK_MAIN();
