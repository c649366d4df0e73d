// The default-value stage of a pass.
#include "tamberok/defaults.h"

#include <string>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

DecodingItem item(int32_t element_id, std::string attribute, std::string value = "XXX") {
  DecodingItem it;
  it.attribute_id = std::move(attribute);
  it.value = std::move(value);
  it.source = "Pattern";
  it.element_id = element_id;
  return it;
}

artifact::Contents default_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HD"}};
  c.element_defs = {
      {.id = 3, .name = "Bed Type", .code = "BedType", .data_type = "lookup", .decode = "Pattern"},
      {.id = 25,
       .name = "Gross Vehicle Weight Rating From",
       .code = "GVWR",
       .data_type = "lookup",
       .decode = "Pattern"},
      {.id = 40,
       .name = "Cab Type",
       .code = "BodyCabType",
       .data_type = "Lookup",
       .decode = "Pattern"},
      {.id = 41,
       .name = "Bus Length",
       .code = "BusLength",
       .data_type = "int",
       .decode = "Pattern"},
      {.id = 42,
       .name = "Trailer Type",
       .code = "TrailerType",
       .data_type = "lookup",
       .decode = "Pattern"},
      {.id = 43,
       .name = "Steering",
       .code = "Steering",
       .data_type = "lookup",
       .decode = "Pattern"},
  };
  c.default_values = {
      {.id = 1, .element_id = 3, .vehicle_type_id = 1, .default_value = "0", .created_on = 111},
      {.id = 2, .element_id = 25, .vehicle_type_id = 1, .default_value = "10"},
      {.id = 3, .element_id = 40, .vehicle_type_id = 1, .default_value = "0"},
      {.id = 4, .element_id = 41, .vehicle_type_id = 1, .default_value = "0"},
      {.id = 5, .element_id = 42, .vehicle_type_id = 1, .default_value = "00"},
      {.id = 6, .element_id = 43, .vehicle_type_id = 1, .default_value = " 0"},
      {.id = 7, .element_id = 99, .vehicle_type_id = 1, .default_value = "0"},
      {.id = 8, .element_id = 3, .vehicle_type_id = 2, .default_value = "0", .enabled = false},
      {.id = 9, .element_id = 25, .vehicle_type_id = 2, .default_value = "12"},
  };
  return c;
}

// "element=attribute:value" of each appended item.
std::vector<std::string> defaults_added(std::vector<DecodingItem> items) {
  ArtifactDb a(default_contents());
  size_t before = items.size();
  append_defaults(items, a.db());
  std::vector<std::string> out;
  for (size_t i = before; i < items.size(); ++i) {
    out.push_back(std::to_string(items[i].element_id) + "=" + items[i].attribute_id + ":" +
                  items[i].value);
  }
  return out;
}

const std::vector<std::string> MOTORCYCLE_DEFAULTS = {
    "3=0:Not Applicable", "25=10:XXX", "40=0:Not Applicable", "41=0:XXX", "42=00:XXX",
    "43= 0:XXX",          "99=0:XXX"};

TEST(Defaults, OnlyAnExactZeroOnALookupElementIsNotApplicable) {
  // 3 lookup "0"; 25 lookup "10"; 40 "Lookup" in other case; 41 an int
  // element; 42 "00"; 43 " 0"; 99 has no element row.
  EXPECT_EQ(defaults_added({item(39, "1")}), MOTORCYCLE_DEFAULTS);
}

TEST(Defaults, ItemCarriesTheRowAndNoIds) {
  ArtifactDb a(default_contents());
  std::vector<DecodingItem> items = {item(39, "1")};
  append_defaults(items, a.db());
  ASSERT_EQ(items.size(), 8u);
  const DecodingItem& it = items[1];
  EXPECT_EQ(it.keys, "");
  EXPECT_EQ(it.attribute_id, "0");
  EXPECT_EQ(it.value, "Not Applicable");
  EXPECT_EQ(it.source, "Default");
  EXPECT_EQ(it.created_on, 111);
  EXPECT_EQ(it.pattern_id, NONE_I32);
  EXPECT_EQ(it.vin_schema_id, NONE_I32);
  EXPECT_EQ(it.wmi_id, NONE_I32);
  EXPECT_EQ(it.element_id, 3);
  EXPECT_EQ(it.priority, 10);
  EXPECT_FALSE(it.to_be_qced);
  EXPECT_EQ(items[2].created_on, NONE_I64);
}

TEST(Defaults, VehicleTypeComesFromTheFirstVehicleTypeItem) {
  struct Case {
    const char* name;
    std::vector<DecodingItem> items;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"type 2, disabled row skipped", {item(39, "2")}, {"25=12:XXX"}},
      {"+2 reads as 2", {item(39, "+2")}, {"25=12:XXX"}},
      {"first item unreadable", {item(39, "two"), item(39, "2")}, {}},
      {"leading blank", {item(39, " 2")}, {}},
      {"no vehicle type item", {item(5, "2")}, {}},
      {"type without rows", {item(39, "7")}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(defaults_added(c.items), c.expected) << c.name;
}

TEST(Defaults, AnyItemOfTheElementSuppressesItsDefault) {
  DecodingItem spec = item(3, "2");
  spec.source = "Vehicle Specs";
  DecodingItem conversion = item(25, "0", "0");
  conversion.source = "Conversion 4: 0 * 1000";
  std::vector<DecodingItem> items = {item(39, "1"), spec, conversion,
                                     item(40, "", "Not Applicable"), item(99, "")};
  EXPECT_EQ(defaults_added(items),
            (std::vector<std::string>{"41=0:XXX", "42=00:XXX", "43= 0:XXX"}));
}

}  // namespace
}  // namespace tamberok
