// The vehicle-spec stage of a pass: schema filters, the key test of schema
// patterns, blocked elements and one winner per element.
#include "tamberok/vehicle_spec.h"

#include <string>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

constexpr int32_t HONDA = 474;
constexpr int32_t ACCORD = 1861;

DecodingItem item(int32_t element_id, std::string attribute) {
  DecodingItem it;
  it.attribute_id = std::move(attribute);
  it.value = "XXX";
  it.source = "Pattern";
  it.element_id = element_id;
  return it;
}

// A passenger-car Accord whose pattern 70 is keyed on body class 13 and
// trim "lx" and offers ABS (86) and a note (114).
std::vector<DecodingItem> accord_items() {
  return {item(39, "2"), item(28, std::to_string(ACCORD)), item(5, "13"), item(38, "LX")};
}

artifact::Contents accord_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 10, .code = "1HG", .manufacturer_id = 988, .vehicle_type_id = 2}};
  c.wmi_makes = {{.wmi_id = 10, .make_id = HONDA}};
  c.vehicle_spec_schemas = {{.id = 7, .make_id = HONDA, .vehicle_type_id = 2}};
  c.vehicle_spec_schema_models = {{.schema_id = 7, .model_id = ACCORD}};
  c.vspec_schema_patterns = {{.id = 70, .schema_id = 7}};
  c.vehicle_spec_patterns = {
      {.id = 700,
       .vspec_schema_pattern_id = 70,
       .is_key = true,
       .element_id = 5,
       .attribute_id = "13"},
      {.id = 701,
       .vspec_schema_pattern_id = 70,
       .is_key = true,
       .element_id = 38,
       .attribute_id = "lx"},
      {.id = 702,
       .vspec_schema_pattern_id = 70,
       .element_id = 86,
       .attribute_id = "1",
       .created_on = 500},
      {.id = 703, .vspec_schema_pattern_id = 70, .element_id = 114, .attribute_id = "Spec note"},
  };
  return c;
}

// "element=attribute@pattern/schema" of each appended item.
std::vector<std::string> specs_added(const artifact::Contents& contents,
                                     std::vector<DecodingItem> items, bool has_year = false,
                                     int32_t year = 0, std::string_view wmi = "1HG") {
  ArtifactDb a(contents);
  size_t before = items.size();
  append_vehicle_specs(items, a.db(), wmi, has_year, year);
  std::vector<std::string> out;
  for (size_t i = before; i < items.size(); ++i) {
    out.push_back(std::to_string(items[i].element_id) + "=" + items[i].attribute_id + "@" +
                  std::to_string(items[i].pattern_id) + "/" +
                  std::to_string(items[i].vin_schema_id));
  }
  return out;
}

const std::vector<std::string> ACCORD_SPECS = {"86=1@70/7", "114=Spec note@70/7"};
const std::vector<std::string> NOTHING = {};

TEST(VehicleSpecs, AppendedItemCarriesThePatternAndSchema) {
  ArtifactDb a(accord_contents());
  std::vector<DecodingItem> items = accord_items();
  append_vehicle_specs(items, a.db(), "1HG", false, 0);
  ASSERT_EQ(items.size(), 6u);
  const DecodingItem& it = items[4];
  EXPECT_EQ(it.keys, "");
  EXPECT_EQ(it.attribute_id, "1");
  EXPECT_EQ(it.value, "XXX");
  EXPECT_EQ(it.source, "Vehicle Specs");
  EXPECT_EQ(it.created_on, 500);
  EXPECT_EQ(it.pattern_id, 70);
  EXPECT_EQ(it.vin_schema_id, 7);
  EXPECT_EQ(it.wmi_id, NONE_I32);
  EXPECT_EQ(it.element_id, 86);
  EXPECT_EQ(it.priority, -100);
  EXPECT_FALSE(it.to_be_qced);
  EXPECT_EQ(items[5].created_on, NONE_I64);
}

TEST(VehicleSpecs, VehicleTypeAndModelAreReadFromTheirFirstItemsAsIntegerText) {
  struct Case {
    const char* name;
    std::vector<DecodingItem> items;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"plain", accord_items(), ACCORD_SPECS},
      {"+2 reads as 2",
       {item(39, "+2"), item(28, "+1861"), item(5, "13"), item(38, "LX")},
       ACCORD_SPECS},
      {"2a does not read",
       {item(39, "2a"), item(28, "1861"), item(5, "13"), item(38, "LX")},
       NOTHING},
      {"leading blank does not read",
       {item(39, " 2"), item(28, "1861"), item(5, "13"), item(38, "LX")},
       NOTHING},
      {"no vehicle type", {item(28, "1861"), item(5, "13"), item(38, "LX")}, NOTHING},
      {"no model", {item(39, "2"), item(5, "13"), item(38, "LX")}, NOTHING},
      {"first vehicle type unreadable",
       {item(39, "x"), item(39, "2"), item(28, "1861"), item(5, "13"), item(38, "LX")},
       NOTHING},
      {"other vehicle type",
       {item(39, "3"), item(28, "1861"), item(5, "13"), item(38, "LX")},
       NOTHING},
      {"other model", {item(39, "2"), item(28, "1862"), item(5, "13"), item(38, "LX")}, NOTHING},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(specs_added(accord_contents(), c.items), c.expected) << c.name;
  }
}

