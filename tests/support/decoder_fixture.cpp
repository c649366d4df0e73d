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

  c.wmis = {
      {.id = 10,
       .code = "1HG",
       .manufacturer_id = 988,
       .make_id = 474,
       .vehicle_type_id = 2,
       .created_on = T2015,
       .updated_on = T2015 + 1},
      {.id = 20,
       .code = "TST",
       .manufacturer_id = 7,
       .vehicle_type_id = 3,
       .truck_type_id = 2,
       .created_on = T2015},
      {.id = 30,
       .code = "LAT",
       .manufacturer_id = 7,
       .vehicle_type_id = 2,
       .created_on = 1893456000LL * 1000000},
      {.id = 40, .code = "NOT", .manufacturer_id = 7, .vehicle_type_id = 2},
      {.id = 50, .code = "1G9ABC", .manufacturer_id = 7, .vehicle_type_id = 7, .created_on = T2015},
      {.id = 60, .code = "MCY", .manufacturer_id = 5, .vehicle_type_id = 1, .created_on = T2015},
  };
  c.wmi_vin_schemas = {
      {.id = 1, .wmi_id = 10, .vin_schema_id = 100, .year_from = 2003, .year_to = 2007},
      {.id = 2, .wmi_id = 10, .vin_schema_id = 101, .year_from = 2016},
      {.id = 3, .wmi_id = 20, .vin_schema_id = 102, .year_from = 2000},
      {.id = 4, .wmi_id = 50, .vin_schema_id = 103, .year_from = 2010},
      {.id = 5, .wmi_id = 60, .vin_schema_id = 104, .year_from = 2015},
      {.id = 6, .wmi_id = 30, .vin_schema_id = 100, .year_from = 2003},
      {.id = 7, .wmi_id = 40, .vin_schema_id = 100, .year_from = 2003},
  };
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
  c.wmi_makes = {{.wmi_id = 10, .make_id = 474},
                 {.wmi_id = 20, .make_id = 441},
                 {.wmi_id = 20, .make_id = 474},
                 {.wmi_id = 60, .make_id = 441}};
  c.engine_models = {
      {.id = 1, .name = "J35"}, {.id = 2, .name = " K24A4"}, {.id = 3, .name = "k24a4"}};
  c.engine_model_patterns = {
      {.id = 1, .engine_model_id = 2, .element_id = 13, .attribute_id = "2.4"},
      {.id = 2, .engine_model_id = 3, .element_id = 13, .attribute_id = "9.9"}};
  c.conversions = {
      {.id = 1, .from_element_id = 11, .to_element_id = 12, .formula = "#x# / 16.387064 "},
      {.id = 3, .from_element_id = 11, .to_element_id = 13, .formula = "#x# / 1000."},
      {.id = 4, .from_element_id = 13, .to_element_id = 11, .formula = "#x# * 1000"},
      {.id = 7, .from_element_id = 13, .to_element_id = 12, .formula = "#x# / 0.016387064 "}};

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
