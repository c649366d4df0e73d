#include "tamberok/checkdigit.h"

#include <cstdint>

namespace tamberok {

namespace {

constexpr uint32_t WEIGHTS[17] = {8, 7, 6, 5, 4, 3, 2, 10, 0, 9, 8, 7, 6, 5, 4, 3, 2};

// Transliteration values of "A".."Z"; I, O and Q are never admitted.
constexpr uint32_t LETTER_VALUES[26] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 1, 2, 3, 4,
                                        5, 0, 7, 0, 9, 2, 3, 4, 5, 6, 7, 8, 9};
constexpr uint32_t LETTER_MASK =
    ~((1u << ('I' - 'A')) | (1u << ('O' - 'A')) | (1u << ('Q' - 'A'))) & ((1u << 26) - 1);

bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

bool is_vin_char(unsigned char c) {
  return is_digit(c) || (c >= 'A' && c <= 'Z' && ((LETTER_MASK >> (c - 'A')) & 1));
}

bool is_year_char(unsigned char c) {
  if (c >= '1' && c <= '9') return true;
  return is_vin_char(c) && c >= 'A' && c <= 'Z' && c != 'U' && c != 'Z';
}

uint32_t value_of(unsigned char c) {
  return is_digit(c) ? c - '0' : LETTER_VALUES[c - 'A'];
}

}  // namespace

std::optional<char> check_digit_with_flag(std::string_view vin, bool flag) {
  if (vin.size() != 17) return std::nullopt;
  bool third_is_nine = vin[2] == '9';
  uint32_t sum = 0;
  for (size_t i = 0; i < 17; ++i) {
    unsigned char c = static_cast<unsigned char>(vin[i]);
    size_t position = i + 1;
    bool admitted;
    if (position == 10) {
      admitted = is_year_char(c);
    } else if (position == 13) {
      admitted = (flag && !third_is_nine) ? is_digit(c) : is_vin_char(c);
    } else if (position == 14) {
      admitted = third_is_nine ? is_vin_char(c) : is_digit(c);
    } else if (position >= 15) {
      admitted = is_digit(c);
    } else {
      admitted = is_vin_char(c);
    }
    if (!admitted) return '?';
    sum += WEIGHTS[i] * value_of(c);
  }
  uint32_t r = sum % 11;
  return r == 10 ? 'X' : static_cast<char>('0' + r);
}

}  // namespace tamberok
