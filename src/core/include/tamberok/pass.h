// One decoding pass of one VIN under one assumed model year: candidate
// items, vPIC error codes, the corrected VIN and the check-digit verdict,
// and the six correction items that carry them as ordinary elements.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/decode.h"

namespace tamberok {

struct Pass {
  std::vector<DecodingItem> items;   // decode_core's items, then six corrections
  std::vector<int32_t> error_codes;  // ascending, no repeats
  std::string corrected_vin;
  std::optional<int32_t> model_year;
  int32_t pass_id = 0;
  bool check_digit_valid = false;
};

Pass run_pass(const Db& db, std::string_view vin, std::string_view wmi, std::string_view key,
              int64_t now, std::string_view descriptor, int32_t pass_id, bool has_year,
              int32_t year, std::string_view year_key, bool year_certain);

// Appends one correction item ("Corrections", priority 999) carrying text.
void append_correction(std::vector<DecodingItem>& items, int32_t element_id, std::string text);

}  // namespace tamberok
