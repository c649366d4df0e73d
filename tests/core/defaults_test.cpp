// The default-value stage of a pass.
#include "tamberok/defaults.h"

#include <string>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

DecodingItem item(int32_t element_id, std::string attribute, std::string value = "XXX") {
  DecodingItem it{.attribute_id = std::move(attribute), .value = std::move(value)};
  it.source = "Pattern";
  it.element_id = element_id;
  return it;
}

artifact::Contents default_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HD"}};
  // 3 lookup, 25 lookup, 40 "Lookup" in other case, 41 int, 42 and 43 lookup.
  c.element_defs = {
      {3, "Bed Type", "BedType", false, "", "lookup", "Pattern"},
      {25, "Gross Vehicle Weight Rating From", "GVWR", false, "", "lookup", "Pattern"},
      {40, "Cab Type", "BodyCabType", false, "", "Lookup", "Pattern"},
      {41, "Bus Length", "BusLength", false, "", "int", "Pattern"},
      {42, "Trailer Type", "TrailerType", false, "", "lookup", "Pattern"},
      {43, "Steering", "Steering", false, "", "lookup", "Pattern"}};
  // Motorcycle (1) defaults of each element, one without an element row (99);
  // a disabled row and one more for cars (2).
  c.default_values = {{1, 3, 1, "0", true, 111}, {2, 25, 1, "10"},      {3, 40, 1, "0"},
                      {4, 41, 1, "0"},           {5, 42, 1, "00"},      {6, 43, 1, " 0"},
                      {7, 99, 1, "0"},           {8, 3, 2, "0", false}, {9, 25, 2, "12"}};
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

TEST(Defaults, OnlyAnExactZeroOnALookupElementIsNotApplicableAndTheItemCarriesTheRow) {
  EXPECT_EQ(defaults_added({item(39, "1")}), MOTORCYCLE_DEFAULTS);
  ArtifactDb a(default_contents());
  std::vector<DecodingItem> items = {item(39, "1")};
  append_defaults(items, a.db());
  ASSERT_EQ(items.size(), 8u);
  const DecodingItem& it = items[1];
  EXPECT_EQ(std::tie(it.keys, it.attribute_id, it.value, it.source),
            std::make_tuple("", "0", "Not Applicable", "Default"));
  EXPECT_EQ(std::make_tuple(it.created_on, it.pattern_id, it.vin_schema_id, it.wmi_id,
                            it.element_id, it.priority, it.to_be_qced),
            std::make_tuple(111, NONE_I32, NONE_I32, NONE_I32, 3, 10, false));
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
