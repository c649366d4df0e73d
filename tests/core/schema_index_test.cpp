// The process-wide compiled schemas: the rows a VIN key matches through them
// are the rows the pattern matcher accepts, and each row is filed where the
// candidate search looks for it.
#include "tamberok/schema_index.h"

#include <algorithm>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

// Row ids of the schema's decoding rows that the VIN key matches.
std::vector<int32_t> matched_ids(const CompiledSchema& schema, std::string_view key) {
  PaddedKey padded(key);
  std::vector<int32_t> ids;
  for (const KeyMatcher& m : schema.keys) {
    if (!schema.matches(m, padded)) continue;
    for (uint32_t r = m.rows_begin; r < m.rows_end; ++r) ids.push_back(schema.matchable[r].id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(SchemaIndex, CompiledKeysMatchVinKeysExactlyAsThePatternMatcher) {
  const std::vector<std::string> keys = {
      "*****|*S",
      "_B",
      "",
      "**C[AB]",
      "[^A]",
      "ABCDEFGHJKLMNPRSTU",
      "*[B]C",
      "[0-9]B",
      "A*C",
      "**C[AB]",
      "b",
      "[A-C]*|",
      "[A]BCDEFGHJKLMNPRSTU",  // more tokens than the fast path holds
  };
  const std::vector<std::string> vin_keys = {
      "",
      "A",
      "AB",
      "ABCDE|XS123456",
      "ABCDE|XT123456",
      "12CA",
      "12CB",
      "12C",
      "\nBC",
      "xBC",
      "5B",
      "ABC",
      "ABCDEFGHJKLMNPRSTU",
      "B",
      "C*|Z",
      "AB\nDE|XS",
  };
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.vin_schemas = {{.id = 1}};
  c.wmi_vin_schemas = {{.id = 1, .wmi_id = 1, .vin_schema_id = 1}};
  c.element_defs = {{.id = 5, .name = "Body Class", .decode = "Lookup"}};
  for (size_t i = 0; i < keys.size(); ++i) {
    c.patterns.push_back(
        {.id = static_cast<int32_t>(i + 1), .vin_schema_id = 1, .keys = keys[i], .element_id = 5});
  }
  ArtifactDb adb(c);
  const Db& db = adb.db();
  const CompiledSchema& schema = schema_index(db).schema(1);
  EXPECT_TRUE(schema.decodes);
  for (const std::string& key : vin_keys) {
    std::vector<int32_t> expected;
    for (size_t i = 0; i < db.patterns().size(); ++i) {
      PatternRow row = db.patterns()[i];
      if (matcher::match(db, row, key)) expected.push_back(row.id);
    }
    EXPECT_EQ(matched_ids(schema, key), expected) << "VIN key " << key;
  }
  // Shared by every thread, so it holds no regular-expression object, which
  // another thread could hold locked when the process forks: "[^A]" goes
  // through each thread's own compiled copy.
  size_t regex_keys = 0;
  for (const KeyMatcher& k : schema.keys) regex_keys += k.regex ? 1 : 0;
  EXPECT_EQ(regex_keys, 1u);
  for (const auto& compiled : schema.compiled) EXPECT_EQ(compiled->regex, nullptr);
}

TEST(SchemaIndex, RowsAreFiledByElementAndFormulaKeysInStoredOrder) {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.vin_schemas = {{.id = 1}, {.id = 2, .skip = true}, {.id = 5}};
  // Links may name schemas the table lacks, between its ids and after them.
  c.wmi_vin_schemas = {{.id = 1, .wmi_id = 1, .vin_schema_id = 1},
                       {.id = 2, .wmi_id = 1, .vin_schema_id = 2},
                       {.id = 3, .wmi_id = 1, .vin_schema_id = 3},  // no schema row
                       {.id = 4, .wmi_id = 1, .vin_schema_id = 5},
                       {.id = 5, .wmi_id = 1, .vin_schema_id = 7}};  // no schema row
  c.element_defs = {{.id = 5, .name = "Body Class", .decode = "Lookup"},
                    {.id = 9, .name = "Hidden", .decode = "Lookup", .included = false},
                    {.id = 12, .name = "Excluded", .excluded = true, .decode = "Lookup"},
                    {.id = 26, .name = "Make", .decode = "Lookup"},
                    {.id = 300, .name = "Serial", .decode = "Lookup"}};
  c.patterns = {
      {.id = 10, .vin_schema_id = 1, .keys = "A", .element_id = 5},
      {.id = 11, .vin_schema_id = 1, .keys = "A", .element_id = 300},
      {.id = 12, .vin_schema_id = 1, .keys = "A", .element_id = 9},   // not included
      {.id = 13, .vin_schema_id = 1, .keys = "A", .element_id = 12},  // excluded
      {.id = 14, .vin_schema_id = 1, .keys = "A", .element_id = 26},  // from the WMI
      {.id = 15, .vin_schema_id = 1, .keys = "A", .element_id = -1},  // negative
      {.id = 16, .vin_schema_id = 1, .keys = "*####", .element_id = 300},
      {.id = 17, .vin_schema_id = 1, .keys = "B#", .element_id = 77},  // unknown element
      {.id = 18, .vin_schema_id = 1, .keys = "*#", .element_id = 9},
      {.id = 20, .vin_schema_id = 2, .keys = "A", .element_id = 5},
      {.id = 30, .vin_schema_id = 3, .keys = "A", .element_id = 5},
      {.id = 31, .vin_schema_id = 3, .keys = "#", .element_id = 5},
      {.id = 50, .vin_schema_id = 5, .keys = "A", .element_id = 300},
      {.id = 51, .vin_schema_id = 5, .keys = "A####", .element_id = 5},
      {.id = 70, .vin_schema_id = 7, .keys = "*", .element_id = 5},
  };
  struct Case {
    int32_t schema;
    bool decodes;
    std::vector<int32_t> matched_by_a;  // VIN key "A1234"
    std::vector<int32_t> formulas;
  };
  const std::vector<Case> cases = {
      {1, true, {10, 11}, {16, 18}},
      {2, false, {20}, {}},
      {3, false, {30}, {31}},
      {5, true, {50}, {51}},
      {7, false, {70}, {}},
  };
  // Each order of first use on a fresh index: a schema the table lacks must
  // not take the cell of the next one, nor the next one its cell.
  for (bool backwards : {false, true}) {
    ArtifactDb adb(c);
    const Db& db = adb.db();
    const SchemaIndex& index = schema_index(db);
    EXPECT_EQ(&index, &schema_index(db)) << "built once per Db";

    auto ids_of = [&](const std::vector<uint32_t>& rows) {
      std::vector<int32_t> ids;
      for (uint32_t row : rows) ids.push_back(db.patterns()[row].id);
      return ids;
    };
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& k = cases[backwards ? cases.size() - 1 - i : i];
      const CompiledSchema& schema = index.schema(k.schema);
      EXPECT_EQ(schema.decodes, k.decodes) << k.schema << (backwards ? " backwards" : "");
      EXPECT_EQ(matched_ids(schema, "A1234"), k.matched_by_a)
          << k.schema << (backwards ? " backwards" : "");
      EXPECT_EQ(ids_of(schema.formulas), k.formulas) << k.schema << (backwards ? " backwards" : "");
    }
    EXPECT_EQ(index.links(1), (std::pair<size_t, size_t>{0, 5}));
    EXPECT_EQ(index.links(2), (std::pair<size_t, size_t>{5, 5}));
  }
}

// A visit as (link id, schema id, priority, first visit), for readable tables.
using Visit = std::tuple<int32_t, int32_t, int32_t, bool>;

std::vector<Visit> visits_of(const Db& db, const SchemaIndex& index, int32_t wmi_id, bool has_year,
                             int32_t year) {
  std::vector<Visit> out;
  for (const LinkVisit& v : index.visits(wmi_id, has_year, year)) {
    WmiVinSchemaRow link = db.wmi_vin_schemas()[v.link];
    EXPECT_EQ(&index.compiled(*v.schema), &index.schema(link.vin_schema_id));
    out.emplace_back(link.id, link.vin_schema_id, v.priority, v.first_visit);
  }
  return out;
}

TEST(SchemaIndex, WalkOfAYearIsTheCoveringLinksInTableOrderWithTheFirstLinksPriority) {
  constexpr int32_t MAX = std::numeric_limits<int32_t>::max();
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}, {.id = 2, .code = "2HG"}, {.id = 3, .code = "3HG"}};
  c.vin_schemas = {{.id = 1}, {.id = 2}, {.id = 3}, {.id = 4}, {.id = 5}};
  c.wmi_vin_schemas = {
      {.id = 1, .wmi_id = 1, .vin_schema_id = 1, .year_from = 2005, .year_to = 2010},
      {.id = 2, .wmi_id = 1, .vin_schema_id = 2, .year_from = 2008},  // open: up to 2999
      {.id = 3, .wmi_id = 1, .vin_schema_id = 1, .year_from = 2001, .year_to = 2012},
      {.id = 4, .wmi_id = 1, .vin_schema_id = 3, .year_from = 2010, .year_to = 2009},  // never
      {.id = 5, .wmi_id = 1, .vin_schema_id = 4, .year_from = 3000, .year_to = MAX},
      {.id = 6, .wmi_id = 1, .vin_schema_id = 2, .year_from = 1990, .year_to = 2008},
      {.id = 7, .wmi_id = 2, .vin_schema_id = 5, .year_from = -5, .year_to = -5},
  };
  ArtifactDb adb(c);
  const Db& db = adb.db();
  const SchemaIndex& index = schema_index(db);

  const struct {
    int32_t wmi_id;
    bool has_year;
    int32_t year;
    std::vector<Visit> expected;
  } cases[] = {
      {1,
       false,
       0,
       {{1, 1, 2005, true},
        {2, 2, 2008, true},
        {3, 1, 2005, false},
        {4, 3, 2010, true},
        {5, 4, 3000, true},
        {6, 2, 2008, false}}},
      {1, true, std::numeric_limits<int32_t>::min(), {}},
      {1, true, 1989, {}},
      {1, true, 1990, {{6, 2, 1990, true}}},
      {1, true, 2001, {{3, 1, 2001, true}, {6, 2, 1990, true}}},
      {1, true, 2005, {{1, 1, 2005, true}, {3, 1, 2005, false}, {6, 2, 1990, true}}},
      {1,
       true,
       2008,
       {{1, 1, 2005, true}, {2, 2, 2008, true}, {3, 1, 2005, false}, {6, 2, 2008, false}}},
      {1, true, 2009, {{1, 1, 2005, true}, {2, 2, 2008, true}, {3, 1, 2005, false}}},
      {1, true, 2010, {{1, 1, 2005, true}, {2, 2, 2008, true}, {3, 1, 2005, false}}},
      {1, true, 2011, {{2, 2, 2008, true}, {3, 1, 2001, true}}},
      {1, true, 2013, {{2, 2, 2008, true}}},
      {1, true, 2999, {{2, 2, 2008, true}}},
      {1, true, 3000, {{5, 4, 3000, true}}},
      {1, true, MAX, {{5, 4, 3000, true}}},
      {2, true, -6, {}},
      {2, true, -5, {{7, 5, -5, true}}},
      {2, true, -4, {}},
      {3, true, 2010, {}},
      {3, false, 0, {}},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(visits_of(db, index, k.wmi_id, k.has_year, k.year), k.expected)
        << k.wmi_id << " " << k.has_year << " " << k.year;
  }
  // Every year between and around the bounds agrees with a walk over the
  // links themselves.
  for (int32_t year = 1985; year <= 3005; ++year) {
    std::vector<Visit> walked;
    for (size_t i = 0; i < db.wmi_vin_schemas().size(); ++i) {
      WmiVinSchemaRow link = db.wmi_vin_schemas()[i];
      if (link.wmi_id != 1 || !link_covers(link, true, year)) continue;
      auto seen = std::find_if(walked.begin(), walked.end(), [&](const Visit& v) {
        return std::get<1>(v) == link.vin_schema_id;
      });
      int32_t priority = seen == walked.end() ? link.year_from : std::get<2>(*seen);
      walked.emplace_back(link.id, link.vin_schema_id, priority, seen == walked.end());
    }
    EXPECT_EQ(visits_of(db, index, 1, true, year), walked) << year;
  }
}

}  // namespace
}  // namespace tamberok
