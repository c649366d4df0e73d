#include "tamberok/checkdigit.h"

#include <gtest/gtest.h>

#include <string>

namespace tamberok {
namespace {

std::string with(std::string vin, size_t position, char c) {
  vin[position - 1] = c;
  return vin;
}

TEST(CheckDigit, WeightedSumModuloElevenOfSeventeenAdmittedCharacters) {
  const std::string ones = "11111111111111111";
  const std::tuple<std::string, bool, std::optional<char>> cases[] = {
      {ones, false, '1'},                 // sum 89
      {"1M8GDM9AXKP042788", false, 'X'},  // sum 351
      {"1HGCM82633A004352", false, '3'},
      {"1HGCM82633A004352", true, '3'},
      // Only seventeen bytes have one.
      {"1111111111111111", false, std::nullopt},
      {"111111111111111111", false, std::nullopt},
      {"", true, std::nullopt},
      // A character not admitted at its position gives "?".
      {with(ones, 10, 'U'), false, '?'},
      {with(ones, 10, 'Z'), false, '?'},
      {with(ones, 10, '0'), false, '?'},
      {with(ones, 5, 'I'), false, '?'},
      {with(ones, 1, 'O'), false, '?'},
      {with(ones, 9, 'Q'), false, '?'},
      {with(ones, 4, 'a'), false, '?'},
      {with(ones, 4, '*'), false, '?'},
      {with(ones, 14, 'A'), false, '?'},
      {with(with(ones, 14, 'A'), 3, '9'), false, '5'},
      {with(ones, 13, 'C'), true, '?'},
      {with(ones, 13, 'C'), false, '2'},
      {with(with(ones, 13, 'C'), 3, '9'), true, '6'},
      {with(ones, 15, 'A'), false, '?'},
      {with(with(ones, 17, 'A'), 3, '9'), true, '?'},
  };
  for (const auto& [vin, flag, expected] : cases) {
    EXPECT_EQ(check_digit_with_flag(vin, flag), expected) << vin << " flag " << flag;
  }
  // Position 9 never changes the result unless it is rejected.
  for (char c : std::string("0123456789XABCDEFGH")) {
    EXPECT_EQ(check_digit_with_flag(with("1HGCM82633A004352", 9, c), false), '3') << c;
  }
}

}  // namespace
}  // namespace tamberok
