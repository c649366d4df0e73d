// VIN assembly from pattern keys, random generation, the sweep and the
// stored cover corpus, on small artifacts.
#include "tamberok/generate.h"

#include <climits>
#include <string>
#include <vector>

#include "support.h"

namespace tamberok::generate {
namespace {

using testing::ArtifactDb;
using Vins = std::vector<std::string>;

constexpr int32_t CURRENT_YEAR = 2026;
constexpr int32_t MAX_YEAR = CURRENT_YEAR + 2;

// ---- build_vin ----------------------------------------------------

TEST(BuildVin, OverlaysWmiKeyAndYearOnTheTemplateWithACheckDigit) {
  struct Case {
    const char* what;
    std::string wmi;
    std::string key;
    int32_t year;
    std::optional<std::string> vin;
  };
  const std::vector<Case> cases = {
      {"key pins position 11", "1HG", "*****|*S", 2020, "1HGAAAAA2LS111111"},
      {"empty key sets nothing", "1HG", "", 2020, "1HGAAAAA5LA111111"},
      {"key without a bar sets 4-8 only", "1HG", "ABCDEFG", 2020, "1HGABCDE6LA111111"},
      {"second bar ends the second piece", "1HG", "*****|*S|XYZ", 2020, "1HGAAAAA2LS111111"},
      {"second piece past 8 entries ignored", "1HG", "*****|*S12345678", 2020, "1HGAAAAA8LS123456"},
      {"letter at 14 gives check digit ?, written 0", "1HG", "*****|****A", 2020,
       "1HGAAAAA0LA11A111"},
      {"six-character WMI fills 12-14", "109013", "", 2012, "109AAAAA8CA013111"},
      {"other lengths give their first three bytes", "1HGXY", "", 2020, "1HGAAAAA5LA111111"},
      {"short WMI keeps the template", "1H", "", 2020, "1HAAAAAA2LA111111"},
      {"key pins position 10 over the year", "1HG", "*****|A", 2020, "1HGAAAAA9AA111111"},
      {"class takes its smallest VIN letter", "1HG", "[IJ]", 2020, "1HGJAAAA5LA111111"},
      {"class of I and O is refused", "1HG", "[IO]", 2020, std::nullopt},
      {"reversed range is no entry", "1HG", "[C-A]B", 2020, "1HGABAAA9LA111111"},
      {"digits sort before letters", "1HG", "[0-9A-Z]", 2020, "1HG0AAAA0LA111111"},
      {"hash stands for 1", "1HG", "#", 2020, "1HG1AAAA5LA111111"},
      {"wildcards keep the template", "1HG", "*_#A", 2020, "1HGAA1AA5LA111111"},
      {"a class is one position", "1HG", "[AB]C", 2020, "1HGACAAA2LA111111"},
      {"an empty class is no entry", "1HG", "[]", 2020, "1HGAAAAA5LA111111"},
      {"a reversed range is skipped within its class", "1HG", "[C-AD]", 2020, "1HGDAAAA9LA111111"},
      {"a trailing dash is a character", "1HG", "[A-]", 2020, "1HG-AAAA0LA111111"},
      {"a range takes its smallest VIN letter", "1HG", "[H-K]", 2020, "1HGHAAAA7LA111111"},
      {"a range from I takes J", "1HG", "[I-K]", 2020, "1HGJAAAA5LA111111"},
      {"a lone bracket is a character", "1HG", "[AB", 2020, "1HG[ABAA0LA111111"},
      {"a bracket after a class is a character", "1HG", "[A]B]", 2020, "1HGAB]AA0LA111111"},
      {"a class of I, O and Q is refused", "1HG", "[IOQ]", 2020, std::nullopt},
      {"I in the WMI is refused", "1IG", "", 2020, std::nullopt},
      {"Q in the key is refused", "1HG", "*****|*Q", 2020, std::nullopt},
      {"non-ASCII byte is refused", "1HG", "\xC3\x89", 2020, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(build_vin(c.wmi, c.key, c.year), c.vin) << c.what;
  }
}

TEST(BuildVin, YearCharacterFollowsTheThirtyYearCycle) {
  const std::vector<std::pair<int32_t, char>> cases = {
      {2010, 'A'}, {2020, 'L'}, {2030, 'Y'}, {2031, '1'},      {2039, '9'},
      {2040, 'A'}, {2009, '9'}, {1980, 'A'}, {INT32_MIN, '2'}, {INT32_MAX, 'H'},
  };
  for (auto [year, code] : cases) {
    std::optional<std::string> vin = build_vin("1HG", "", year);
    ASSERT_TRUE(vin) << year;
    EXPECT_EQ((*vin)[9], code) << year;
  }
}

TEST(SchemaYear, TakesTheLatestYearInRangeElseTheNearestEnd) {
  struct Case {
    int32_t from, to, year;
  };
  const std::vector<Case> cases = {
      {2015, 2020, 2020},
      {2015, 9999, 2028},
      {1995, 2003, 2003},
      {2030, 9999, 2030},
      {2005, 2012, 2012},
      {2026, 9999, 2028},
      {1980, 2009, 2009},
      {2000, 2050, 2028},
      {2029, 2029, 2029},
      // The range may end exactly at 2010 or start exactly at max_year.
      {2005, 2010, 2010},
      {2010, 2010, 2010},
      {2028, 9999, 2028},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(schema_year(c.from, c.to, MAX_YEAR), c.year) << c.from << "-" << c.to;
  }
  EXPECT_EQ(schema_year(2000, 9999, 2045), 2039);
}

TEST(SchemaToWmi, OneEntryPerSchemaFromItsSmallestWmiIdThenItsEarliestLink) {
  artifact::Contents c;
  c.wmis = {{.id = 2, .code = "2HG"}, {.id = 1, .code = "1HG"}};
  // Schema 100 is linked three times from WMI 1 and once from WMI 2; the link
  // of WMI 5, which has no row, counts for nothing.
  c.wmi_vin_schemas = {{1, 1, 100, 2015, 2020}, {2, 1, 100, 2012},      {3, 1, 100, 2012, 2013},
                       {4, 2, 100, 2000, 2001}, {5, 2, 101, 2016},      {6, 5, 98, 2001, 2002},
                       {7, 1, 102, 2003, 2005}, {8, 2, 102, 2003, 2004}};
  ArtifactDb a(c);
  std::vector<std::tuple<int32_t, int32_t, int32_t, int32_t>> entries;
  for (const SchemaEntry& e : schema_to_wmi(a.db()))
    entries.push_back({e.vin_schema_id, e.wmi_id, e.year_from, e.year_to});
  EXPECT_EQ(entries, (std::vector<std::tuple<int32_t, int32_t, int32_t, int32_t>>{
                         {100, 1, 2012, 2013}, {101, 2, 2016, 9999}, {102, 1, 2003, 2005}}));
}

// ---- The shared corpus artifact ------------------------------------------------------

// Four WMIs (one six characters, one without schema links), schemas with a
// repeated key, engine and model attributes, a vehicle-spec schema,
// exceptions with a repeat, defaults and a stored cover list.
artifact::Contents corpus_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 10, .code = "1HG", .vehicle_type_id = 2},
            {.id = 11, .code = "5YJ", .vehicle_type_id = 7},
            {.id = 12, .code = "109013", .vehicle_type_id = 3, .truck_type_id = 2},
            {.id = 9, .code = "2T1", .vehicle_type_id = 2}};
  c.wmi_vin_schemas = {{1, 10, 100, 2015, 2020},
                       {2, 10, 101, 2018},
                       {3, 12, 102, 2005, 2012},
                       {4, 9, 101, 2016, 2019}};
  c.patterns = {{1, 100, "*****|*S", 5, "x"}, {2, 100, "*****|*S", 6, "y"},
                {3, 100, "AB", 18, " C15"},   {4, 101, "*****|*S", 28, "1234"},
                {5, 101, "CD", 18, "c15"},    {6, 102, "[A-C]", 5, "z"},
                {7, 103, "ZZ", 5, "z"}};
  c.wmi_makes = {{10, 474}, {9, 448}};
  c.lookups = {{9, 474, "Honda"}, {9, 448, "Toyota"}, {10, 1, "Tesla"}};
  c.engine_models = {{1, " C15 "}, {2, "X99"}};
  c.vehicle_spec_schemas = {{50, 448, 2}, {51, 448, 2}};
  c.vehicle_spec_schema_models = {{50, 1234}};
  c.vehicle_spec_schema_years = {{50, 2014}, {50, 2017}, {50, 2018}};
  c.vin_exceptions = {{"5YJSA1E26HF000001"}, {"1HGCM82633A004352"}, {"1HGCM82633A004352"}};
  c.default_values = {{1, 5, 7, "a"}, {2, 5, 2, "b"}, {3, 6, 2, "c"}, {4, 5, 13, "d"}};
  c.cover_vin_list = {"1HGAAAAA5LA111111", "101AAAAA1LA", "101"};
  return c;
}

