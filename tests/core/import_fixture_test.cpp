// The vpic_small fixture, imported by tamberok-import at build time, holds
// exactly the rows of tests/fixtures/vpic_small.sql, mapped to the artifact:
// timestamps as UTC microseconds, NULLs as NONE, group names in their
// group-rank spelling, element flags from IsPrivate and Decode, and without
// the community-contributed schemas.
#include <algorithm>

#include "support.h"
#include "tamberok/generate.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

// The fixture's rows as the artifact must hold them. Left out: WMI LRW,
// schemas 28971 and 28972, their patterns and their links (5YJ's included).
artifact::Contents vpic_small_rows() {
  artifact::Contents c;
  const int32_t none = NONE_I32;
  // Created 2015-03-05 15:21:47.627000, 2015-03-09 11:00:00, 2015-03-11 09:45:12.1 (updated
  // 2016-01-04 08:00:00.000000), never, and 2019-07-01T12:00:00.5Z.
  c.wmis = {{2094, "1HG", 988, none, 2, none, 1425568907627000, 1426001130000000},
            {2101, "5YJ", 955, 441, 2, none, 1425898800000000},
            {3120, "1FT", 976, 460, 3, 1, 1426067112100000, 1451894400000000},
            {3300, "JH2", 988, 474, 1},
            {9001, "1P9A12", 1001, none, 6, none, 1561982400500000, 1561982400500000}};
  c.wmi_vin_schemas = {{2095, 2094, 2371, 1990, 2013},  {34001, 2094, 9774, 2003, 2003},
                       {34002, 2094, 5660, 2003, 2004}, {34003, 2094, 20001, 2018},
                       {40001, 2101, 15001, 2017},      {41001, 3120, 16001, 2015, 2020},
                       {42001, 9001, 17001, 2010}};
  c.vin_schemas = {{2371}, {5660}, {9774}, {15001}, {16001}, {17001}, {20001}};
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
      {700001, 17001, "12***", 116, "1", 1561984200000000}};
  // Decode NULL (8, 89) gives an empty decode text and an element that is not
  // included; IsPrivate 1 (89, 186) an excluded one, IsPrivate NULL (210) not.
  auto element = [](int32_t id, std::string name, std::string code, std::string group,
                    std::string type, std::string decode, int32_t weight, bool excluded = false) {
    bool included = !decode.empty();
    return artifact::Element{id, name, code, excluded, group, type, decode, included, weight};
  };
  const std::string pattern = "Pattern", engine = "Engine", general = "General";
  c.element_defs = {
      element(1, "Other Battery Info", "BatteryInfo", "Mechanical/Battery", "string", pattern,
              none),
      element(3, "Bed Type", "BedType", "Exterior/Truck", "lookup", pattern, none),
      element(5, "Body Class", "BodyClass", "Exterior/Body", "lookup", pattern, 99),
      element(8, "Country Name", "Country", "", "lookup", "", none),
      element(9, "Engine Number of Cylinders", "EngineCylinders", engine, "int", pattern, 88),
      element(11, "Displacement (CC)", "DisplacementCC", engine, "decimal", pattern, 98),
      element(12, "Displacement (CI)", "DisplacementCI", engine, "decimal", pattern, none),
      element(13, "Displacement (L)", "DisplacementL", engine, "decimal", pattern, none),
      element(18, "Engine Model", "EngineModel", engine, "string", pattern, 55),
      element(24, "Fuel Type - Primary", "FuelTypePrimary", engine, "lookup", pattern, 91),
      element(25, "Gross Vehicle Weight Rating From", "GVWR", "Exterior/Dimension", "lookup",
              pattern, 70),
      element(26, "Make", "Make", general, "lookup", "WMI, Pattern", 99),
      element(27, "Manufacturer Name", "Manufacturer", general, "lookup", "WMI", none),
      element(28, "Model", "Model", general, "lookup", pattern, 99),
      element(29, "Model Year", "ModelYear", general, "int", "WMI, Input", 99),
      element(31, "Plant City", "PlantCity", general, "string", pattern, 98),
      element(38, "Trim", "Trim", general, "string", pattern, 61),
      element(39, "Vehicle Type", "VehicleType", general, "lookup", "WMI", 99),
      element(75, "Plant Country", "PlantCountry", general, "lookup", pattern, 99),
      element(86, "Anti-lock Braking System (ABS)", "ABS", "Active Safety System", "lookup",
              pattern, none),
      element(88, "Blind Spot Warning (BSW)", "BlindSpotMon",
              "Active Safety System/Lane and Side Assist", "lookup", pattern, none),
      element(89, "CAFE Body Type", "CAFEBodyType", "", "lookup", "", none, true),
      element(114, "Note", "Note", general, "string", pattern, none),
      element(116, "Trailer Type Connection", "TrailerType", "Exterior/Trailer", "lookup", pattern,
              none),
      element(119, "Wheel Size Front (inches)", "WheelSizeFront", "Exterior/Wheel Tire", "int",
              pattern, none),
      element(121, "Other Restraint System Info", "OtherRestraintSystemInfo",
              "Passive Safety System", "string", pattern, none),
      element(143, "Error Code", "ErrorCode", "", "lookup", "Decoding", none),
      element(186, "NCSA Note", "NCSANote", "Internal", "string", pattern, none, true),
      element(191, "Error Text", "ErrorText", "", "string", "Decoding", none),
      element(210, "Legacy Flag", "LegacyFlag", "Legacy  /  Misc", "string", pattern, none),
  };
  c.make_models = {{474, 1861}, {474, 1864}, {441, 10199}, {460, 1801}};
  c.wmi_makes = {{2094, 474}, {2101, 441}, {3120, 460}, {3300, 474}};
  c.engine_models = {{28, "3306"}, {301, "J30A4"}};
  c.engine_model_patterns = {{1, 28, 9, "6", 1456937225727000},      // 2016-03-02 16:47:05.727000
                             {3001, 301, 9, "6", 1456937809000000},  // 2016-03-02 16:56:49
                             {3002, 301, 13, "3.0", 1456937809000000},
                             {3003, 301, 24, "4", NONE_I64}};
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
  auto lookups = [&](uint16_t table, std::vector<std::pair<int32_t, std::string>> rows) {
    for (auto& [id, name] : rows) c.lookups.push_back({table, id, name});
  };
  lookups(3, {{3, "Coupe"}, {13, "Sedan/Saloon"}});
  lookups(7, {{1, "Diesel"}, {4, "Gasoline"}});
  lookups(9, {{441, "Tesla"}, {460, "Ford"}, {474, "Honda"}});
  lookups(10, {{955, "TESLA, INC."}, {976, "FORD MOTOR COMPANY"}});
  lookups(10, {{988, "AMERICAN HONDA MOTOR CO., INC."}, {1001, "ACME TRAILER CO."}});
  lookups(11, {{1801, "F-150"}, {1861, "Accord"}, {1864, "Civic"}, {10199, "Model 3"}});
  lookups(14, {{1, "Motorcycle"}, {2, "Passenger Car"}, {3, "Truck"}, {6, "Trailer"}});
  lookups(14, {{7, "Multipurpose Passenger Vehicle (MPV)"}});
  lookups(24, {{1, "CANADA"}, {6, "UNITED STATES (USA)"}});
  lookups(28, {{1, "Standard"}, {2, "Optional"}, {3, "Not Available"}});
  // From the fixture's ErrorCode table, not from the supplement file.
  lookups(44,
          {{0, "0 - VIN decoded clean. Check Digit (9th position) is correct"},
           {1, "1 - Check Digit (9th position) does not calculate properly"},
           {2, "2 - VIN corrected, error in one position "},
           {3, "3 - VIN corrected, error in one position (assuming Check Digit is correct)"},
           {4,
            "4 - VIN corrected, error in one position only (indicated by ! in Suggested VIN), "
            "multiple matches found"},
           {5, "5 - VIN has errors in few positions"},
           {6, "6 - Incomplete VIN"},
           {7,
            "7 - Manufacturer is not registered with NHTSA for sale or importation in the U.S. for "
            "use on U.S roads; Please contact the manufacturer directly for more information"},
           {8, "8 - No detailed data available currently"},
           {9,
            "9 - Glider Warning - A \"Glider\" is not a \"motor vehicle\", as defined in 49 U.S.C. "
            "30102(a)(6), and cannot be assigned a VIN that meets 49 CFR Part 565 requirements"},
           {10,
            "10 - Off-road Vehicle Warning – This is not a vehicle identification number (VIN) for "
            "a motor vehicle. This indicates that the manufacturer did not certify this product as "
            "complying with the Federal motor vehicle safety standards which are applicable to "
            "motor vehicles as defined at 49 U.S.C. 30102."},
           {11,
            "11 - Incorrect Model Year - Position 10 does not match valid model year codes (I, O, "
            "Q, U, Z, 0). Decoded data may not be accurate."},
           {12,
            "12 - Model Year Warning - Model Year entered for decoding with VIN does not match the "
            "model year based on the 10th position in VIN."},
           {14,
            "14 - Unable to provide information for some of the characters in the VIN, based on "
            "the manufacturer submission."},
           {400, "400 - Invalid Characters Present"}});
  c.vehicle_spec_schemas = {{101, 474, 2}, {102, 441, 2}, {103, 474, -1}};
  c.vspec_schema_patterns = {{1001, 101}, {1002, 101}, {1003, 102}};
  const int64_t may = 1588291200000000, june = 1590969600000000, jan = 1609459200000000;
  c.vehicle_spec_patterns = {
      {5001, 1001, true, 38, "EX-V6", may},  {5002, 1001, false, 86, "1", may},
      {5003, 1001, false, 88, "2", may},     {5004, 1002, true, 5, "3", june},
      {5005, 1002, true, 38, "lx-v6", june}, {5006, 1002, false, 86, "3", june},
      {5007, 1003, true, 28, "10199", jan},  {5008, 1003, false, 86, "1", jan}};
  c.vehicle_spec_schema_models = {{101, 1861}, {102, 10199}};
  c.vehicle_spec_schema_years = {{101, 2003}, {101, 2004}};
  return c;
}

TEST(FixtureImport, VpicSmallHoldsExactlyTheRowsOfItsSql) {
  std::unique_ptr<ArtifactDb> fixture = testing::load_fixture("vpic_small");
  artifact::Contents rows = vpic_small_rows();
  // Plus the cover corpus the tool chose, which the cover tests check.
  rows.cover_vin_list = generate::cover_vins(fixture->db());
  ArtifactDb expected(rows);
  // Same rows, same texts interned in the same order: the very same bytes,
  // compared table by table to name the one that differs.
  for (size_t t = 0; t < TABLE_COUNT; ++t) {
    EXPECT_EQ(testing::table_bytes(fixture->bytes().span(), TableId(t)),
              testing::table_bytes(expected.bytes().span(), TableId(t)))
        << "table " << t;
  }
  EXPECT_TRUE(std::ranges::equal(fixture->bytes().span(), expected.bytes().span()));
}

}  // namespace
}  // namespace tamberok
