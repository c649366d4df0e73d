// The order checker over artifacts whose rows were put out of order after
// writing (the writer itself always sorts).
#include "tamberok/artifact_check.h"

#include <cstring>
#include <functional>
#include <sstream>
#include <utility>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

// Two rows per table, in order, with different keys; the second row of each
// table sorts after the first only by its secondary key where there is one,
// so a swap also catches a checker that compares the first key alone.
artifact::Contents two_rows_each() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}, {.id = 2, .code = "1HGX"}};
  c.wmi_vin_schemas = {{.id = 1, .wmi_id = 5, .vin_schema_id = 9}, {.id = 2, .wmi_id = 5}};
  c.vin_schemas = {{.id = 1}, {.id = 2}};
  c.patterns = {{.id = 1, .vin_schema_id = 7, .keys = "A"},
                {.id = 2, .vin_schema_id = 7, .keys = "B"}};
  c.element_defs = {{.id = 1, .name = "a"}, {.id = 2, .name = "b"}};
  c.make_models = {{.make_id = 9, .model_id = 1}, {.make_id = 1, .model_id = 2}};
  c.wmi_makes = {{.wmi_id = 5, .make_id = 1}, {.wmi_id = 5, .make_id = 2}};
  c.engine_models = {{.id = 1, .name = "x"}, {.id = 2, .name = "y"}};
  c.engine_model_patterns = {{.id = 1, .engine_model_id = 3}, {.id = 2, .engine_model_id = 3}};
  c.default_values = {{.id = 1, .vehicle_type_id = 2}, {.id = 2, .vehicle_type_id = 2}};
  c.vin_exceptions = {{.vin = "1FTFW1E57JFB00001"}, {.vin = "1FTFW1E57JFB00002"}};
  c.conversions = {{.id = 1, .formula = "#x#"}, {.id = 2, .formula = "#x# * 2"}};
  c.lookups = {{.table = 9, .id = 1, .name = "A"}, {.table = 9, .id = 2, .name = "B"}};
  c.vehicle_spec_schemas = {{.id = 1, .make_id = 4}, {.id = 2, .make_id = 4}};
  c.vspec_schema_patterns = {{.id = 1, .schema_id = 6}, {.id = 2, .schema_id = 6}};
  c.vehicle_spec_patterns = {{.id = 1, .vspec_schema_pattern_id = 8},
                             {.id = 2, .vspec_schema_pattern_id = 8}};
  c.vehicle_spec_schema_models = {{.schema_id = 6, .model_id = 1}, {.schema_id = 6, .model_id = 2}};
  c.vehicle_spec_schema_years = {{.schema_id = 6, .year = 2001}, {.schema_id = 6, .year = 2002}};
  return c;
}

std::vector<std::string> check(const std::vector<uint8_t>& bytes) {
  ArtifactDb a(bytes);
  return check_artifact_orders(a.db());
}

TEST(ArtifactCheck, WrittenArtifactsAreInOrderAndTwoSwappedRowsAreFoundInEveryTable) {
  std::istringstream names(
      "wmis wmi_vin_schemas vin_schemas patterns element_defs make_models wmi_makes engine_models "
      "engine_model_patterns default_values vin_exceptions conversions lookups cover_vin_list "
      "vehicle_spec_schemas vspec_schema_patterns vehicle_spec_patterns "
      "vehicle_spec_schema_models vehicle_spec_schema_years");
  artifact::Contents c = two_rows_each();
  const std::vector<uint8_t> sorted = artifact::write(c);
  EXPECT_EQ(check(sorted), std::vector<std::string>{});
  for (size_t t = static_cast<size_t>(TableId::wmis); t < TABLE_COUNT; ++t) {
    std::string name;
    names >> name;
    if (name == "cover_vin_list") continue;  // kept in build order
    std::vector<uint8_t> bytes = sorted;
    uint8_t* row0 = bytes.data() + testing::first_row_at(bytes, TableId(t));
    std::swap_ranges(row0, row0 + testing::ROW_SIZES[t], row0 + testing::ROW_SIZES[t]);
    EXPECT_EQ(check(bytes), std::vector<std::string>{name + ": row 1 does not sort after row 0"});
  }
}

TEST(ArtifactCheck, RepeatedKeysBreakUniqueTablesButNotVinExceptions) {
  struct Case {
    const char* what;
    std::function<void(artifact::Contents&)> change;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"repeated WMI code",
       [](artifact::Contents& c) { c.wmis[1].code = "1HG"; },
       {"wmis: row 1 does not sort after row 0"}},
      {"repeated pattern id in one schema",
       [](artifact::Contents& c) { c.patterns[1].id = 1; },
       {"patterns: row 1 does not sort after row 0"}},
      {"repeated lookup id",
       [](artifact::Contents& c) { c.lookups[1].id = 1; },
       {"lookups: row 1 does not sort after row 0"}},
      {"repeated wmi-make pair",
       [](artifact::Contents& c) { c.wmi_makes[1].make_id = 1; },
       {"wmi_makes: row 1 does not sort after row 0"}},
      {"repeated VIN exception",
       [](artifact::Contents& c) { c.vin_exceptions[1].vin = c.vin_exceptions[0].vin; },
       {}},
      {"repeated spec schema year",
       [](artifact::Contents& c) { c.vehicle_spec_schema_years[1].year = 2001; },
       {}},
  };
  for (const Case& test : cases) {
    artifact::Contents c = two_rows_each();
    test.change(c);
    EXPECT_EQ(check(artifact::write(c)), test.problems) << test.what;
  }
}

TEST(ArtifactCheck, StringOffsetsThatGoBackAreReportedWithoutReadingTexts) {
  artifact::Contents c = two_rows_each();
  std::vector<uint8_t> bytes = artifact::write(c);
  size_t offsets = testing::first_row_at(bytes, TableId::string_offsets);
  uint32_t far = 0xFFFFu;
  std::memcpy(bytes.data() + offsets + 4, &far, 4);  // text 0 now ends past text 1
  EXPECT_EQ(check(bytes), std::vector<std::string>{"string_offsets: offset 2 goes back"});
}

}  // namespace
}  // namespace tamberok