TEST(VehicleSpecs, SchemaFiltersOnMakeOfTheWmiSkipFlagAndModelRows) {
  artifact::Contents skipped = accord_contents();
  skipped.vehicle_spec_schemas[0].skip = true;
  artifact::Contents no_models = accord_contents();
  no_models.vehicle_spec_schema_models.clear();
  artifact::Contents other_make = accord_contents();
  other_make.wmi_makes = {{.wmi_id = 10, .make_id = 441}};
  EXPECT_EQ(specs_added(skipped, accord_items()), NOTHING);
  EXPECT_EQ(specs_added(no_models, accord_items()), NOTHING);
  EXPECT_EQ(specs_added(other_make, accord_items()), NOTHING);
  EXPECT_EQ(specs_added(accord_contents(), accord_items(), false, 0, "2HG"), NOTHING);
}

TEST(VehicleSpecs, SchemaWithYearRowsAppliesOnlyToThoseModelYears) {
  artifact::Contents with_years = accord_contents();
  with_years.vehicle_spec_schema_years = {{.schema_id = 7, .year = 2015},
                                          {.schema_id = 7, .year = 2016}};
  EXPECT_EQ(specs_added(with_years, accord_items(), true, 2016), ACCORD_SPECS);
  EXPECT_EQ(specs_added(with_years, accord_items(), true, 2015), ACCORD_SPECS);
  EXPECT_EQ(specs_added(with_years, accord_items(), true, 2017), NOTHING);
  EXPECT_EQ(specs_added(with_years, accord_items(), false, 2016), NOTHING);
  EXPECT_EQ(specs_added(accord_contents(), accord_items(), true, 2017), ACCORD_SPECS);
  EXPECT_EQ(specs_added(accord_contents(), accord_items(), false, 0), ACCORD_SPECS);
}

TEST(VehicleSpecs, KeyRowsMustEachMatchTheirOwnItems) {
  artifact::Contents same_key_twice = accord_contents();
  same_key_twice.vehicle_spec_patterns[1].element_id = 5;
  same_key_twice.vehicle_spec_patterns[1].attribute_id = "13";
  struct Case {
    const char* name;
    const artifact::Contents contents;
    std::vector<DecodingItem> items;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"trim key lx matches attribute LX", accord_contents(), accord_items(), ACCORD_SPECS},
      {"key row without a matching item",
       accord_contents(),
       {item(39, "2"), item(28, "1861"), item(5, "13")},
       NOTHING},
      {"key text matched against attribute, not value", accord_contents(),
       [] {
         std::vector<DecodingItem> items = accord_items();
         items[3].attribute_id = "77";
         items[3].value = "LX";
         return items;
       }(),
       NOTHING},
      {"key row of another element does not count",
       accord_contents(),
       {item(39, "2"), item(28, "1861"), item(5, "13"), item(39, "LX")},
       NOTHING},
      {"one key row matching two items passes",
       accord_contents(),
       {item(39, "2"), item(28, "1861"), item(5, "13"), item(5, "13"), item(38, "lX")},
       ACCORD_SPECS},
      {"two key rows matching the same item fail",
       same_key_twice,
       {item(39, "2"), item(28, "1861"), item(5, "13")},
       NOTHING},
      {"two key rows matching the same two items fail",
       same_key_twice,
       {item(39, "2"), item(28, "1861"), item(5, "13"), item(5, "13")},
       NOTHING},
  };
  for (const Case& c : cases) EXPECT_EQ(specs_added(c.contents, c.items), c.expected) << c.name;
}

TEST(VehicleSpecs, PatternWithoutKeyRowsOffersNothing) {
  artifact::Contents c = accord_contents();
  c.vspec_schema_patterns.push_back({.id = 71, .schema_id = 7});
  c.vehicle_spec_patterns.push_back(
      {.id = 710, .vspec_schema_pattern_id = 71, .element_id = 90, .attribute_id = "3"});
  EXPECT_EQ(specs_added(c, accord_items()), ACCORD_SPECS);
}

