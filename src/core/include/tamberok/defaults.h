// Default values per vehicle type for elements that nothing else supplied.
#pragma once

#include <vector>

#include "tamberok/db.h"
#include "tamberok/decode.h"

namespace tamberok {

// Appends one "Default" item per configured element that has no item yet.
void append_defaults(std::vector<DecodingItem>& items, const Db& db);

}  // namespace tamberok
