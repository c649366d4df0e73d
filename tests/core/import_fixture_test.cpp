// The vpic_small fixture, imported by tamberok-import at build time, holds
// exactly the rows of tests/fixtures/vpic_small.sql, mapped to the artifact:
// timestamps as UTC microseconds, NULLs as NONE, group names in their
// group-rank spelling, element flags from IsPrivate and Decode, and without
// the community-contributed schemas.
#include <map>
#include <sstream>

#include "support.h"
#include "tamberok/artifact_check.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

// The fixture's rows as the artifact must hold them.
artifact::Contents vpic_small_rows() {
  artifact::Contents c;
  c.wmis = {
      {.id = 2094,
       .code = "1HG",
       .manufacturer_id = 988,
       .vehicle_type_id = 2,
       .created_on = 1425568907627000,   // 2015-03-05 15:21:47.627000
       .updated_on = 1426001130000000},  // 2015-03-10 15:25:30
      {.id = 2101,
       .code = "5YJ",
       .manufacturer_id = 955,
       .make_id = 441,
       .vehicle_type_id = 2,
       .created_on = 1425898800000000},  // 2015-03-09 11:00:00
      {.id = 3120,
       .code = "1FT",
       .manufacturer_id = 976,
       .make_id = 460,
       .vehicle_type_id = 3,
       .truck_type_id = 1,
       .created_on = 1426067112100000,   // 2015-03-11 09:45:12.1
       .updated_on = 1451894400000000},  // 2016-01-04 08:00:00.000000
      {.id = 3300, .code = "JH2", .manufacturer_id = 988, .make_id = 474, .vehicle_type_id = 1},
      {.id = 9001,
       .code = "1P9A12",
       .manufacturer_id = 1001,
       .vehicle_type_id = 6,
       .created_on = 1561982400500000,  // 2019-07-01T12:00:00.5Z
       .updated_on = 1561982400500000},
  };
  c.wmi_vin_schemas = {
      {.id = 2095, .wmi_id = 2094, .vin_schema_id = 2371, .year_from = 1990, .year_to = 2013},
      {.id = 34001, .wmi_id = 2094, .vin_schema_id = 9774, .year_from = 2003, .year_to = 2003},
      {.id = 34002, .wmi_id = 2094, .vin_schema_id = 5660, .year_from = 2003, .year_to = 2004},
      {.id = 34003, .wmi_id = 2094, .vin_schema_id = 20001, .year_from = 2018},
      {.id = 40001, .wmi_id = 2101, .vin_schema_id = 15001, .year_from = 2017},
      {.id = 41001, .wmi_id = 3120, .vin_schema_id = 16001, .year_from = 2015, .year_to = 2020},
      {.id = 42001, .wmi_id = 9001, .vin_schema_id = 17001, .year_from = 2010},
  };
  c.vin_schemas = {{.id = 2371},  {.id = 5660},  {.id = 9774}, {.id = 15001},
                   {.id = 16001}, {.id = 17001}, {.id = 20001}};
  const int64_t plant = 1427469653187000;   // 2015-03-27 15:20:53.187000
  const int64_t accord = 1445348109927000;  // 2015-10-20 13:35:09.927000
  c.patterns = {
      {12011, 2371, "*****|*A", 31, "MARYSVILLE", plant},
      {12012, 2371, "*****|*A", 75, "6", plant},
      {421972, 9774, "CM82[67]", 5, "3", accord},
      {421975, 9774, "CM82[67]", 18, "J30A4", accord},
      {421977, 9774, "CM82[67]", 28, "1861", accord},
      {421979, 9774, "CM82[67]", 38, "EX-V6", accord},
      {421990, 9774, "CM82[67]", 121, "Seat Belt (Rr center position)", accord},
      {421991, 9774, "CM822", 5, "3", accord},
      {421998, 9774, "CM822", 38, "LX-V6", accord},
      {858412, 9774, "CM82[67]", 24, "4", 1476367686040000},  // 2016-10-13 14:08:06.040000
      {300001, 5660, "ES1[56]", 28, "1864", 1427882400000000},
      {300002, 5660, "ES1[56]", 5, "13", 1427882400000000},
      {500001, 20001, "CV1F[1-5]", 28, "1861", 1504252800000000},
      {400002, 15001, "*****|*F", 31, "FREMONT", 1501232400000000},
      {400001, 15001, "3E1EA", 28, "10199", 1501232400000000},
      {600001, 16001, "W1E[5-7]*", 28, "1801", 1430481600000000},
      {600002, 16001, "W1E", 9, "8", 1430481600000000},
      {700001, 17001, "12***", 116, "1", 1561984200000000},
  };
  auto element = [](int32_t id, std::string name, std::string code, bool excluded,
                    std::string group, std::string type, std::string decode, int32_t weight) {
    bool included = !decode.empty();
    return artifact::Element{id,
                             std::move(name),
                             std::move(code),
                             excluded,
                             std::move(group),
                             std::move(type),
                             std::move(decode),
                             included,
                             weight};
  };
  const int32_t none = NONE_I32;
  c.element_defs = {
      element(1, "Other Battery Info", "BatteryInfo", false, "Mechanical/Battery", "string",
              "Pattern", none),
      element(3, "Bed Type", "BedType", false, "Exterior/Truck", "lookup", "Pattern", none),
      element(5, "Body Class", "BodyClass", false, "Exterior/Body", "lookup", "Pattern", 99),
      element(8, "Country Name", "Country", false, "", "lookup", "", none),
      element(9, "Engine Number of Cylinders", "EngineCylinders", false, "Engine", "int", "Pattern",
              88),
      element(11, "Displacement (CC)", "DisplacementCC", false, "Engine", "decimal", "Pattern", 98),
      element(12, "Displacement (CI)", "DisplacementCI", false, "Engine", "decimal", "Pattern",
              none),
      element(13, "Displacement (L)", "DisplacementL", false, "Engine", "decimal", "Pattern", none),
      element(18, "Engine Model", "EngineModel", false, "Engine", "string", "Pattern", 55),
      element(24, "Fuel Type - Primary", "FuelTypePrimary", false, "Engine", "lookup", "Pattern",
              91),
      element(25, "Gross Vehicle Weight Rating From", "GVWR", false, "Exterior/Dimension", "lookup",
              "Pattern", 70),
      element(26, "Make", "Make", false, "General", "lookup", "WMI, Pattern", 99),
      element(27, "Manufacturer Name", "Manufacturer", false, "General", "lookup", "WMI", none),
      element(28, "Model", "Model", false, "General", "lookup", "Pattern", 99),
      element(29, "Model Year", "ModelYear", false, "General", "int", "WMI, Input", 99),
      element(31, "Plant City", "PlantCity", false, "General", "string", "Pattern", 98),
      element(38, "Trim", "Trim", false, "General", "string", "Pattern", 61),
      element(39, "Vehicle Type", "VehicleType", false, "General", "lookup", "WMI", 99),
      element(75, "Plant Country", "PlantCountry", false, "General", "lookup", "Pattern", 99),
      element(86, "Anti-lock Braking System (ABS)", "ABS", false, "Active Safety System", "lookup",
              "Pattern", none),
      element(88, "Blind Spot Warning (BSW)", "BlindSpotMon", false,
              "Active Safety System/Lane and Side Assist", "lookup", "Pattern", none),
      element(89, "CAFE Body Type", "CAFEBodyType", true, "", "lookup", "", none),
      element(114, "Note", "Note", false, "General", "string", "Pattern", none),
      element(116, "Trailer Type Connection", "TrailerType", false, "Exterior/Trailer", "lookup",
              "Pattern", none),
      element(119, "Wheel Size Front (inches)", "WheelSizeFront", false, "Exterior/Wheel Tire",
              "int", "Pattern", none),
      element(121, "Other Restraint System Info", "OtherRestraintSystemInfo", false,
              "Passive Safety System", "string", "Pattern", none),
      element(143, "Error Code", "ErrorCode", false, "", "lookup", "Decoding", none),
      element(186, "NCSA Note", "NCSANote", true, "Internal", "string", "Pattern", none),
      element(191, "Error Text", "ErrorText", false, "", "string", "Decoding", none),
      element(210, "Legacy Flag", "LegacyFlag", false, "Legacy  /  Misc", "string", "Pattern",
              none),
  };
  c.make_models = {{474, 1861}, {474, 1864}, {441, 10199}, {460, 1801}};
  c.wmi_makes = {{2094, 474}, {2101, 441}, {3120, 460}, {3300, 474}};
  c.engine_models = {{28, "3306"}, {301, "J30A4"}};
  c.engine_model_patterns = {
      {1, 28, 9, "6", 1456937225727000},      // 2016-03-02 16:47:05.727000
      {3001, 301, 9, "6", 1456937809000000},  // 2016-03-02 16:56:49
      {3002, 301, 13, "3.0", 1456937809000000},
      {3003, 301, 24, "4", NONE_I64},
  };
  const int64_t defaults = 1547546400000000;  // 2019-01-15 10:00:00
  c.default_values = {{11, 3, 1, "0", true, defaults},
                      {12, 25, 1, "10", true, defaults},
                      {21, 116, 2, "0", true, NONE_I64},
                      {22, 3, 2, "0", true, defaults}};
  c.vin_exceptions = {{"1FTFW1E57JFB00002", true},
                      {"1FTFW1E57JFB00001", true},
                      {"1FTFW1E57JFB00001", true},
                      {"5YJ3E1EA0KF000001", false}};
  c.conversions = {{1, 11, 12, "#x# / 16.387064 "},   {2, 12, 11, "#x# * 16.387064 "},
                   {3, 11, 13, "#x# / 1000."},        {4, 13, 11, "#x# * 1000"},
                   {5, 12, 13, "#x# * 0.016387064 "}, {7, 13, 12, "#x# / 0.016387064 "}};
  c.lookups = {
      {3, 3, "Coupe"},
      {3, 13, "Sedan/Saloon"},
      {7, 1, "Diesel"},
      {7, 4, "Gasoline"},
      {9, 441, "Tesla"},
      {9, 460, "Ford"},
      {9, 474, "Honda"},
      {10, 955, "TESLA, INC."},
      {10, 976, "FORD MOTOR COMPANY"},
      {10, 988, "AMERICAN HONDA MOTOR CO., INC."},
      {10, 1001, "ACME TRAILER CO."},
      {11, 1801, "F-150"},
      {11, 1861, "Accord"},
      {11, 1864, "Civic"},
      {11, 10199, "Model 3"},
      {14, 1, "Motorcycle"},
      {14, 2, "Passenger Car"},
      {14, 3, "Truck"},
      {14, 6, "Trailer"},
      {14, 7, "Multipurpose Passenger Vehicle (MPV)"},
      {24, 1, "CANADA"},
      {24, 6, "UNITED STATES (USA)"},
      {28, 1, "Standard"},
      {28, 2, "Optional"},
      {28, 3, "Not Available"},
      // From the fixture's ErrorCode table, not from the supplement file.
      {44, 0, "0 - VIN decoded clean. Check Digit (9th position) is correct"},
      {44, 1, "1 - Check Digit (9th position) does not calculate properly"},
      {44, 2, "2 - VIN corrected, error in one position "},
      {44, 400, "400 - Invalid Characters Present"},
  };
  c.vehicle_spec_schemas = {{101, 474, 2}, {102, 441, 2}, {103, 474, -1}};
  c.vspec_schema_patterns = {{1001, 101}, {1002, 101}, {1003, 102}};
  const int64_t may = 1588291200000000, june = 1590969600000000, jan = 1609459200000000;
  c.vehicle_spec_patterns = {
      {5001, 1001, true, 38, "EX-V6", may},  {5002, 1001, false, 86, "1", may},
      {5003, 1001, false, 88, "2", may},     {5004, 1002, true, 5, "3", june},
      {5005, 1002, true, 38, "lx-v6", june}, {5006, 1002, false, 86, "3", june},
      {5007, 1003, true, 28, "10199", jan},  {5008, 1003, false, 86, "1", jan},
  };
  c.vehicle_spec_schema_models = {{101, 1861}, {102, 10199}};
  c.vehicle_spec_schema_years = {{101, 2003}, {101, 2004}};
  return c;
}

