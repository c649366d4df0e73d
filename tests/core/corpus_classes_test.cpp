// Descriptor position classes and the covering corpora built over them.
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"
#include "tamberok/generate.h"

namespace tamberok::generate {
namespace {

using testing::ArtifactDb;
using Vins = std::vector<std::string>;
using Classes = std::array<std::string, 12>;

constexpr int32_t CURRENT_YEAR = 2026;

TEST(KeyCharMatches, WalksTokensToTheKeyIndex) {
  struct Case {
    std::string key;
    size_t k;
    char ch;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"", 0, 'A', true},         {"*", 0, 'Z', true},       {"_", 0, '0', true},
      {"AB", 5, 'Z', true},       {"AB", 1, 'B', true},      {"AB", 1, 'A', false},
      {"#", 0, '1', false},       {"#", 0, '#', true},       {"**|*A", 2, '|', true},
      {"**|*A", 2, 'A', false},   {"**|*A", 4, 'A', true},   {"[A-C]", 0, 'B', true},
      {"[A-C]", 0, 'D', false},   {"[C-A]", 0, 'B', false},  {"[]", 0, 'A', false},
      {"[A-]", 0, '-', true},     {"[A-]", 0, 'A', true},    {"[A-]", 0, 'B', false},
      {"[0-9A-Z]", 0, 'Q', true}, {"[ABC", 0, 'A', false},   {"[ABC", 0, '[', true},
      {"[ABC", 1, 'A', true},     {"[A]B]", 1, 'B', true},   {"[A]B]", 2, ']', true},
      {"*[AB]C", 2, 'C', true},   {"*[AB]C", 1, 'C', false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(key_char_matches(c.key, c.k, c.ch), c.matches) << c.key << " @" << c.k << " " << c.ch;
  }
}

// A pattern row of the schema with these keys, under the next free id.
void add_key(artifact::Contents& c, int32_t schema, std::string keys) {
  int32_t id = static_cast<int32_t>(c.patterns.size()) + 1;
  c.patterns.push_back(
      {.id = id, .vin_schema_id = schema, .keys = std::move(keys), .element_id = 5});
}

// Schemas keyed by id: 1 without patterns, 2 with "[A-C]" and "D", 3 with
// "#" and "[ABC", 4 with a key repeated on three rows, 5 with a letter at a
// digits-only position, 6 with "[0-4]", 7 with a key for each character.
const std::string ALPHABET = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789";

artifact::Contents class_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  add_key(c, 2, "[A-C]");
  add_key(c, 2, "D");
  add_key(c, 3, "#");
  add_key(c, 3, "[ABC");
  add_key(c, 4, "[A-C]");
  add_key(c, 4, "[A-C]");
  add_key(c, 4, "[A-C]");
  add_key(c, 5, "*****|*****A");
  add_key(c, 6, "[0-4]");
  for (char ch : ALPHABET) add_key(c, 7, std::string(1, ch));
  return c;
}

// One class per position ("A" where letters are tried, "0" from the first
// digits-only position on), then the leading positions replaced.
Classes classes_of(size_t first_digits_only, std::vector<std::string> leading = {}) {
  Classes out;
  for (size_t p = 0; p < 12; ++p) out[p] = p < first_digits_only ? "A" : "0";
  for (size_t p = 0; p < leading.size(); ++p) out[p] = leading[p];
  return out;
}

TEST(PositionClasses, GroupsCharactersThatNoKeyTellsApart) {
  ArtifactDb a(class_contents());
  struct Case {
    const char* what;
    int32_t schema;
    char wmi3;
    bool car_like;
    Classes classes;
  };
  // Varied position 7 is VIN position 13, 8 is 14, 9-11 are 15-17.
  const std::vector<Case> cases = {
      {"no patterns", 1, 'G', false, classes_of(8)},
      {"no patterns, car-like: 13 digits only", 1, 'G', true, classes_of(7)},
      {"third WMI character 9: 13 and 14 try all", 1, '9', true, classes_of(9)},
      {"[A-C] and D", 2, 'G', false, classes_of(8, {"ADE"})},
      // "#" matches no VIN character; the lone "[" neither, then A, B, C.
      {"# and [ABC", 3, 'G', false, classes_of(8, {"A", "AB", "AB", "AC"})},
      {"repeated key", 4, 'G', false, classes_of(8, {"AD"})},
      {"letter at a digits-only position", 5, 'G', false, classes_of(8)},
      {"digit range", 6, 'G', false, classes_of(8, {"A0"})},
      {"keys singling out every character", 7, 'G', false, classes_of(8, {ALPHABET})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(position_classes(a.db(), c.schema, c.wmi3, c.car_like), c.classes) << c.what;
  }
}

// ---- covering rows ----------------------------------------------------------------

ClassCounts counts_of(std::initializer_list<uint32_t> leading) {
  ClassCounts counts;
  counts.fill(1);
  size_t p = 0;
  for (uint32_t c : leading) counts[p++] = c;
  return counts;
}

std::vector<std::array<uint32_t, 3>> first_three(const std::vector<CoveringRow>& rows) {
  std::vector<std::array<uint32_t, 3>> out;
  for (const CoveringRow& r : rows) out.push_back({r[0], r[1], r[2]});
  return out;
}

TEST(CoveringRows, GreedyRowsInOrderWithTiesToTheLargerClass) {
  using R = std::vector<std::array<uint32_t, 3>>;
  struct Case {
    const char* what;
    ClassCounts counts;
    R rows;
  };
  const std::vector<Case> cases = {
      {"one class everywhere: one row", counts_of({}), {{0, 0, 0}}},
      {"two classes at one position", counts_of({2}), {{0, 0, 0}, {1, 0, 0}}},
      // First row: all three classes of position 2 score 2; the largest wins.
      {"counts 2, 2, 3",
       counts_of({2, 2, 3}),
       {{0, 0, 2}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 1, 2}, {1, 0, 0}}},
  };
  for (const Case& c : cases) {
    std::vector<CoveringRow> rows = covering_rows(c.counts);
    EXPECT_EQ(first_three(rows), c.rows) << c.what;
    for (const CoveringRow& r : rows) {
      for (size_t p = 3; p < 12; ++p) EXPECT_EQ(r[p], 0u) << c.what;
    }
  }
}

TEST(CoveringRows, CoverEveryClassPairOnUnevenCounts) {
  // The widest lists at the two ends of the pair index: each row covers one
  // of their pairs; a row opened by another position's pair takes the tie at
  // the last position to its larger class.
  ClassCounts ends = counts_of({3});
  ends[11] = 2;
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const CoveringRow& r : covering_rows(ends)) got.push_back({r[0], r[11]});
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{
                     {0, 1}, {0, 0}, {1, 1}, {1, 0}, {2, 1}, {2, 0}}));
  std::mt19937 rng(7);
  for (int round = 0; round < 8; ++round) {
    ClassCounts counts;
    for (uint32_t& c : counts) c = 1 + rng() % 8;
    std::set<std::tuple<size_t, uint32_t, size_t, uint32_t>> seen;
    for (const CoveringRow& r : covering_rows(counts)) {
      for (size_t i = 0; i < 12; ++i) {
        for (size_t j = i + 1; j < 12; ++j) seen.insert({i, r[i], j, r[j]});
      }
    }
    size_t pairs = 0;
    for (size_t i = 0; i < 12; ++i) {
      for (size_t j = i + 1; j < 12; ++j) pairs += counts[i] * counts[j];
    }
    EXPECT_EQ(seen.size(), pairs) << "round " << round;
  }
}

