#include "decoder_fixture.h"

namespace tamberok::testing {

void add_pattern(artifact::Contents& c, int32_t schema, std::string keys, int32_t element,
                 std::string attribute, int64_t created_on) {
  int32_t id = 1;
  for (const artifact::Pattern& p : c.patterns) id = std::max(id, p.id + 1);
  c.patterns.push_back({.id = id,
                        .vin_schema_id = schema,
                        .keys = std::move(keys),
                        .element_id = element,
                        .attribute_id = std::move(attribute),
                        .created_on = created_on});
}

artifact::Contents decoder_contents() {
  artifact::Contents c;
  auto element = [&](int32_t id, std::string name, std::string group, std::string type,
                     std::string decode, int32_t weight = NONE_I32, bool excluded = false) {
    std::string code = name;
    std::erase(code, ' ');
    c.element_defs.push_back({.id = id,
                              .name = std::move(name),
                              .code = std::move(code),
                              .excluded = excluded,
                              .group_name = std::move(group),
                              .data_type = std::move(type),
                              .decode = std::move(decode),
                              .weight = weight});
  };
  element(3, "Bed Type", "Exterior/Truck", "lookup", "Pattern");
  element(5, "Body Class", "Exterior/Body", "lookup", "Pattern", 10);
  element(9, "Engine Number of Cylinders", "Engine", "int", "Pattern", 5);
  element(11, "Displacement (CC)", "Engine", "decimal", "Pattern");
  element(12, "Displacement (CI)", "Engine", "decimal", "Pattern");
  element(13, "Displacement (L)", "Engine", "decimal", "Pattern");
  element(18, "Engine Model", "Engine", "string", "Pattern", 2);
  element(26, "Make", "General", "lookup", "WMI, Pattern", 100);
  element(27, "Manufacturer Name", "General", "lookup", "WMI");
  element(28, "Model", "General", "lookup", "Pattern", 50);
  element(29, "Model Year", "General", "int", "WMI, Input");
  element(34, "Series", "General", "string", "Pattern", 3);
  element(38, "Trim", "General", "string", "Pattern", 3);
  element(39, "Vehicle Type", "General", "lookup", "WMI");
  element(114, "Note", "General", "string", "Pattern");
  element(142, "Suggested VIN", "", "string", "Decoding");
  element(143, "Error Code", "", "lookup", "Decoding");
  element(144, "Possible Values", "", "string", "Decoding");
  element(156, "Additional Error Text", "", "string", "Decoding");
  element(186, "NCSA Note", "Internal", "string", "Pattern", NONE_I32, true);
  element(191, "Error Text", "", "string", "Decoding");
  element(196, "Vehicle Descriptor", "", "string", "Decoding");

  c.wmis = {{10, "1HG", 988, 474, 2, NONE_I32, T2015, T2015 + 1},
            {20, "TST", 7, NONE_I32, 3, 2, T2015},
            {30, "LAT", 7, NONE_I32, 2, NONE_I32, 1893456000LL * 1000000},
            {40, "NOT", 7, NONE_I32, 2},
            {50, "1G9ABC", 7, NONE_I32, 7, NONE_I32, T2015},
            {60, "MCY", 5, NONE_I32, 1, NONE_I32, T2015}};
  c.wmi_vin_schemas = {{1, 10, 100, 2003, 2007}, {2, 10, 101, 2016}, {3, 20, 102, 2000},
                       {4, 50, 103, 2010},       {5, 60, 104, 2015}, {6, 30, 100, 2003},
                       {7, 40, 100, 2003}};
  c.vin_schemas = {{.id = 100}, {.id = 101}, {.id = 102}, {.id = 103}, {.id = 104}};
  // The Accord of 2003: model, body, cylinders and an engine model.
  add_pattern(c, 100, "CM8", 28, "1861");
  add_pattern(c, 100, "CM8", 5, "13");
  add_pattern(c, 100, "***2", 9, "4");
  add_pattern(c, 100, "****6", 18, " k24a4 ");
  add_pattern(c, 101, "*****|*S", 38, "Sport");
  add_pattern(c, 102, "[A-C]", 5, "5");
  add_pattern(c, 102, "*2", 38, "Base");
  add_pattern(c, 103, "*****|*0", 28, "1861");
  add_pattern(c, 104, "*****", 5, "80");

  c.make_models = {{.make_id = 474, .model_id = 1861}};
  c.wmi_makes = {{10, 474}, {20, 441}, {20, 474}, {60, 441}};
  c.engine_models = {
      {.id = 1, .name = "J35"}, {.id = 2, .name = " K24A4"}, {.id = 3, .name = "k24a4"}};
  c.engine_model_patterns = {{1, 2, 13, "2.4"}, {2, 3, 13, "9.9"}};
  c.conversions = {{1, 11, 12, "#x# / 16.387064 "},
                   {3, 11, 13, "#x# / 1000."},
                   {4, 13, 11, "#x# * 1000"},
                   {7, 13, 12, "#x# / 0.016387064 "}};

  auto lookup = [&](uint16_t table, int32_t id, std::string name) {
    c.lookups.push_back({.table = table, .id = id, .name = std::move(name)});
  };
  lookup(3, 5, "Pickup");
  lookup(3, 13, "Sedan/Saloon");
  lookup(3, 80, "Motorcycle - Standard");
  lookup(9, 441, "Tesla");
  lookup(9, 474, "Honda");
  lookup(10, 7, "Test Motors");
  lookup(10, 988, "Honda of America Mfg., Inc.");
  lookup(11, 1861, "Accord");
  lookup(14, 1, "Motorcycle");
  lookup(14, 2, "Passenger Car");
  lookup(14, 3, "Truck ");
  lookup(14, 7, "Multipurpose Passenger Vehicle (MPV)");
  lookup(44, 0, "0 - VIN decoded clean. Check Digit (9th position) is correct");
  lookup(44, 1, "1 - Check Digit (9th position) does not calculate properly");
  lookup(44, 2, "2 - VIN corrected, error in one position ");
  lookup(44, 3, "3 - VIN corrected, error in one position (assuming Check Digit is correct)");
  lookup(44, 4,
         "4 - VIN corrected, error in one position only (indicated by ! in Suggested VIN), "
         "multiple matches found");
  lookup(44, 5, "5 - VIN has errors in few positions");
  lookup(44, 6, "6 - Incomplete VIN");
  lookup(44, 7,
         "7 - Manufacturer is not registered with NHTSA for sale or importation in the U.S. "
         "for use on U.S roads; Please contact the manufacturer directly for more "
         "information");
  lookup(44, 8, "8 - No detailed data available currently");
  lookup(44, 10, "10 - Off-road Vehicle Warning");
  lookup(44, 11,
         "11 - Incorrect Model Year - Position 10 does not match valid model year codes "
         "(I, O, Q, U, Z, 0). Decoded data may not be accurate.");
  lookup(44, 14,
         "14 - Unable to provide information for some of the characters in the VIN, "
         "based on the manufacturer submission.");
  lookup(44, 400, "400 - Invalid Characters Present");
  return c;
}

}  // namespace tamberok::testing
