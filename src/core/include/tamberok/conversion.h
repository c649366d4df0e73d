// Unit conversions between elements (today the three engine displacements),
// with exact decimal arithmetic: products keep every digit, quotients round
// half away from zero to about 16 significant digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/decode.h"

namespace tamberok {

using uint128 = unsigned __int128;

// A signed fixed-point decimal: digits as written (integer then fraction),
// scale = number of fraction digits.
struct Dec {
  std::string digits;
  uint32_t scale = 0;
  bool negative = false;

  static std::optional<Dec> parse(std::string_view text);
  // (weight, first group): the position of the leading group of four digits,
  // groups aligned at the decimal point.
  static std::pair<int32_t, int64_t> weight_and_firstdigit(const Dec& d);
};

// Quotient digits (one per input digit) and the remainder. divisor != 0.
std::pair<std::string, uint128> long_div(std::string_view digits, uint128 divisor);
// Adds one in the last place when cond is set; all nines gain a leading "1".
std::string round_up_if(std::string digits, bool cond);
// Digits with `scale` of them after a point, leading zeros dropped.
std::string format_fixed(std::string_view digits, uint32_t scale);

// The value of a formula ("#x# / 16.387064 ") applied to an attribute text;
// "0" when it cannot be evaluated.
std::string evaluate_formula(std::string_view formula, std::string_view attribute);

// The conversions stage of a pass: appends one item per target element that
// the pass does not yet have.
void append_conversions(std::vector<DecodingItem>& items, const Db& db);

}  // namespace tamberok
