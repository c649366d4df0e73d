// The vehicle-spec stage of a pass: schema filters, the key test of schema
// patterns, blocked elements and one winner per element.
#include "tamberok/vehicle_spec.h"

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;
using Specs = std::vector<std::string>;
using Change = std::function<void(artifact::Contents&)>;

constexpr int32_t HONDA = 474;
constexpr int32_t ACCORD = 1861;

DecodingItem item(int32_t element_id, std::string attribute) {
  DecodingItem it{.attribute_id = std::move(attribute), .value = "XXX", .source = "Pattern"};
  it.element_id = element_id;
  return it;
}

// Pattern items from "element=attribute" words.
std::vector<DecodingItem> items(std::string_view text) {
  std::vector<DecodingItem> out;
  std::istringstream words{std::string(text)};
  for (std::string word; words >> word;) {
    size_t eq = word.find('=');
    out.push_back(item(std::stoi(word.substr(0, eq)), word.substr(eq + 1)));
  }
  return out;
}

// A passenger-car Accord whose pattern 70 is keyed on body class 13 and
// trim "lx" and offers ABS (86) and a note (114).
std::vector<DecodingItem> accord_items() {
  return items("39=2 28=1861 5=13 38=LX");
}

artifact::Contents accord_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 10, .code = "1HG", .manufacturer_id = 988, .vehicle_type_id = 2}};
  c.wmi_makes = {{10, HONDA}};
  c.vehicle_spec_schemas = {{7, HONDA, 2}};
  c.vehicle_spec_schema_models = {{7, ACCORD}};
  c.vspec_schema_patterns = {{70, 7}};
  c.vehicle_spec_patterns = {{700, 70, true, 5, "13"},
                             {701, 70, true, 38, "lx"},
                             {702, 70, false, 86, "1", 500},
                             {703, 70, false, 114, "Spec note"}};
  return c;
}

// "element=attribute@pattern/schema" of each appended item.
Specs specs_added(const Change& change, std::vector<DecodingItem> items, bool has_year = false,
                  int32_t year = 0, std::string_view wmi = "1HG") {
  artifact::Contents contents = accord_contents();
  change(contents);
  ArtifactDb a(contents);
  size_t before = items.size();
  append_vehicle_specs(items, a.db(), wmi, has_year, year);
  Specs out;
  for (size_t i = before; i < items.size(); ++i) {
    out.push_back(std::to_string(items[i].element_id) + "=" + items[i].attribute_id + "@" +
                  std::to_string(items[i].pattern_id) + "/" +
                  std::to_string(items[i].vin_schema_id));
  }
  return out;
}

const Change AS_IS = [](artifact::Contents&) {};
const Specs ACCORD_SPECS = {"86=1@70/7", "114=Spec note@70/7"};
const Specs NOTHING = {};

TEST(VehicleSpecs, AppendedItemCarriesThePatternAndSchema) {
  ArtifactDb a(accord_contents());
  std::vector<DecodingItem> items = accord_items();
  append_vehicle_specs(items, a.db(), "1HG", false, 0);
  ASSERT_EQ(items.size(), 6u);
  const DecodingItem& it = items[4];
  EXPECT_EQ(std::tie(it.keys, it.attribute_id, it.value, it.source),
            std::make_tuple("", "1", "XXX", "Vehicle Specs"));
  EXPECT_EQ(std::make_tuple(it.created_on, it.pattern_id, it.vin_schema_id, it.wmi_id,
                            it.element_id, it.priority, it.to_be_qced),
            std::make_tuple(500, 70, 7, NONE_I32, 86, -100, false));
  EXPECT_EQ(items[5].created_on, NONE_I64);
}