template <typename... Fields>
std::string cat(const Fields&... fields) {
  std::ostringstream out;
  ((out << fields << ' '), ...);
  return out.str();
}

// Every row of every table as one line, texts resolved and quoted, so that a
// difference names its table and row.
std::map<std::string, std::vector<std::string>> render(const Db& db) {
  std::map<std::string, std::vector<std::string>> out;
  auto s = [&](StrId id) { return "\"" + std::string(db.string(id)) + "\""; };
  auto put = [&](const char* name, const auto& table, auto line) {
    for (size_t i = 0; i < table.size(); ++i) out[name].push_back(line(table[i]));
  };
  put("wmis", db.wmis(), [&](const WmiRow& r) {
    return cat(r.id, s(r.code), r.manufacturer_id, r.make_id, r.vehicle_type_id, r.truck_type_id,
               r.created_on, r.updated_on);
  });
  put("wmi_vin_schemas", db.wmi_vin_schemas(), [](const WmiVinSchemaRow& r) {
    return cat(r.id, r.wmi_id, r.vin_schema_id, r.year_from, r.year_to);
  });
  put("vin_schemas", db.vin_schemas(), [](const VinSchemaRow& r) { return cat(r.id, +r.skip); });
  put("patterns", db.patterns(), [&](const PatternRow& r) {
    return cat(r.id, r.vin_schema_id, s(r.keys), r.has_class ? s(r.keys_regex) : "-", r.element_id,
               s(r.attribute_id), r.created_on, +r.literal_count, +r.has_class);
  });
  put("element_defs", db.element_defs(), [&](const ElementRow& r) {
    return cat(r.id, s(r.name), s(r.code), +r.excluded, s(r.group_name), s(r.data_type),
               s(r.decode), +r.included, r.weight);
  });
  put("make_models", db.make_models(),
      [](const MakeModelRow& r) { return cat(r.make_id, r.model_id); });
  put("wmi_makes", db.wmi_makes(), [](const WmiMakeRow& r) { return cat(r.wmi_id, r.make_id); });
  put("engine_models", db.engine_models(),
      [&](const EngineModelRow& r) { return cat(r.id, s(r.name)); });
  put("engine_model_patterns", db.engine_model_patterns(), [&](const EngineModelPatternRow& r) {
    return cat(r.id, r.engine_model_id, r.element_id, s(r.attribute_id), r.created_on);
  });
  put("default_values", db.default_values(), [&](const DefaultValueRow& r) {
    return cat(r.id, r.element_id, r.vehicle_type_id, s(r.default_value), +r.enabled, r.created_on);
  });
  put("vin_exceptions", db.vin_exceptions(),
      [&](const VinExceptionRow& r) { return cat(s(r.vin), +r.check_digit); });
  put("conversions", db.conversions(), [&](const ConversionRow& r) {
    return cat(r.id, r.from_element_id, r.to_element_id, s(r.formula));
  });
  put("lookups", db.lookups(), [&](const LookupRow& r) { return cat(r.table, r.id, s(r.name)); });
  put("cover_vin_list", db.cover_vin_list(), [](const StoredString&) { return std::string(); });
  put("vehicle_spec_schemas", db.vehicle_spec_schemas(), [](const VehicleSpecSchemaRow& r) {
    return cat(r.id, r.make_id, r.vehicle_type_id, +r.skip);
  });
  put("vspec_schema_patterns", db.vspec_schema_patterns(),
      [](const VSpecSchemaPatternRow& r) { return cat(r.id, r.schema_id); });
  put("vehicle_spec_patterns", db.vehicle_spec_patterns(), [&](const VehicleSpecPatternRow& r) {
    return cat(r.id, r.vspec_schema_pattern_id, +r.is_key, r.element_id, s(r.attribute_id),
               r.created_on);
  });
  put("vehicle_spec_schema_models", db.vehicle_spec_schema_models(),
      [](const VehicleSpecSchemaModelRow& r) { return cat(r.schema_id, r.model_id); });
  put("vehicle_spec_schema_years", db.vehicle_spec_schema_years(),
      [](const VehicleSpecSchemaYearRow& r) { return cat(r.schema_id, r.year); });
  return out;
}