// ---- pairwise and seeded over an artifact -------------------------------------------

// Schema 300: WMI 1IG (every VIN refused). 301: 1HG with "[A-C]" and "D".
// 302: six-character WMI 1A9288 with a class at position 14. 303: 5YJ
// (not car-like) with a class at position 13. 304: 1HG from 2030 on, without
// patterns. 305: 5YJ with "*" and a repeated "[A-C]"; 306: 5YJ with "[A-C]".
artifact::Contents covering_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1IG", .vehicle_type_id = 2},
            {.id = 2, .code = "1HG", .vehicle_type_id = 2},
            {.id = 3, .code = "1A9288", .vehicle_type_id = 1},
            {.id = 4, .code = "5YJ", .vehicle_type_id = 1}};
  for (int32_t w = 1; w <= 4; ++w) {
    c.wmi_vin_schemas.push_back(
        {.id = w, .wmi_id = w, .vin_schema_id = 299 + w, .year_from = 2015, .year_to = 2020});
  }
  add_key(c, 300, "[A-C]");
  add_key(c, 300, "D");
  add_key(c, 301, "[A-C]");
  add_key(c, 301, "D");
  add_key(c, 302, "*****|****[A-Z]");
  add_key(c, 303, "*****|***[A-Z]");
  c.wmi_vin_schemas.push_back({5, 2, 304, 2030});
  c.wmi_vin_schemas.push_back({6, 4, 305, 2015, 2020});
  c.wmi_vin_schemas.push_back({7, 4, 306, 2015, 2020});
  add_key(c, 305, "*");
  add_key(c, 305, "[A-C]");
  add_key(c, 305, "[A-C]");
  add_key(c, 306, "[A-C]");
  return c;
}

