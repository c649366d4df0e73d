// Model-year settling with the current year pinned to 2026.
#include "tamberok/year.h"

#include "support.h"

namespace tamberok {
namespace {

constexpr int32_t CUR = 2026;

artifact::Contents year_contents() {
  artifact::Contents c;
  auto wmi = [&](int32_t id, std::string code, int32_t type, int32_t truck = NONE_I32) {
    c.wmis.push_back({.id = id,
                      .code = std::move(code),
                      .manufacturer_id = 1,
                      .vehicle_type_id = type,
                      .truck_type_id = truck,
                      .created_on = 0});
  };
  auto link = [&](int32_t wmi_id, int32_t from, int32_t to) {
    int32_t id = static_cast<int32_t>(c.wmi_vin_schemas.size()) + 1;
    c.wmi_vin_schemas.push_back(
        {.id = id, .wmi_id = wmi_id, .vin_schema_id = 100 + id, .year_from = from, .year_to = to});
  };
  wmi(1, "CA0", 2);  // car, no schemas
  wmi(2, "CAX", 2);  // car, schema for 2010 only
  link(2, 2010, 2010);
  wmi(3, "CAY", 7);  // MPV, schema for 1980 only
  link(3, 1980, 1980);
  wmi(4, "CAZ", 2);  // car, schemas for 1980 and 2010
  link(4, 1980, 1980);
  link(4, 2010, 2010);
  wmi(5, "TK1", 3, 1);  // truck type 1: car-like
  link(5, 1993, 1993);
  wmi(6, "TK2", 3, 2);  // truck type 2: not car-like
  wmi(7, "MC1", 1);     // motorcycle
  wmi(8, "CAP", 2);     // car, schema for 1993 only
  link(8, 1993, 1993);
  wmi(9, "CAQ", 2);  // car, schemas for 1993 and 2023
  link(9, 1993, 1993);
  link(9, 2023, 2023);
  wmi(10, "CAV", 2);  // car, schema for 2028 only
  link(10, 2028, 2028);
  wmi(11, "CAW", 2);  // car, schema for 1998 only
  link(11, 1998, 1998);
  return c;
}

// A 17-character VIN with the given WMI, position 7 and position 10.
std::string vin(std::string_view wmi, char p7, char p10) {
  std::string v = std::string(wmi) + "ABC" + p7 + "DE" + p10 + "1234567";
  return v;
}

struct YearCase {
  const char* name;
  std::string wmi;
  char p7;
  char p10;
  bool has_year;
  int32_t year;
  bool certain;
  bool second_pass;
};

TEST(ModelYear, SettlesOrSplitsAsTheCycleRulesSay) {
  testing::ArtifactDb a(year_contents());
  const YearCase cases[] = {
      {"A, car, letter, schema for 2010", "CAX", 'K', 'A', true, 2010, true, false},
      {"A, car, letter, schema for 1980 only", "CAY", 'K', 'A', true, 1980, true, false},
      {"A, car, letter, no schema", "CA0", 'K', 'A', true, 2010, true, false},
      {"A, car, letter, both schemas", "CAZ", 'K', 'A', true, 2010, true, false},
      {"A, car, digit, schema for 1980", "CAY", '5', 'A', true, 1980, true, false},
      {"A, car, digit, schema for 2010 only", "CAX", '5', 'A', true, 2010, true, false},
      {"A, car, digit, no schema", "CA0", '5', 'A', true, 1980, true, false},
      {"A, car, digit, both", "CAZ", '5', 'A', true, 1980, true, false},
      {"A, not car-like: two cycles", "MC1", 'K', 'A', true, 2010, false, true},
      {"A, truck type 2: two cycles", "TK2", 'K', 'A', true, 2010, false, true},
      {"A, unknown WMI: two cycles", "ZZZ", 'K', 'A', true, 2010, false, true},
      {"S, not car-like: two cycles", "MC1", 'K', 'S', true, 2025, false, true},
      {"W is not above cur + 2", "MC1", 'K', 'W', true, 2028, false, true},
      {"X becomes 1999 without a count", "MC1", 'K', 'X', true, 1999, true, false},
      {"1 becomes 2001", "MC1", 'K', '1', true, 2001, true, false},
      {"P, car, letter, schema 2023", "CAQ", 'K', 'P', true, 2023, true, false},
      {"P, car, letter, only 1993", "CAP", 'K', 'P', true, 1993, true, false},
      {"P, truck type 1 is car-like", "TK1", 'K', 'P', true, 1993, true, false},
      {"P, car, p7 '*' is neither digit nor letter", "CAP", '*', 'P', true, 2023, false, true},
      // The settling ranges include their ends: 1998 is cur - 28, 2028 is cur + 2.
      {"W, car, digit: 1998 settles up to 2028", "CAV", '5', 'W', true, 2028, true, false},
      {"W, car, letter: 2028 settles down to 1998", "CAW", 'K', 'W', true, 1998, true, false},
      {"W, car, letter, no schema: 2028 is not above cur + 2", "CA0", 'K', 'W', true, 2028, true,
       false},
  };
  for (const YearCase& k : cases) {
    YearPlan plan = model_year_plan(a.db(), vin(k.wmi, k.p7, k.p10), k.wmi, CUR);
    EXPECT_EQ(plan.has_year, k.has_year) << k.name;
    if (k.has_year) {
      EXPECT_EQ(plan.year, k.year) << k.name;
    }
    EXPECT_EQ(plan.year_certain, k.certain) << k.name;
    EXPECT_EQ(plan.second_pass, k.second_pass) << k.name;
  }
  for (char p10 : std::string("0IOQUZ*")) {
    YearPlan plan = model_year_plan(a.db(), vin("CAX", 'K', p10), "CAX", CUR);
    EXPECT_FALSE(plan.has_year) << p10;
    EXPECT_TRUE(plan.year_certain && !plan.second_pass) << p10;
  }
}

TEST(ModelYear, CycleCharactersDecodeFrom2010To2039) {
  const std::pair<char, int32_t> cases[] = {{'A', 2010}, {'H', 2017}, {'J', 2018},
                                            {'P', 2023}, {'T', 2026}, {'V', 2027},
                                            {'Y', 2030}, {'1', 2031}, {'9', 2039}};
  for (auto [c, year] : cases) EXPECT_EQ(decoded_year(c), year) << c;
  for (char c : std::string("IOQUZ0*a&")) EXPECT_FALSE(decoded_year(c).has_value()) << c;
}

TEST(ModelYear, CarLikeMeansCarMpvOrLightTruck) {
  const std::tuple<int32_t, int32_t, bool> cases[] = {{2, NONE_I32, true},
                                                      {7, NONE_I32, true},
                                                      {3, 1, true},
                                                      {3, 2, false},
                                                      {3, NONE_I32, false},
                                                      {1, 1, false},
                                                      {NONE_I32, NONE_I32, false}};
  for (auto [type, truck, car] : cases) {
    WmiRow row{.vehicle_type_id = type, .truck_type_id = truck};
    EXPECT_EQ(car_like(row), car) << type << "/" << truck;
  }
}

}  // namespace
}  // namespace tamberok
