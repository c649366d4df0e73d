// Choosing the best pass of a decode and turning it into the result: coded
// values resolved through the lookup tables, public elements only, in
// display order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/pass.h"
#include "tamberok/result.h"

namespace tamberok {

// Penalty of one error code when ranking passes (0 for codes not listed).
int32_t error_penalty(int32_t code);

// Sums are 64-bit: a weight may be any i32, and one pass may weigh every
// element of the table, so a 32-bit sum could overflow.
struct PassScore {
  int32_t pass_id = 0;
  int64_t penalty = 0;
  int64_t weight_sum = 0;
  int32_t pattern_count = 0;
  std::optional<int32_t> year;
};

PassScore score_pass(const Db& db, const Pass& pass);

// Builds the result from the passes in the order run (at least one).
DecodeResult assemble_result(const Db& db, std::vector<Pass> passes, std::string vin,
                             std::string wmi, std::string descriptor);

}  // namespace tamberok
