// Model years: the position-10 cycle and the rule that settles which 30-year
// cycle a VIN belongs to, or leaves two cycles for two decoding passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tamberok/db.h"

namespace tamberok {

// Position-10 characters in cycle order; index i stands for 2010 + i + 30k.
inline constexpr std::string_view MODEL_YEAR_CODES = "ABCDEFGHJKLMNPRSTVWXY123456789";

// The decoded year 2010..2039 of a position-10 character, none for a
// character outside the cycle (I, O, Q, U, Z, 0, lower case, anything else).
std::optional<int32_t> decoded_year(char c);

// A WMI that takes the car rules: vehicle type 2 or 7, or 3 with truck type 1.
bool car_like(const WmiRow& row);
// The same for a WMI code: false when the code has no row.
bool car_like(const Db& db, std::string_view wmi);

// What the model-year rule decided for one VIN.
struct YearPlan {
  bool has_year = false;
  int32_t year = 0;  // meaningful when has_year
  bool year_certain = true;
  bool second_pass = false;  // also try year - 30 (the two-cycle case)
};

// The plan for a normalised VIN of at least 10 characters, its WMI and the
// current civil year.
YearPlan model_year_plan(const Db& db, std::string_view vin, std::string_view wmi,
                         int32_t current_year);

namespace year {
// The number of VIN schemas of the WMI with this code whose year range holds
// `year`; an open-ended range has no upper bound here.
size_t schema_count(std::string_view code, const Db& db, int32_t year);

// schema_count(code, db, year) != 0, stopping at the first such schema.
bool has_schema(std::string_view code, const Db& db, int32_t year);
}  // namespace year

}  // namespace tamberok
