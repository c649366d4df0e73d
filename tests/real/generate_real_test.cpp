// The corpus generators against the embedded vPIC data of February 2026 (the
// downloaded copy). Each count and VIN pinned here holds for that data month.
#include <set>
#include <string>
#include <vector>

#include "support.h"
#include "tamberok/checkdigit.h"
#include "tamberok/generate.h"
#include "tamberok/year.h"

namespace tamberok::generate {
namespace {

using Vins = std::vector<std::string>;

constexpr int32_t CURRENT_YEAR = 2026;
constexpr int32_t MAX_YEAR = CURRENT_YEAR + 2;

// A corpus VIN is 17 characters of the VIN alphabet with its check digit in
// position 9, or "0" there when no check digit exists (a letter where the
// position rules want a digit).
void expect_assembled(const Vins& vins, const char* corpus) {
  size_t bad = 0;
  for (const std::string& v : vins) {
    bool ok = v.size() == 17 && v.find_first_of("IOQ") == std::string::npos;
    if (ok) {
      std::optional<char> check = check_digit_with_flag(v, false);
      ok = check && (*check == '?' ? v[8] == '0' : v[8] == *check);
    }
    if (!ok && bad++ < 5) ADD_FAILURE() << corpus << ": " << v;
  }
  EXPECT_EQ(bad, 0u) << corpus;
}

TEST(CorpusFeb2026, GenerateThreeFor2020FromSeedZero) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  // The first attempt draws candidate 2,845 of 12,765 (WMI 1H9251), its one
  // open-ended schema link, and the key *****|*P among that schema's 5 rows.
  EXPECT_EQ(generate(db, 3, 0, Filter{.year = 2020}, MAX_YEAR),
            (Vins{"1H9AAAAA8LP251111", "1E9BAAAA5LA607111", "JH2TE4027LA111111"}));
  // Without a year filter open-ended schemas take max_year 2028 ("W"), closed
  // ones their last year.
  EXPECT_EQ(generate(db, 5, 42, {}, MAX_YEAR),
            (Vins{"1Z9AAAAA1WA682111", "2T9AAAAA9WC148111", "1F9AAAAA4WA564111",
                  "1J9AAAAA2WE128111", "1Z9AAAAA8WA072111"}));
}

TEST(CorpusFeb2026, GenerateFiltersByWmiMakeAndYear) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  Vins hondas = generate(db, 200, 9, Filter{.wmi = "1hg", .make = "honda", .year = 2020}, MAX_YEAR);
  ASSERT_EQ(hondas.size(), 200u);
  for (const std::string& v : hondas) {
    EXPECT_EQ(v.substr(0, 3), "1HG") << v;
    EXPECT_EQ(v[9], 'L') << v;
  }
  EXPECT_EQ(generate(db, 5, 0, Filter{.wmi = "1HG", .make = "Toyota"}, MAX_YEAR), Vins{});
  expect_assembled(generate(db, 20000, 1, {}, MAX_YEAR), "generate");
}

TEST(CorpusFeb2026, SweepSizesAndPinnedVinsPerDimension) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  // This copy of the data has no vehicle-spec, exception or default-value
  // rows, so those dimensions are empty.
  // Sizes, then the first, middle (index size / 2) and last VIN of each.
  const std::vector<std::pair<Dimension, Vins>> cases = {
      {Dimension::wmi, {"101AAAAA6WA111111", "1T9AAAAA5WA976111", "ZZ3AAAAA2WA111111"}},
      {Dimension::pattern, {"SCFAABAA1AA111111", "1GDJHA7A9TA111111", "1E9BAAAA6WA751111"}},
      {Dimension::engine, {"1XPAAAAA1GA111111", "YV1AA390X6A111111", "4CDAAAFAXKA111111"}},
      {Dimension::vspec, {}},
      {Dimension::exception, {}},
      {Dimension::defaults, {}},
  };
  const size_t sizes[] = {12763, 329286, 335, 0, 0, 0};
  for (size_t k = 0; k < cases.size(); ++k) {
    const auto& [d, pinned] = cases[k];
    Vins vins = sweep(db, {d}, CURRENT_YEAR);
    EXPECT_EQ(vins.size(), sizes[k]) << static_cast<int>(d);
    if (!vins.empty()) {
      EXPECT_EQ((Vins{vins.front(), vins[vins.size() / 2], vins.back()}), pinned)
          << static_cast<int>(d);
    }
    expect_assembled(vins, "sweep");
  }
}

TEST(CorpusFeb2026, CoveringCorpusSizesAndPinnedVins) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  Vins pairs = pairwise(db, 0, CURRENT_YEAR);
  EXPECT_EQ(pairs.size(), 984548u);
  EXPECT_EQ((Vins{pairs.front(), pairs[pairs.size() / 2], pairs.back()}),
            (Vins{"SCFAAEDJ0AGA00000", "1GT6G0AAXAAAA0000", "1E9BAAAA8WA751000"}));
  expect_assembled(pairs, "pairwise");
  Vins seeds = seeded(db, 0, CURRENT_YEAR);
  EXPECT_EQ(seeds.size(), 1029040u);
  EXPECT_EQ((Vins{seeds.front(), seeds[seeds.size() / 2], seeds.back()}),
            (Vins{"SCFHABAJ9AGA00000", "1GTDAAAA4EAAA0000", "1E9AAAAA3WA751000"}));
  expect_assembled(seeds, "seeded");
}

TEST(CorpusFeb2026, PairwiseOfTheFirstSchemaCoversEveryClassPair) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  std::vector<SchemaEntry> schemas = schema_to_wmi(db);
  ASSERT_FALSE(schemas.empty());
  std::optional<std::string_view> wmi = find_wmi(wmis_by_id(db), schemas[0].wmi_id);
  ASSERT_EQ(wmi, "SCF");
  std::array<std::string, 12> classes =
      position_classes(db, schemas[0].vin_schema_id, 'F', car_like(db, "SCF"));
  Vins vins = pairwise(db, 1, CURRENT_YEAR);
  EXPECT_EQ(vins.size(), 26u);
  EXPECT_EQ(vins.front(), "SCFAAEDJ0AGA00000");
  // Every pair of classes at two varied positions shows in some VIN.
  for (size_t i = 0; i < 12; ++i) {
    for (size_t j = i + 1; j < 12; ++j) {
      std::set<std::pair<char, char>> seen, all;
      for (const std::string& v : vins) {
        seen.insert({v[VARIED_POSITIONS[i].first - 1], v[VARIED_POSITIONS[j].first - 1]});
      }
      for (char a : classes[i]) {
        for (char b : classes[j]) all.insert({a, b});
      }
      EXPECT_EQ(seen, all) << i << " " << j;
    }
  }
}

}  // namespace
}  // namespace tamberok::generate
