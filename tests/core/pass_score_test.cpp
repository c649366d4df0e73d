// Pass scores hold whatever weights an artifact stores: sums at the i32
// limits neither wrap nor reorder the passes.
#include <cstdint>
#include <limits>

#include "support.h"
#include "tamberok/assemble.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

ArtifactDb weighted_elements(int32_t weight) {
  artifact::Contents c;
  c.wmis.push_back({.id = 1, .code = "1HG"});
  for (int32_t id : {1, 2, 3}) {
    c.element_defs.push_back({.id = id, .name = "E" + std::to_string(id), .weight = weight});
  }
  return ArtifactDb(std::move(c));
}

Pass pass_with_elements(int32_t pass_id, std::vector<int32_t> elements) {
  Pass pass{.pass_id = pass_id};
  for (int32_t id : elements) {
    pass.items.push_back({.value = "v", .source = "Pattern", .element_id = id});
  }
  return pass;
}

TEST(PassScore, WeightSumsAtTheI32LimitsDoNotWrap) {
  constexpr int64_t MAX = std::numeric_limits<int32_t>::max();
  constexpr int64_t MIN = -MAX;  // the smallest weight that is not the absent mark
  const struct {
    int32_t weight;
    int64_t sum;
  } cases[] = {{static_cast<int32_t>(MAX), 3 * MAX}, {static_cast<int32_t>(MIN), 3 * MIN}};
  for (const auto& c : cases) {
    ArtifactDb a = weighted_elements(c.weight);
    EXPECT_EQ(score_pass(a.db(), pass_with_elements(3, {1, 2, 3})).weight_sum, c.sum) << c.weight;
  }

  // Two heavy elements outrank one: the sum ranks passes, not its wrapped value.
  ArtifactDb heavy = weighted_elements(static_cast<int32_t>(MAX));
  std::vector<Pass> passes = {pass_with_elements(3, {1}), pass_with_elements(4, {1, 2})};
  passes[1].model_year = 1999;
  EXPECT_EQ(assemble_result(heavy.db(), passes, "v", "w", "d").model_year, 1999);
}

}  // namespace
}  // namespace tamberok
