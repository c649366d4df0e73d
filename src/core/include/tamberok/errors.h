// Character validation of one pass: the descriptor characters of a VIN
// against those its manufacturer's pattern keys allow, as vPIC error codes
// 2-6 and 14 with a suggested VIN, possible values and unused positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamberok/db.h"

namespace tamberok {

// Characters tried or admitted at descriptor positions, in this order.
inline constexpr std::string_view VIN_ALPHABET = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789";

struct ErrorOutcome {
  std::vector<int32_t> error_codes;  // 6, then at most one of 2..5, then 14
  std::string suggested_vin;
  std::string possible_values;
  std::optional<std::string> unused_positions;  // present exactly with code 14
};

// (key position counted from 1, character) pairs that a pattern key allows.
std::vector<std::pair<uint32_t, char32_t>> valid_chars_in_key(std::string_view key);

// The VIN with `text` in place of the character at `position` (from 1),
// cut to 17 characters.
std::string build_replace(const std::vector<char32_t>& vin, int32_t position,
                          std::string_view text);

ErrorOutcome errorcode(const Db& db, std::string_view vin, std::string_view wmi, int32_t has_year,
                       int32_t year, const std::vector<std::string>& matched_keys);

// Test hooks: the calling thread's KEY_CHARS entry count, and the number of
// position maps (one per WMI code and run of years) made for `db`.
size_t key_chars_size();
size_t position_maps_built(const Db& db);

}  // namespace tamberok