TEST(FixtureImport, VpicSmallHoldsExactlyTheRowsOfItsSql) {
  std::unique_ptr<ArtifactDb> fixture = testing::load_fixture("vpic_small");
  ArtifactDb expected(vpic_small_rows());
  std::map<std::string, std::vector<std::string>> got = render(fixture->db());
  for (const auto& [table, rows] : render(expected.db())) EXPECT_EQ(got[table], rows) << table;
  // Same rows, same texts interned in the same order: the very same bytes.
  EXPECT_TRUE(std::equal(fixture->bytes().span().begin(), fixture->bytes().span().end(),
                         expected.bytes().span().begin(), expected.bytes().span().end()));
}

TEST(FixtureImport, VpicSmallIsInStoredOrder) {
  std::unique_ptr<ArtifactDb> fixture = testing::load_fixture("vpic_small");
  EXPECT_EQ(check_artifact_orders(fixture->db()), std::vector<std::string>{});
}

TEST(FixtureImport, CommunitySchemasTheirLinksAndTheirOwnWmiAreLeftOut) {
  std::unique_ptr<ArtifactDb> fixture = testing::load_fixture("vpic_small");
  const Db& db = fixture->db();
  EXPECT_FALSE(db.wmi_any("LRW").has_value());
  // 5YJ is NHTSA's own WMI: it stays, without its link to schema 28972.
  ASSERT_TRUE(db.wmi_any("5YJ").has_value());
  auto [first, end] = db.wmi_vin_schemas().equal_range(
      [](const WmiVinSchemaRow& r) { return r.wmi_id; }, db.wmi_any("5YJ")->id);
  ASSERT_EQ(end - first, 1u);
  EXPECT_EQ(db.wmi_vin_schemas()[first].vin_schema_id, 15001);
  for (int32_t schema : {28971, 28972}) {
    auto [p, q] =
        db.patterns().equal_range([](const PatternRow& r) { return r.vin_schema_id; }, schema);
    EXPECT_EQ(p, q) << schema;
  }
}

TEST(FixtureImport, PublicElementsNeedDecodeTextAndNoPrivateMark) {
  std::unique_ptr<ArtifactDb> fixture = testing::load_fixture("vpic_small");
  const Db& db = fixture->db();
  const std::pair<int32_t, bool> cases[] = {
      {5, true},     // Decode "Pattern", IsPrivate 0
      {8, false},    // Decode NULL
      {89, false},   // private, Decode NULL
      {143, true},   // Decode "Decoding", no group
      {186, false},  // private with Decode "Pattern"
      {210, true},   // IsPrivate NULL
  };
  for (const auto& [id, is_public] : cases) {
    EXPECT_EQ(db.is_public(*db.element(id)), is_public) << id;
  }
}

}  // namespace
}  // namespace tamberok
