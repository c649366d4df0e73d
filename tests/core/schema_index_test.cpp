// The process-wide compiled schemas: the rows a VIN key matches through them
// are the rows the pattern matcher accepts, and each row is filed where the
// candidate search looks for it.
#include "tamberok/schema_index.h"

#include <algorithm>
#include <string>
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
}

TEST(SchemaIndex, RowsAreFiledByElementAndFormulaKeysInStoredOrder) {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.vin_schemas = {{.id = 1}, {.id = 2, .skip = true}};
  c.wmi_vin_schemas = {{.id = 1, .wmi_id = 1, .vin_schema_id = 1},
                       {.id = 2, .wmi_id = 1, .vin_schema_id = 2},
                       {.id = 3, .wmi_id = 1, .vin_schema_id = 3}};  // no schema row
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
  };
  ArtifactDb adb(c);
  const Db& db = adb.db();
  const SchemaIndex& index = schema_index(db);
  EXPECT_EQ(&index, &schema_index(db)) << "built once per Db";

  auto ids_of = [&](const std::vector<uint32_t>& rows) {
    std::vector<int32_t> ids;
    for (uint32_t row : rows) ids.push_back(db.patterns()[row].id);
    return ids;
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
  };
  for (const Case& c : cases) {
    const CompiledSchema& schema = index.schema(c.schema);
    EXPECT_EQ(schema.decodes, c.decodes) << c.schema;
    EXPECT_EQ(matched_ids(schema, "A1234"), c.matched_by_a) << c.schema;
    EXPECT_EQ(ids_of(schema.formulas), c.formulas) << c.schema;
  }
  EXPECT_EQ(index.links(1), (std::pair<size_t, size_t>{0, 3}));
  EXPECT_EQ(index.links(2), (std::pair<size_t, size_t>{3, 3}));
}

}  // namespace
}  // namespace tamberok
