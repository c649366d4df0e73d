// What a decode returns: the nested result with one record per decoded
// attribute, its flat form (one value per variable name), and the compact
// JSON text of either.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tamberok {

struct DecodedElement {
  // Texts of the element table: views into the artifact, valid for as long
  // as the artifact (the process, for the embedded one).
  std::string_view group_name;
  std::string_view variable;
  std::string value;
  int32_t element_id = 0;
  std::string attribute_id;
  std::string_view code;
  std::string_view data_type;
  std::string_view decode;
  std::string source;
  std::optional<int32_t> pattern_id;
  std::optional<int32_t> vin_schema_id;
  std::string keys;
  std::optional<int64_t> created_on;  // microseconds since 1970 UTC
  std::optional<int32_t> wmi_id;
  bool to_be_qced = false;

  bool operator==(const DecodedElement&) const = default;
};

struct DecodeResult {
  std::string vin;
  std::string wmi;
  std::string descriptor;
  std::optional<int32_t> model_year;
  std::vector<int32_t> error_codes;  // ascending, no repeats
  bool check_digit_valid = false;
  std::string corrected_vin;
  std::vector<DecodedElement> elements;

  bool operator==(const DecodeResult&) const = default;
};

// One text (the first value seen), or a list for the multi-valued elements.
using FlatValue = std::variant<std::string, std::vector<std::string>>;

struct FlatResult {
  std::string vin;
  std::string wmi;
  std::string descriptor;
  std::optional<int32_t> model_year;
  std::vector<int32_t> error_codes;
  bool check_digit_valid = false;
  std::string corrected_vin;
  // One pair per distinct variable name, in order of first appearance.
  std::vector<std::pair<std::string_view, FlatValue>> attributes;

  // Consumes the nested result.
  static FlatResult from(DecodeResult result);

  bool operator==(const FlatResult&) const = default;
};

// Compact JSON text of a result: members in declared order, no white space.
std::string to_json(const DecodeResult& result);
std::string to_json(const FlatResult& result);

}  // namespace tamberok
