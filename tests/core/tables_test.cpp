#include "tamberok/tables.h"

#include <gtest/gtest.h>

#include <set>

namespace tamberok {
namespace {

TEST(LookupTables, CodedElementsNameTheirTablesOthersNone) {
  // The first and last tables, and tables that several elements share.
  const std::tuple<int32_t, const char*, uint16_t> cases[] = {{2, "batterytype", 0},
                                                              {203, "wheeliemitigation", 71},
                                                              {26, "make", 9},
                                                              {24, "fueltype", 7},
                                                              {66, "fueltype", 7},
                                                              {25, "grossvehicleweightrating", 8},
                                                              {190, "grossvehicleweightrating", 8},
                                                              {55, "airbaglocations", 16},
                                                              {107, "airbaglocations", 16},
                                                              {143, "errorcode", 44}};
  for (const auto& [element, table, index] : cases) {
    EXPECT_EQ(tables::lookup_table_of(element), table) << element;
    EXPECT_EQ(tables::lookup_table_index(table), index) << table;
    EXPECT_EQ(tables::lookup_table_index_of(element), index) << element;
  }
  for (int32_t id : {8, 16, 45, 82, 89, 90, 91, 96, 97, 98, 140, 141, 187, 0, -1, 204, 157}) {
    EXPECT_EQ(tables::lookup_table_of(id), std::nullopt) << id;
    EXPECT_EQ(tables::lookup_table_index_of(id), std::nullopt) << id;
  }
}

TEST(LookupTables, NamesAreDistinctAndMatchExactly) {
  std::set<std::string_view> names(LOOKUP_TABLE_NAMES.begin(), LOOKUP_TABLE_NAMES.end());
  EXPECT_EQ(names.size(), 72u);
  for (const char* name : {"Make", "make ", ""}) {
    EXPECT_EQ(tables::lookup_table_index(name), std::nullopt) << name;
  }
}

TEST(GroupRank, ExactNamesRankInDisplayOrderOthersLast) {
  const std::pair<const char*, int32_t> cases[] = {{"", 0},
                                                   {"General", 1},
                                                   {"Exterior/Wheel Tire", 6},
                                                   {"Mechanical/Battery/Charger", 15},
                                                   {"Engine", 16},
                                                   {"Internal", 26},
                                                   {"general", 99},
                                                   {"Exterior / Wheel tire", 99},
                                                   {" General", 99}};
  for (const auto& [name, rank] : cases) EXPECT_EQ(group_rank(name), rank) << name;
}

}  // namespace
}  // namespace tamberok
