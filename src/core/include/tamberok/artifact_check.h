// Verifies that an artifact keeps the stored order of every table, ties
// included. Queries binary-search these orders and the corpus generators pick
// rows by position, so an artifact that breaks one answers wrongly without
// any error; the import tool runs this before it replaces the data file, and
// the tests run it over fixtures and the real data.
#pragma once

#include <string>
#include <vector>

#include "tamberok/db.h"

namespace tamberok {

// One line per broken rule ("wmis: row 7 does not sort after row 6"), empty
// for a well-ordered artifact. Also checks that the string table's offsets
// run from 0 to the byte count without going back, and reports a text id
// outside the string table instead of stopping.
std::vector<std::string> check_artifact_orders(const Db& db);

}  // namespace tamberok
