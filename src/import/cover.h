// The stored cover corpus: a small set of VIN texts that between them reach
// every decode behaviour a large candidate pool reaches. The import tool
// builds the pool from the new artifact's own corpora (sweep, seeded,
// pairwise and malformed variants of a sample of them), decodes each text
// with the tracing build of the decoder, and keeps a greedy set cover of the
// behaviour features seen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/result.h"

namespace tamberok::cover {

// What a feature is about; the rest of a feature names the case.
// clang-format off
enum class FeatureKind : uint8_t {
  error_code,          // a vPIC error code of the chosen pass
  element_source,      // an element given a value by a kind of source
  element_conversion,  // an element given a value by one conversion row
  decision,            // a decoder decision point (trace::Hook)
  check_digit,         // the check-digit verdict (CheckDigit)
  validation,          // what character validation left in the result (Validation)
  input,               // a class of the input text (InputClass)
};
// clang-format on
inline constexpr size_t FEATURE_KIND_COUNT = 7;
inline constexpr std::array<std::string_view, FEATURE_KIND_COUNT> FEATURE_KIND_NAMES = {
    "error codes", "element sources", "conversions",  "decisions",
    "check digit", "validation",      "input classes"};

// The rule behind an element's value, read from its source text.
enum class SourceKind : uint8_t {
  pattern,               // "Pattern"
  engine_model_pattern,  // "EngineModelPattern"
  formula_pattern,       // "Formula Pattern"
  make_from_model,       // "pattern - model"
  make_from_wmi,         // "Make"
  wmi_row,               // "VehType", "Manu. Name", "Manu. Id"
  model_year,            // "ModelYear"
  conversion,            // "Conversion <id>: ..."
  vehicle_spec,          // "Vehicle Specs"
  default_value,         // "Default"
  correction,            // "Corrections"
  other,
};

enum class CheckDigit : uint8_t { valid, invalid, excepted, short_vin, not_computable };

enum class Validation : uint8_t { suggested_vin_marked, possible_values_present };

enum class InputClass : uint8_t {
  empty,
  length_1_to_2,
  length_3_to_10,
  length_11_to_16,
  length_17,
  longer_than_17,
  lower_case,
  surrounding_white_space,
  non_ascii,
  letter_i,
  letter_o,
  letter_q,
  other_invalid_character,
};

// A feature packed into one word: kind in the top byte, then a 24-bit
// subject (code, element id, hook or class) and a 32-bit case.
using Feature = uint64_t;
Feature make_feature(FeatureKind kind, uint32_t subject, uint32_t detail = 0);
FeatureKind kind_of(Feature feature);

SourceKind source_kind(std::string_view source);

// The features a decode result and the hooks noted while decoding it show,
// for the input text it was decoded from; ascending, no repeats. Pass
// hooks 0 to get only what the result shows.
std::vector<Feature> features_of(std::string_view text, const DecodeResult& result, uint64_t hooks);

// Traced decode (hooks included when the core is the tracing build).
std::vector<Feature> decode_features(const Db& db, std::string_view text, int64_t now,
                                     int32_t current_year);

// The clock the corpus is chosen under: the latest creation or update time
// of a WMI row, so that the choice depends on the database alone.
int64_t data_time(const Db& db);

// The candidate texts: every VIN of sweep, seeded and pairwise, first
// appearance kept, then malformed variants of every SAMPLE_STRIDE-th of them.
inline constexpr size_t SAMPLE_STRIDE = 64;
std::vector<std::string> candidate_pool(const Db& db, int32_t current_year);

// Truncations to 3, 8, 11 and 13 characters, one extra character, lower
// case, surrounding blanks, the character at `position` (from 1) replaced by
// each of I, O, Q, "*" and a non-ASCII letter, and another check digit.
std::vector<std::string> malformed_variants(std::string_view vin, size_t position);

// Greedy set cover: repeatedly the set that adds most uncovered features,
// ties to the earlier set, until nothing is left to add. Indices in pick
// order.
std::vector<size_t> greedy_cover(const std::vector<std::vector<uint32_t>>& sets);

struct CoverCorpus {
  std::vector<std::string> vins;  // in pick order
  std::array<size_t, FEATURE_KIND_COUNT> features_by_kind{};
  size_t candidates = 0;
  double seconds = 0;
};

// Decodes the pool on the worker pool and picks the corpus.
CoverCorpus choose_cover_corpus(const Db& db);

// "cover corpus: N features (...), N candidates, N VINs, S s"
std::string describe(const CoverCorpus& corpus);

// `n` with a comma between each group of three digits, as the tool prints counts.
std::string with_commas(size_t n);

}  // namespace tamberok::cover