const ArtifactDb& corpus_db() {
  static const ArtifactDb* db = new ArtifactDb(corpus_contents());
  return *db;
}

TEST(Generate, SeedAndFiltersFixTheVins) {
  const Db& db = corpus_db().db();
  struct Case {
    const char* what;
    uint64_t n;
    uint64_t seed;
    Filter filter;
    Vins vins;
  };
  // Exact lists: a seed and filters always give the same VINs, another seed others.
  const std::vector<Case> cases = {
      // seed 0 draws 5YJ first: no schema links, one output used.
      {"seed 0",
       4,
       0,
       {},
       {"109AAAAA8CA013111", "2T1AAAAA7KS111111", "2T1AAAAA7KS111111", "1HGCDAAAXWA111111"}},
      {"seed 7", 3, 7, {}, {"109AAAAA8CA013111", "2T1AAAAA7KS111111", "2T1CDAAAXKA111111"}},
      {"year given",
       4,
       0,
       {.year = 2017},
       {"2T1AAAAA6HS111111", "2T1AAAAA6HS111111", "1HGAAAAA3HS111111", "2T1AAAAA6HS111111"}},
      {"n = 0", 0, 0, {}, {}},
      {"unknown wmi", 3, 0, {.wmi = "1HX"}, {}},
      {"make without a name", 3, 0, {.wmi = "1HG", .make = "Hondaa"}, {}},
      {"make of another table", 3, 0, {.make = "Tesla"}, {}},
      {"vehicle type without WMIs", 3, 0, {.vehicle_type = 5}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(generate(db, c.n, c.seed, c.filter, MAX_YEAR), c.vins) << c.what;
  }
}

TEST(Generate, MatchesWmiAndMakeIgnoringAsciiCase) {
  const Db& db = corpus_db().db();
  for (const Filter& f : {Filter{.wmi = "1hg"}, Filter{.make = "hONDA"},
                          Filter{.wmi = "1Hg", .make = "honda", .vehicle_type = 2}}) {
    Vins vins = generate(db, 20, 3, f, MAX_YEAR);
    ASSERT_EQ(vins.size(), 20u);
    for (const std::string& v : vins) EXPECT_EQ(v.substr(0, 3), "1HG") << v;
  }
  Vins vins = generate(db, 20, 3, Filter{.make = "TOYOTA"}, MAX_YEAR);
  ASSERT_EQ(vins.size(), 20u);
  for (const std::string& v : vins) EXPECT_EQ(v.substr(0, 3), "2T1") << v;
}

TEST(Generate, YearFilterPutsThatYearAtPosition10AndSkipsLinksThatMissIt) {
  const Db& db = corpus_db().db();
  // 2011 is covered only by 109013's link; the others only use up attempts.
  Vins vins = generate(db, 50, 1, Filter{.year = 2011}, MAX_YEAR);
  ASSERT_EQ(vins.size(), 50u);
  for (const std::string& v : vins) EXPECT_EQ(v, "109AAAAAXBA013111");
  // No link covers 1990.
  EXPECT_EQ(generate(db, 3, 1, Filter{.year = 1990}, MAX_YEAR), Vins{});
}

// K WMIs of which only the last in code order has a schema link: an attempt
// that misses uses one output of the stream, a hit three.
ArtifactDb one_linked_wmi_of(size_t k) {
  artifact::Contents c;
  for (size_t i = 0; i < k; ++i) {
    std::string code = {static_cast<char>('A' + i / 256 % 8), static_cast<char>('A' + i / 16 % 16),
                        static_cast<char>('A' + i % 16)};
    c.wmis.push_back({.id = static_cast<int32_t>(i + 1), .code = code});
  }
  c.wmi_vin_schemas = {{.id = 1,
                        .wmi_id = static_cast<int32_t>(k),
                        .vin_schema_id = 1,
                        .year_from = 2020,
                        .year_to = 2020}};
  c.patterns = {{.id = 1, .vin_schema_id = 1, .keys = "*****", .element_id = 5}};
  return ArtifactDb(c);
}

TEST(Generate, SpendsAtMostMax64nOr4096Attempts) {
  ArtifactDb wide = one_linked_wmi_of(4096);
  // Seed 269 first hits the linked WMI on attempt 4096 of 4096; seed 16823
  // on attempt 4097, one past the budget.
  EXPECT_EQ(generate(wide.db(), 1, 269, {}, MAX_YEAR).size(), 1u);
  EXPECT_EQ(generate(wide.db(), 1, 16823, {}, MAX_YEAR).size(), 0u);
  // n = 80: 5120 attempts (not the 4096 floor) reach 24 hits with seed 0.
  ArtifactDb narrow = one_linked_wmi_of(256);
  EXPECT_EQ(generate(narrow.db(), 80, 0, {}, MAX_YEAR).size(), 24u);
}

TEST(Generate, SchemaWithoutPatternsBuildsFromFiveWildcards) {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.wmi_vin_schemas = {
      {.id = 1, .wmi_id = 1, .vin_schema_id = 1, .year_from = 2015, .year_to = 2020}};
  ArtifactDb a(c);
  EXPECT_EQ(generate(a.db(), 2, 0, {}, MAX_YEAR), (Vins{"1HGAAAAA5LA111111", "1HGAAAAA5LA111111"}));
}

// ---- sweep and cover_vins -------------------------------------------------------------

TEST(Sweep, EachDimensionByItsExactNameYieldsOneVinPerRow) {
  const Db& db = corpus_db().db();
  const std::vector<std::pair<std::string, Vins>> cases = {
      // 5YJ has no schema link and takes the calendar year, 2026 = T.
      {"wmi", {"109AAAAA8CA013111", "1HGAAAAA5LA111111", "2T1AAAAAXKA111111", "5YJAAAAA1TA111111"}},
      // The repeated key of schema 100 sweeps once; schema 103 has no WMI.
      {"pattern",
       {"1HGAAAAA2LS111111", "1HGABAAA9LA111111", "2T1AAAAA7KS111111", "2T1CDAAAXKA111111",
        "109AAAAA8CA013111"}},
      // " C15 " finds "c15" at its first row (schema 100); X99 finds nothing.
      {"engine", {"1HGABAAA9LA111111"}},
      // Model 1234 leads to schema 101, 2016-2019: the first spec year inside is 2017.
      {"vspec", {"2T1AAAAA6HS111111"}},
      {"exception", {"1HGCM82633A004352", "1HGCM82633A004352", "5YJSA1E26HF000001"}},
      // Types 2, 7, 13 in stored order; 7's only WMI has no link, 13 has none.
      {"default", {"1HGAAAAA5LA111111"}},
  };
  for (const auto& [name, vins] : cases) {
    ASSERT_TRUE(dimension_of(name).has_value()) << name;
    EXPECT_EQ(sweep(db, {*dimension_of(name)}, CURRENT_YEAR), vins) << name;
  }
  for (const char* bad : {"WMI", "defaults", " wmi", "", "patterns"}) {
    EXPECT_EQ(dimension_of(bad), std::nullopt) << bad;
  }
}

TEST(Sweep, ConcatenatesDimensionsInRequestOrderWithRepeats) {
  const Db& db = corpus_db().db();
  Vins all;
  for (Dimension d : ALL_DIMENSIONS) {
    Vins part = sweep(db, {d}, CURRENT_YEAR);
    all.insert(all.end(), part.begin(), part.end());
  }
  EXPECT_EQ(sweep(db, {ALL_DIMENSIONS.begin(), ALL_DIMENSIONS.end()}, CURRENT_YEAR), all);
  Vins twice = sweep(db, {Dimension::exception, Dimension::exception}, CURRENT_YEAR);
  EXPECT_EQ(twice.size(), 6u);
  EXPECT_EQ(Vins(twice.begin() + 3, twice.end()), Vins(twice.begin(), twice.begin() + 3));
  EXPECT_EQ(sweep(db, {}, CURRENT_YEAR), Vins{});
}

TEST(CoverVins, ReturnsTheStoredTextsUnchanged) {
  EXPECT_EQ(cover_vins(corpus_db().db()), (Vins{"1HGAAAAA5LA111111", "101AAAAA1LA", "101"}));
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  ArtifactDb a(c);
  EXPECT_EQ(cover_vins(a.db()), Vins{});
}

}  // namespace
}  // namespace tamberok::generate
