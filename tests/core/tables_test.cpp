#include "tamberok/tables.h"

#include <gtest/gtest.h>

#include <set>

namespace tamberok {
namespace {

TEST(LookupTables, CodedElementsNameTheirTables) {
  const struct {
    int32_t element;
    const char* table;
    uint16_t index;
  } cases[] = {{26, "make", 9},
               {24, "fueltype", 7},
               {66, "fueltype", 7},
               {25, "grossvehicleweightrating", 8},
               {184, "grossvehicleweightrating", 8},
               {185, "grossvehicleweightrating", 8},
               {190, "grossvehicleweightrating", 8},
               {55, "airbaglocations", 16},
               {56, "airbaglocations", 16},
               {107, "airbaglocations", 16},
               {143, "errorcode", 44},
               {2, "batterytype", 0},
               {203, "wheeliemitigation", 71},
               {39, "vehicletype", 14},
               {27, "manufacturer", 10}};
  for (const auto& k : cases) {
    ASSERT_EQ(tables::lookup_table_of(k.element), k.table) << k.element;
    EXPECT_EQ(tables::lookup_table_index(k.table), k.index) << k.table;
  }
}

TEST(LookupTables, LookupElementsOutsideTheMapHaveNoTable) {
  for (int32_t id : {8, 16, 45, 82, 89, 90, 91, 96, 97, 98, 140, 141, 187, 0, -1, 204, 157}) {
    EXPECT_FALSE(tables::lookup_table_of(id).has_value()) << id;
  }
}

TEST(LookupTables, NamesAreDistinctAndMatchExactly) {
  std::set<std::string_view> names(LOOKUP_TABLE_NAMES.begin(), LOOKUP_TABLE_NAMES.end());
  EXPECT_EQ(names.size(), 72u);
  EXPECT_FALSE(tables::lookup_table_index("Make").has_value());
  EXPECT_FALSE(tables::lookup_table_index("make ").has_value());
  EXPECT_FALSE(tables::lookup_table_index("").has_value());
  EXPECT_EQ(tables::lookup_table_index("can_aacn"), 56);
}

TEST(GroupRank, ExactNamesRankInDisplayOrderOthersLast) {
  EXPECT_EQ(group_rank(""), 0);
  EXPECT_EQ(group_rank("General"), 1);
  EXPECT_EQ(group_rank("Exterior/Wheel Tire"), 6);
  EXPECT_EQ(group_rank("Mechanical/Battery/Charger"), 15);
  EXPECT_EQ(group_rank("Engine"), 16);
  EXPECT_EQ(group_rank("Internal"), 26);
  EXPECT_EQ(group_rank("general"), 99);
  EXPECT_EQ(group_rank("Exterior / Wheel tire"), 99);
  EXPECT_EQ(group_rank(" General"), 99);
}

}  // namespace
}  // namespace tamberok
