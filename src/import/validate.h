// What the import holds vPIC rows to before anything is written. The module
// reads the artifact in place and trusts it, so a row that would decode
// wrongly (text that is not UTF-8, an id that two rows share, a value that
// makes a decode overflow, allocate or crawl) stops the import here, with one
// line naming the table, the row, the column and the problem. Rows that break
// a rule harmlessly in real vPIC data are kept and counted in a warning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vpic_reader.h"

namespace tamberok::import {

// The decoder indexes elements by id in an array of (largest id + 1) slots.
inline constexpr int32_t ELEMENT_ID_MAX = 65535;
// A pass score adds the weight of each element once: with at most 65,536
// elements of a 16-bit weight, every sum stays inside 32 bits (-2^31 at the
// very least, 2^31 - 65,536 at the most).
inline constexpr int32_t ELEMENT_WEIGHT_MIN = -32768;
inline constexpr int32_t ELEMENT_WEIGHT_MAX = 32767;
// Conversions work in exact decimal arithmetic, quadratic in the length of
// the formula and of the value converted; these texts are a few characters.
inline constexpr size_t CONVERSION_TEXT_MAX = 100;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view text);

// A bad cell can be megabytes long: a message quotes this many bytes of it
// at the most, cut where a character ends, and gives its whole length.
inline constexpr size_t QUOTED_BYTES_MAX = 200;

// The text in double quotes for a one-line message: backslash, quote and
// control characters escaped, bytes that are not UTF-8 as \xNN. A longer
// text than QUOTED_BYTES_MAX ends in `"... (N bytes)`.
std::string in_quotes(std::string_view text);

// The message with its control characters escaped, so it prints as one line
// whatever a database or a path holds.
std::string one_line(std::string_view message);

// Checks the rows of a whole import. Throws ImportError for the first row
// that would decode wrongly, and when no WMI reaches a pattern; returns one
// warning line per rule that rows break harmlessly.
std::vector<std::string> validate(const Import& import);

}  // namespace tamberok::import