TEST(VehicleSpecs, ElementsThePassHasAreBlockedExceptFreeText) {
  std::vector<DecodingItem> with_abs = accord_items();
  with_abs.push_back(item(86, "2"));
  EXPECT_EQ(specs_added(accord_contents(), with_abs),
            std::vector<std::string>{"114=Spec note@70/7"});

  std::vector<DecodingItem> with_note = accord_items();
  with_note.push_back(item(114, "Pattern note"));
  EXPECT_EQ(specs_added(accord_contents(), with_note), ACCORD_SPECS);

  // Key and vehicle-type elements are items of the pass, so they block too.
  artifact::Contents offers_key = accord_contents();
  offers_key.vehicle_spec_patterns.push_back(
      {.id = 704, .vspec_schema_pattern_id = 70, .element_id = 38, .attribute_id = "EX"});
  offers_key.vehicle_spec_patterns.push_back(
      {.id = 705, .vspec_schema_pattern_id = 70, .element_id = 1, .attribute_id = "Li-ion"});
  std::vector<DecodingItem> with_battery_info = accord_items();
  with_battery_info.push_back(item(1, "NiMH"));
  EXPECT_EQ(specs_added(offers_key, with_battery_info),
            (std::vector<std::string>{"86=1@70/7", "114=Spec note@70/7", "1=Li-ion@70/7"}));
  EXPECT_TRUE(is_free_text_element(1));
  EXPECT_TRUE(is_free_text_element(186));
  EXPECT_FALSE(is_free_text_element(86));
}

TEST(VehicleSpecs, OneWinnerPerElementByTimeThenPatternThenSchema) {
  // A second schema (8) of the same make and pattern 80 with the same keys,
  // both offering ABS; pattern ids put 80 above 70, schema ids 8 above 7.
  struct Case {
    const char* name;
    int64_t created_70;
    int64_t created_80;
    int32_t pattern_80;
    int32_t schema_80;
    std::string expected;
  };
  const Case cases[] = {
      {"newer row wins", 500, 400, 80, 8, "86=1@70/7"},
      {"newer row wins from the later pattern", 500, 600, 80, 8, "86=2@80/8"},
      {"equal times: larger pattern id", 500, 500, 80, 8, "86=2@80/8"},
      {"equal times: larger pattern id, earlier schema", 500, 500, 80, 6, "86=2@80/6"},
      {"equal times, smaller pattern id loses", 500, 500, 60, 8, "86=1@70/7"},
      {"absent time is the oldest", 500, NONE_I64, 80, 8, "86=1@70/7"},
  };
  for (const Case& cs : cases) {
    artifact::Contents c = accord_contents();
    c.vehicle_spec_patterns[2].created_on = cs.created_70;
    c.vehicle_spec_patterns.pop_back();  // no note: only ABS competes
    c.vehicle_spec_schemas.push_back({.id = cs.schema_80, .make_id = HONDA, .vehicle_type_id = 2});
    c.vehicle_spec_schema_models.push_back({.schema_id = cs.schema_80, .model_id = ACCORD});
    c.vspec_schema_patterns.push_back({.id = cs.pattern_80, .schema_id = cs.schema_80});
    c.vehicle_spec_patterns.push_back({.id = 800,
                                       .vspec_schema_pattern_id = cs.pattern_80,
                                       .is_key = true,
                                       .element_id = 5,
                                       .attribute_id = "13"});
    c.vehicle_spec_patterns.push_back({.id = 801,
                                       .vspec_schema_pattern_id = cs.pattern_80,
                                       .element_id = 86,
                                       .attribute_id = "2",
                                       .created_on = cs.created_80});
    EXPECT_EQ(specs_added(c, accord_items()), std::vector<std::string>{cs.expected}) << cs.name;
  }
}

TEST(VehicleSpecs, SameSchemaAndPatternTieKeepsTheFirstRow) {
  artifact::Contents c = accord_contents();
  c.vehicle_spec_patterns.push_back({.id = 706,
                                     .vspec_schema_pattern_id = 70,
                                     .element_id = 86,
                                     .attribute_id = "9",
                                     .created_on = 500});
  EXPECT_EQ(specs_added(c, accord_items()), ACCORD_SPECS);
}

TEST(VehicleSpecs, WinnersFollowTheOrderInWhichTheyWereOffered) {
  // Pattern 70 offers 90 then 86; pattern 71 (same keys) offers a newer 90
  // and 88. The winning 90 comes from 71 and is listed after 70's 86.
  artifact::Contents c = accord_contents();
  c.vehicle_spec_patterns.pop_back();
  c.vehicle_spec_patterns[2].id = 703;
  c.vehicle_spec_patterns.push_back(
      {.id = 702, .vspec_schema_pattern_id = 70, .element_id = 90, .attribute_id = "a"});
  c.vspec_schema_patterns.push_back({.id = 71, .schema_id = 7});
  c.vehicle_spec_patterns.push_back({.id = 710,
                                     .vspec_schema_pattern_id = 71,
                                     .is_key = true,
                                     .element_id = 38,
                                     .attribute_id = "LX"});
  c.vehicle_spec_patterns.push_back({.id = 711,
                                     .vspec_schema_pattern_id = 71,
                                     .element_id = 90,
                                     .attribute_id = "b",
                                     .created_on = 9});
  c.vehicle_spec_patterns.push_back(
      {.id = 712, .vspec_schema_pattern_id = 71, .element_id = 88, .attribute_id = "c"});
  EXPECT_EQ(specs_added(c, accord_items()),
            (std::vector<std::string>{"86=1@70/7", "90=b@71/7", "88=c@71/7"}));
}

}  // namespace
}  // namespace tamberok