TEST(Pairwise, CoversClassPairsSchemaBySchema) {
  ArtifactDb a(covering_contents());
  const Vins expected = {// 301: one VIN per class of position 4.
                         "1HGAAAAA7LAA00000", "1HGDAAAA0LAA00000", "1HGEAAAA5LAA00000",
                         // 302: positions 12-14 stay the WMI's, so both rows give one text.
                         "1A9AAAAAXLA288000", "1A9AAAAAXLA288000",
                         // 303: the tie at position 13 takes class 1 ("0") first.
                         "5YJAAAAA3LAA00000", "5YJAAAAA9LAAA0000",
                         // 304: an open range after max_year (2028) takes its first year.
                         "1HGAAAAA8YAA00000",
                         // 305 and 306: position 4 splits into A-C and D.
                         "5YJAAAAA9LAAA0000", "5YJDAAAA2LAAA0000", "5YJAAAAA9LAAA0000",
                         "5YJDAAAA2LAAA0000"};
  EXPECT_EQ(pairwise(a.db(), 0, CURRENT_YEAR), expected);
}

TEST(Seeded, SeedsOneVinPerDistinctKeyThenCoversTheRest) {
  ArtifactDb a(covering_contents());
  const Vins expected = {"1HGAAAAA7LAA00000",
                         "1HGDAAAA0LAA00000",  // phase 1: each key pins position 4
                         "1HGEAAAA5LAA00000",  // phase 2
                         "1A9AAAAAXLA288000", "1A9AAAAAXLA288000",
                         // The key pins position 13 to "A" before the remaining pairs.
                         "5YJAAAAA9LAAA0000", "5YJAAAAA3LAA00000", "1HGAAAAA8YAA00000",
                         // 305: "*" pins nothing, so position 4 takes its last class, D; the
                         // repeated key (one StrId) seeds once and leaves no pair open.
                         "5YJDAAAA2LAAA0000", "5YJAAAAA9LAAA0000",
                         // 306: the seed, then phase 2.
                         "5YJAAAAA9LAAA0000", "5YJDAAAA2LAAA0000"};
  EXPECT_EQ(seeded(a.db(), 0, CURRENT_YEAR), expected);
}

TEST(CoveringCorpora, LimitIsTestedOnlyBeforeASchemaStarts) {
  ArtifactDb a(covering_contents());
  using Corpus = Vins (*)(const Db&, uint64_t, int32_t);
  for (Corpus corpus : {Corpus{&pairwise}, Corpus{&seeded}}) {
    // Schema 300 yields nothing, so limit 1 still takes all of 301.
    EXPECT_EQ(corpus(a.db(), 1, CURRENT_YEAR).size(), 3u);
    EXPECT_EQ(corpus(a.db(), 3, CURRENT_YEAR).size(), 3u);
    EXPECT_EQ(corpus(a.db(), 4, CURRENT_YEAR).size(), 5u);
    EXPECT_EQ(corpus(a.db(), 0, CURRENT_YEAR).size(), 12u);
  }
}

// Keys made of the bytes that steer the parsers (brackets, ranges, bars,
// wildcards, forbidden letters, bytes above 0x7F) and a six-character WMI:
// every corpus still yields only 17-character ASCII VINs without I, O or Q.
TEST(CoveringCorpora, ArbitraryKeyBytesNeverBreakTheCorpora) {
  const std::string bytes = "[]-|*_#AIOQZ09\x80\xff";
  std::mt19937 rng(11);
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1A9288", .vehicle_type_id = 2},
            {.id = 2, .code = "1HG", .vehicle_type_id = 3, .truck_type_id = 1}};
  c.wmi_vin_schemas = {
      {.id = 1, .wmi_id = 1, .vin_schema_id = 1, .year_from = 2015, .year_to = 2020},
      {.id = 2, .wmi_id = 2, .vin_schema_id = 2, .year_from = 1990}};
  for (int i = 0; i < 400; ++i) {
    std::string key;
    for (size_t n = rng() % 32; n > 0; --n) key.push_back(bytes[rng() % bytes.size()]);
    add_key(c, 1 + i % 2, key);
  }
  ArtifactDb a(c);
  const Db& db = a.db();
  std::vector<Vins> corpora = {
      pairwise(db, 0, CURRENT_YEAR), seeded(db, 0, CURRENT_YEAR),
      sweep(db, {ALL_DIMENSIONS.begin(), ALL_DIMENSIONS.end()}, CURRENT_YEAR),
      generate(db, 2000, 5, {}, CURRENT_YEAR + 2)};
  for (const Vins& vins : corpora) {
    EXPECT_FALSE(vins.empty());
    for (const std::string& v : vins) {
      EXPECT_EQ(v.size(), 17u) << v;
      for (char ch : v) {
        auto b = static_cast<unsigned char>(ch);
        EXPECT_TRUE(b < 0x80 && ch != 'I' && ch != 'O' && ch != 'Q') << v;
      }
    }
  }
}

}  // namespace
}  // namespace tamberok::generate
