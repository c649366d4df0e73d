#include "tamberok/tables.h"

#include <algorithm>
#include <utility>

namespace tamberok {

namespace {

// (element id, lookup table index), ascending by element id.
constexpr std::pair<int32_t, uint16_t> ELEMENT_TABLES[] = {
    {2, 0},    {3, 1},    {4, 2},    {5, 3},    {10, 4},   {15, 5},   {23, 6},   {24, 7},
    {25, 8},   {26, 9},   {27, 10},  {28, 11},  {36, 12},  {37, 13},  {39, 14},  {42, 15},
    {55, 16},  {56, 16},  {60, 17},  {62, 18},  {64, 19},  {65, 20},  {66, 7},   {67, 21},
    {69, 22},  {72, 23},  {75, 24},  {78, 25},  {79, 26},  {81, 27},  {86, 28},  {87, 29},
    {88, 30},  {99, 31},  {100, 32}, {101, 33}, {102, 34}, {103, 35}, {104, 36}, {105, 37},
    {107, 16}, {116, 38}, {117, 39}, {122, 40}, {126, 41}, {127, 42}, {135, 43}, {143, 44},
    {145, 45}, {148, 46}, {149, 47}, {151, 48}, {152, 49}, {153, 50}, {168, 51}, {170, 52},
    {171, 53}, {172, 54}, {173, 55}, {174, 56}, {175, 57}, {176, 58}, {177, 59}, {178, 60},
    {179, 61}, {180, 62}, {183, 63}, {184, 8},  {185, 8},  {190, 8},  {192, 64}, {193, 65},
    {194, 66}, {195, 67}, {200, 68}, {201, 69}, {202, 70}, {203, 71},
};
static_assert(std::size(ELEMENT_TABLES) == 78);

}  // namespace

namespace tables {

std::optional<uint16_t> lookup_table_index_of(int32_t element_id) {
  auto it = std::lower_bound(std::begin(ELEMENT_TABLES), std::end(ELEMENT_TABLES), element_id,
                             [](const auto& row, int32_t id) { return row.first < id; });
  if (it == std::end(ELEMENT_TABLES) || it->first != element_id) return std::nullopt;
  return it->second;
}

std::optional<std::string_view> lookup_table_of(int32_t element_id) {
  std::optional<uint16_t> index = lookup_table_index_of(element_id);
  if (!index) return std::nullopt;
  return LOOKUP_TABLE_NAMES[*index];
}

}  // namespace tables

int32_t group_rank(std::string_view group_name) {
  for (size_t i = 0; i < GROUP_NAMES.size(); ++i) {
    if (GROUP_NAMES[i] == group_name) return static_cast<int32_t>(i);
  }
  return 99;
}

}  // namespace tamberok