TEST(VehicleSpecs, VehicleTypeAndModelAreReadFromTheirFirstItemsAsIntegerText) {
  struct Case {
    const char* name;
    std::vector<DecodingItem> items;
    Specs expected;
  };
  const Case cases[] = {
      {"plain", accord_items(), ACCORD_SPECS},
      {"+2 reads as 2", items("39=+2 28=+1861 5=13 38=LX"), ACCORD_SPECS},
      {"2a does not read", items("39=2a 28=1861 5=13 38=LX"), NOTHING},
      {"leading blank does not read",
       {item(39, " 2"), item(28, "1861"), item(5, "13"), item(38, "LX")},
       NOTHING},
      {"no vehicle type", items("28=1861 5=13 38=LX"), NOTHING},
      {"no model", items("39=2 5=13 38=LX"), NOTHING},
      {"first vehicle type unreadable", items("39=x 39=2 28=1861 5=13 38=LX"), NOTHING},
      {"other vehicle type", items("39=3 28=1861 5=13 38=LX"), NOTHING},
      {"other model", items("39=2 28=1862 5=13 38=LX"), NOTHING},
  };
  for (const Case& c : cases) EXPECT_EQ(specs_added(AS_IS, c.items), c.expected) << c.name;
}

TEST(VehicleSpecs, SchemaFiltersOnMakeOfTheWmiSkipFlagModelRowsAndYearRows) {
  auto years = [](artifact::Contents& c) { c.vehicle_spec_schema_years = {{7, 2015}, {7, 2016}}; };
  struct Case {
    const char* name;
    Change change;
    bool has_year;
    int32_t year;
    std::string_view wmi;
    Specs expected;
  };
  const Case cases[] = {
      {"skipped schema", [](auto& c) { c.vehicle_spec_schemas[0].skip = true; }, false, 0, "1HG",
       NOTHING},
      {"no model rows", [](auto& c) { c.vehicle_spec_schema_models.clear(); }, false, 0, "1HG",
       NOTHING},
      {"other make",
       [](auto& c) {
         c.wmi_makes = {{10, 441}};
       },
       false, 0, "1HG", NOTHING},
      {"unknown WMI", AS_IS, false, 0, "2HG", NOTHING},
      {"a year row of 2016", years, true, 2016, "1HG", ACCORD_SPECS},
      {"a year row of 2015", years, true, 2015, "1HG", ACCORD_SPECS},
      {"no year row of 2017", years, true, 2017, "1HG", NOTHING},
      {"year rows and no model year", years, false, 2016, "1HG", NOTHING},
      {"no year rows: any year", AS_IS, true, 2017, "1HG", ACCORD_SPECS},
      {"no year rows and no model year", AS_IS, false, 0, "1HG", ACCORD_SPECS},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(specs_added(c.change, accord_items(), c.has_year, c.year, c.wmi), c.expected)
        << c.name;
  }
}

TEST(VehicleSpecs, KeyRowsMustEachMatchTheirOwnItems) {
  auto same_key_twice = [](artifact::Contents& c) {
    c.vehicle_spec_patterns[1].element_id = 5;
    c.vehicle_spec_patterns[1].attribute_id = "13";
  };
  std::vector<DecodingItem> value_not_attribute = accord_items();
  value_not_attribute[3].attribute_id = "77";
  value_not_attribute[3].value = "LX";
  struct Case {
    const char* name;
    Change change;
    std::vector<DecodingItem> items;
    Specs expected;
  };
  const Case cases[] = {
      {"trim key lx matches attribute LX", AS_IS, accord_items(), ACCORD_SPECS},
      {"key row without a matching item", AS_IS, items("39=2 28=1861 5=13"), NOTHING},
      {"key text matched against attribute, not value", AS_IS, value_not_attribute, NOTHING},
      {"key row of another element does not count", AS_IS, items("39=2 28=1861 5=13 39=LX"),
       NOTHING},
      {"one key row matching two items passes", AS_IS, items("39=2 28=1861 5=13 5=13 38=lX"),
       ACCORD_SPECS},
      {"two key rows matching the same item fail", same_key_twice, items("39=2 28=1861 5=13"),
       NOTHING},
      {"two key rows matching the same two items fail", same_key_twice,
       items("39=2 28=1861 5=13 5=13"), NOTHING},
      {"a pattern without key rows offers nothing",
       [](auto& c) {
         c.vspec_schema_patterns.push_back({71, 7});
         c.vehicle_spec_patterns.push_back({710, 71, false, 90, "3"});
       },
       accord_items(), ACCORD_SPECS},
  };
  for (const Case& c : cases) EXPECT_EQ(specs_added(c.change, c.items), c.expected) << c.name;
}

