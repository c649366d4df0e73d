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

// What assembling a result needs of one element id: its row (none for a
// negative or unknown id), whether it is shown, its group's display rank
// and the lookup table of its coded values.
struct ElementFacts {
  std::optional<ElementRow> row;
  bool shown = false;
  int32_t rank = 99;
  std::optional<uint16_t> lookup_table;
};

// The facts of an element of this Db, derived once per artifact for the
// ids of its element table and shared by every thread, directly for any
// other. The reference stays valid as long as the Db (for an id beyond the
// table's, until the thread's next call).
const ElementFacts& element_facts(const Db& db, int32_t element_id);

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
