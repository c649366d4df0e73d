// Unicode data the core needs and the platform does not give in a
// locale-independent way: full upper-case mappings and White_Space.
#pragma once

#include <cstddef>

namespace tamberok::unicode {

struct UpperRow {
  char32_t cp;
  char32_t upper[3];  // unused slots are 0
};

extern const UpperRow UPPER_ROWS[];  // ascending by cp
extern const size_t UPPER_ROW_COUNT;
extern const char32_t WHITE_SPACE[];  // ascending
extern const size_t WHITE_SPACE_COUNT;

}  // namespace tamberok::unicode
