// The North American VIN check digit, computed together with a test of every
// character against the class its position admits.
#pragma once

#include <optional>
#include <string_view>

namespace tamberok {

// The check character of a 17-byte VIN: "0".."9" or "X", or "?" when some
// byte is not admitted at its position; none for any other length. With
// `flag` set (a car-like WMI) and a third character other than "9", position
// 13 must be a digit too. Bytes are taken as they are: lower case fails.
std::optional<char> check_digit_with_flag(std::string_view vin, bool flag);

}  // namespace tamberok
