#include "tamberok/checkdigit.h"

#include <gtest/gtest.h>

#include <string>

namespace tamberok {
namespace {

std::string with(std::string vin, size_t position, char c) {
  vin[position - 1] = c;
  return vin;
}

TEST(CheckDigit, ComputesTheWeightedSumModuloEleven) {
  EXPECT_EQ(check_digit_with_flag("11111111111111111", false), '1');  // sum 89
  EXPECT_EQ(check_digit_with_flag("1M8GDM9AXKP042788", false), 'X');  // sum 351
  EXPECT_EQ(check_digit_with_flag("1HGCM82633A004352", false), '3');
  EXPECT_EQ(check_digit_with_flag("1HGCM82633A004352", true), '3');
}

TEST(CheckDigit, OnlySeventeenBytesHaveOne) {
  EXPECT_FALSE(check_digit_with_flag("1111111111111111", false).has_value());
  EXPECT_FALSE(check_digit_with_flag("111111111111111111", false).has_value());
  EXPECT_FALSE(check_digit_with_flag("", true).has_value());
}

TEST(CheckDigit, CharactersNotAdmittedAtTheirPositionGiveQuestionMark) {
  const std::string base = "11111111111111111";
  struct Case {
    std::string vin;
    bool flag;
    char expected;
  } cases[] = {
      {with(base, 10, 'U'), false, '?'},
      {with(base, 10, 'Z'), false, '?'},
      {with(base, 10, '0'), false, '?'},
      {with(base, 5, 'I'), false, '?'},
      {with(base, 1, 'O'), false, '?'},
      {with(base, 9, 'Q'), false, '?'},
      {with(base, 4, 'a'), false, '?'},
      {with(base, 4, '*'), false, '?'},
      {with(base, 14, 'A'), false, '?'},
      {with(with(base, 14, 'A'), 3, '9'), false, '5'},
      {with(base, 13, 'C'), true, '?'},
      {with(base, 13, 'C'), false, '2'},
      {with(with(base, 13, 'C'), 3, '9'), true, '6'},
      {with(base, 15, 'A'), false, '?'},
      {with(with(base, 17, 'A'), 3, '9'), true, '?'},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(check_digit_with_flag(k.vin, k.flag), k.expected) << k.vin << " flag " << k.flag;
  }
}

TEST(CheckDigit, PositionNineNeverChangesTheResultUnlessRejected) {
  const std::string base = "1HGCM82633A004352";
  for (char c : std::string("0123456789XABCDEFGH")) {
    EXPECT_EQ(check_digit_with_flag(with(base, 9, c), false), '3') << c;
  }
}

}  // namespace
}  // namespace tamberok