TEST(VehicleSpecs, ElementsThePassHasAreBlockedExceptFreeText) {
  EXPECT_EQ(specs_added(AS_IS, items("39=2 28=1861 5=13 38=LX 86=2")), Specs{"114=Spec note@70/7"});
  EXPECT_EQ(specs_added(AS_IS, items("39=2 28=1861 5=13 38=LX 114=Pattern")), ACCORD_SPECS);
  // Key and vehicle-type elements are items of the pass, so they block too.
  auto offers_key = [](artifact::Contents& c) {
    c.vehicle_spec_patterns.push_back({704, 70, false, 38, "EX"});
    c.vehicle_spec_patterns.push_back({705, 70, false, 1, "Li-ion"});
  };
  EXPECT_EQ(specs_added(offers_key, items("39=2 28=1861 5=13 38=LX 1=NiMH")),
            (Specs{"86=1@70/7", "114=Spec note@70/7", "1=Li-ion@70/7"}));
  EXPECT_TRUE(is_free_text_element(1));
  EXPECT_TRUE(is_free_text_element(186));
  EXPECT_FALSE(is_free_text_element(86));
}

TEST(VehicleSpecs, OneWinnerPerElementByTimeThenPatternThenSchema) {
  // A second schema of the same make with a pattern of the same keys, both
  // offering ABS; pattern ids put 80 above 70, schema ids 8 above 7.
  auto rival = [](int64_t created_70, int64_t created_80, int32_t pattern_80, int32_t schema_80) {
    return [=](artifact::Contents& c) {
      c.vehicle_spec_patterns[2].created_on = created_70;
      c.vehicle_spec_patterns.pop_back();  // no note: only ABS competes
      c.vehicle_spec_schemas.push_back({schema_80, HONDA, 2});
      c.vehicle_spec_schema_models.push_back({schema_80, ACCORD});
      c.vspec_schema_patterns.push_back({pattern_80, schema_80});
      c.vehicle_spec_patterns.push_back({800, pattern_80, true, 5, "13"});
      c.vehicle_spec_patterns.push_back({801, pattern_80, false, 86, "2", created_80});
    };
  };
  const std::tuple<const char*, Change, Specs> cases[] = {
      {"newer row wins", rival(500, 400, 80, 8), {"86=1@70/7"}},
      {"newer row wins from the later pattern", rival(500, 600, 80, 8), {"86=2@80/8"}},
      {"equal times: larger pattern id", rival(500, 500, 80, 8), {"86=2@80/8"}},
      {"equal times: larger pattern id, earlier schema", rival(500, 500, 80, 6), {"86=2@80/6"}},
      {"equal times, smaller pattern id loses", rival(500, 500, 60, 8), {"86=1@70/7"}},
      {"absent time is the oldest", rival(500, NONE_I64, 80, 8), {"86=1@70/7"}},
      {"same schema and pattern: the first row",
       [](auto& c) {
         c.vehicle_spec_patterns.push_back({706, 70, false, 86, "9", 500});
       },
       ACCORD_SPECS},
  };
  for (const auto& [name, change, expected] : cases) {
    EXPECT_EQ(specs_added(change, accord_items()), expected) << name;
  }
}

TEST(VehicleSpecs, WinnersFollowTheOrderInWhichTheyWereOffered) {
  // Pattern 70 offers 90 then 86; pattern 71 (same keys) offers a newer 90
  // and 88. The winning 90 comes from 71 and is listed after 70's 86.
  auto change = [](artifact::Contents& c) {
    c.vehicle_spec_patterns.pop_back();
    c.vehicle_spec_patterns[2].id = 703;
    c.vehicle_spec_patterns.push_back({702, 70, false, 90, "a"});
    c.vspec_schema_patterns.push_back({71, 7});
    c.vehicle_spec_patterns.push_back({710, 71, true, 38, "LX"});
    c.vehicle_spec_patterns.push_back({711, 71, false, 90, "b", 9});
    c.vehicle_spec_patterns.push_back({712, 71, false, 88, "c"});
  };
  EXPECT_EQ(specs_added(change, accord_items()), (Specs{"86=1@70/7", "90=b@71/7", "88=c@71/7"}));
}

}  // namespace
}  // namespace tamberok
