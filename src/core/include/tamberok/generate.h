// Test corpora of valid VINs built from the same data the decoder reads:
// every VIN comes from a real WMI, one of its schemas and one of that
// schema's pattern keys, with a correct check digit. `generate` is random but
// reproducible for a seed; the other corpora are enumerated.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamberok/db.h"

namespace tamberok::generate {

// The largest `n` that generate() accepts.
inline constexpr uint64_t GENERATE_MAX = 10'000'000;

// ---- VIN assembly -------------------------------------------------------------

// A 17-character VIN from a WMI (3 or 6 characters), a pattern key laid out
// as a VIN key and a model year; none when it would hold I, O or Q (or a
// byte outside ASCII). Position 9 is the check digit, "0" where none exists.
std::optional<std::string> build_vin(std::string_view wmi, std::string_view key, int32_t year);

// One entry per key position of a key segment: the character to write, or
// none where the key leaves the position free.
std::vector<std::optional<char>> key_positions(std::string_view segment);

// The year to build a schema's VINs for: the latest year of its range that
// is at most max_year and within 2010..2039, else its nearest end.
// `year_to` is 9999 for an open end.
int32_t schema_year(int32_t year_from, int32_t year_to, int32_t max_year);

struct SchemaEntry {
  int32_t vin_schema_id;
  int32_t wmi_id;
  int32_t year_from;
  int32_t year_to;  // 9999 for an open end
};
// One entry per VIN schema that some WMI uses: its smallest WMI id, and for
// that WMI its smallest year range. Ascending by schema id.
std::vector<SchemaEntry> schema_to_wmi(const Db& db);

// (WMI id, code) for every WMI row, ascending by id.
std::vector<std::pair<int32_t, std::string_view>> wmis_by_id(const Db& db);

// (trimmed attribute text, first pattern row index) per distinct text of
// the element's pattern rows, ascending by text.
std::vector<std::pair<std::string, uint32_t>> patterns_by_attribute(const Db& db,
                                                                    int32_t element_id,
                                                                    bool lowercase);

// Binary searches of the two lists above by schema id and by WMI id.
std::optional<SchemaEntry> find_schema(const std::vector<SchemaEntry>& schemas, int32_t schema_id);
std::optional<std::string_view> find_wmi(
    const std::vector<std::pair<int32_t, std::string_view>>& wmis, int32_t wmi_id);

// ---- Corpora --------------------------------------------------------------------

// Conjunctive filter over WMI rows; absent fields do not filter.
struct Filter {
  std::optional<std::string> wmi;   // compared ignoring ASCII case
  std::optional<std::string> make;  // a name of lookup table "make", ignoring ASCII case
  std::optional<int32_t> year;      // a model year the schema link must cover
  std::optional<int32_t> vehicle_type;
};

// Up to n VINs driven by a SplitMix64 stream from `seed`. The caller checks
// n <= GENERATE_MAX. max_year = current year + 2.
std::vector<std::string> generate(const Db& db, uint64_t n, uint64_t seed, const Filter& filter,
                                  int32_t max_year);

enum class Dimension : uint8_t { wmi = 0, pattern, engine, vspec, exception, defaults };
// The dimension of an exact name: "wmi", "pattern", "engine", "vspec",
// "exception" or "default".
std::optional<Dimension> dimension_of(std::string_view name);
inline constexpr std::array<Dimension, 6> ALL_DIMENSIONS = {
    Dimension::wmi,   Dimension::pattern,   Dimension::engine,
    Dimension::vspec, Dimension::exception, Dimension::defaults};

// One VIN per row of every requested dimension, concatenated in order.
std::vector<std::string> sweep(const Db& db, const std::vector<Dimension>& dimensions,
                               int32_t current_year);

// The cover corpus stored in the artifact, exactly as stored.
std::vector<std::string> cover_vins(const Db& db);

// ---- Descriptor classes and covering corpora -------------------------------------

// (VIN position, key index) of the twelve varied descriptor positions.
inline constexpr std::array<std::pair<uint32_t, uint32_t>, 12> VARIED_POSITIONS = {{
    {4, 0},
    {5, 1},
    {6, 2},
    {7, 3},
    {8, 4},
    {11, 7},
    {12, 8},
    {13, 9},
    {14, 10},
    {15, 11},
    {16, 12},
    {17, 13},
}};

// Whether character ch passes token k of a pattern key.
bool key_char_matches(std::string_view key, size_t k, char ch);

// Per varied position, one representative character per class of
// characters that no pattern key of the schema can tell apart.
std::array<std::string, 12> position_classes(const Db& db, int32_t schema_id, char wmi3,
                                             bool car_like);

// Class counts of the twelve varied positions, and a row of class indices.
using ClassCounts = std::array<uint32_t, 12>;
using CoveringRow = std::array<uint32_t, 12>;

// The greedy strength-2 covering rows for these class counts (each at least
// 1), in the order made: the smallest uncovered (i, a, j, b) seeds a row,
// every other position takes the class covering most outstanding pairs,
// ties going to the larger class index.
std::vector<CoveringRow> covering_rows(const ClassCounts& counts);

// Strength-2 covering VINs over descriptor classes, schema by schema; stops
// starting new schemas once `limit` (0: none) VINs are out.
std::vector<std::string> pairwise(const Db& db, uint64_t limit, int32_t current_year);

// A VIN seeded from every distinct pattern key, then pairwise completion.
std::vector<std::string> seeded(const Db& db, uint64_t limit, int32_t current_year);

}  // namespace tamberok::generate
