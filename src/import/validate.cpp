#include "validate.h"

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "tamberok/tables.h"

namespace tamberok::import {

// ---- Texts ---------------------------------------------------------------------

namespace {

// The length of the UTF-8 sequence at `at`, 0 when none starts there.
size_t utf8_sequence(std::string_view s, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  auto continuation = [&](size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  unsigned char b = byte(at);
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return continuation(at + 1) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    if (!continuation(at + 1) || !continuation(at + 2)) return 0;
    unsigned char second = byte(at + 1);
    if (b == 0xE0 && second < 0xA0) return 0;  // overlong
    if (b == 0xED && second > 0x9F) return 0;  // surrogate
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (!continuation(at + 1) || !continuation(at + 2) || !continuation(at + 3)) return 0;
    unsigned char second = byte(at + 1);
    if (b == 0xF0 && second < 0x90) return 0;  // overlong
    if (b == 0xF4 && second > 0x8F) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

void append_hex(std::string& out, unsigned char c) {
  char escaped[5];
  std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
  out += escaped;
}

void append_control(std::string& out, unsigned char c) {
  switch (c) {
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      append_hex(out, c);
  }
}

bool is_control(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

}  // namespace

bool is_utf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    size_t n = utf8_sequence(text, at);
    if (n == 0) return false;
    at += n;
  }
  return true;
}

std::string in_quotes(std::string_view text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    size_t n = utf8_sequence(text, at);
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (text.size() > QUOTED_BYTES_MAX && at + std::max<size_t>(n, 1) > QUOTED_BYTES_MAX) {
      return out + "\"... (" + std::to_string(text.size()) + " bytes)";
    }
    if (n == 0) {
      append_hex(out, c);
      n = 1;
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (is_control(c)) {
      append_control(out, c);
    } else {
      out.append(text.substr(at, n));
    }
    at += n;
  }
  out.push_back('"');
  return out;
}

std::string one_line(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  for (char c : message) {
    if (is_control(static_cast<unsigned char>(c))) {
      append_control(out, static_cast<unsigned char>(c));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// ---- Rows ----------------------------------------------------------------------------

namespace {

[[noreturn]] void refuse(std::string_view table, const std::string& row, std::string_view column,
                         const std::string& problem) {
  throw ImportError("table " + std::string(table) + ", " + row + ", column " + std::string(column) +
                    ": " + problem);
}

std::string row_id(int32_t id) {
  return "row id " + std::to_string(id);
}

constexpr auto ID_OF = [](const auto& r) { return r.id; };

// Ids that name one row: a second row with the same id would make "the row
// with this id" depend on how a search halves its table.
template <typename Row, typename Id>
void check_unique_ids(std::string_view table, const std::vector<Row>& rows, Id id) {
  std::unordered_set<int32_t> seen;
  seen.reserve(rows.size());
  for (const Row& r : rows) {
    int32_t value = id(r);
    if (!seen.insert(value).second) {
      refuse(table, row_id(value), "Id",
             "duplicate id: more than one row has the id " + std::to_string(value));
    }
  }
}

bool is_upper_letter_or_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

// Letters that no VIN carries. vPIC lists a few WMIs that hold one; the
// decoder finds them as vPIC does, and only the generators pass them by.
bool is_excluded_letter(char c) {
  return c == 'I' || c == 'O' || c == 'Q';
}

// One warning line for WMI codes that no VIN can carry: their count and the
// first few of them.
void warn_of_codes(std::vector<std::string_view>& codes, std::string_view what,
                   std::vector<std::string>& warnings) {
  if (codes.empty()) return;
  std::sort(codes.begin(), codes.end());
  std::string line = "table Wmi: " + std::to_string(codes.size()) + " WMI codes " +
                     std::string(what) + ", which no VIN carries; kept (";
  for (size_t i = 0; i < codes.size() && i < 5; ++i) {
    line += (i == 0 ? "" : ", ") + std::string(codes[i]);
  }
  line += codes.size() > 5 ? ", ...)" : ")";
  warnings.push_back(line);
}

void check_wmis(const artifact::Contents& c, std::vector<std::string>& warnings) {
  check_unique_ids("Wmi", c.wmis, ID_OF);
  std::unordered_map<std::string_view, int32_t> ids_by_code;
  ids_by_code.reserve(c.wmis.size());
  std::vector<std::string_view> outside_alphabet;
  std::vector<std::string_view> wrong_length;
  for (const artifact::Wmi& r : c.wmis) {
    const std::string& code = r.code;
    bool shaped = (code.size() == 3 || code.size() == 6) &&
                  std::all_of(code.begin(), code.end(), is_upper_letter_or_digit);
    if (!shaped) {
      refuse("Wmi", row_id(r.id), "Wmi",
             "the WMI code " + in_quotes(code) +
                 " is not 3 or 6 characters of the VIN alphabet in upper case");
    }
    if (std::any_of(code.begin(), code.end(), is_excluded_letter)) {
      outside_alphabet.push_back(code);
    }
    // A VIN whose third character is 9 carries a six-character WMI, any
    // other VIN a three-character one.
    if ((code.size() == 6) != (code[2] == '9')) wrong_length.push_back(code);
    auto [it, added] = ids_by_code.emplace(code, r.id);
    if (!added) {
      refuse("Wmi", row_id(r.id), "Wmi",
             "duplicate WMI code " + in_quotes(code) + ", also the code of row id " +
                 std::to_string(it->second));
    }
  }
  warn_of_codes(outside_alphabet, "hold I, O or Q", warnings);
  warn_of_codes(wrong_length, "are 3 characters with 9 third or 6 without", warnings);
}

void check_elements(const artifact::Contents& c) {
  check_unique_ids("Element", c.element_defs, ID_OF);
  for (const artifact::Element& r : c.element_defs) {
    if (r.id < 0 || r.id > ELEMENT_ID_MAX) {
      refuse("Element", row_id(r.id), "Id",
             "element id " + std::to_string(r.id) + " is outside 0 to " +
                 std::to_string(ELEMENT_ID_MAX));
    }
    if (r.weight != NONE_I32 && (r.weight < ELEMENT_WEIGHT_MIN || r.weight > ELEMENT_WEIGHT_MAX)) {
      refuse("Element", row_id(r.id), "weight",
             "weight " + std::to_string(r.weight) + " is outside " +
                 std::to_string(ELEMENT_WEIGHT_MIN) + " to " + std::to_string(ELEMENT_WEIGHT_MAX));
    }
  }
}

void check_conversion_text(std::string_view table, int32_t id, std::string_view column,
                           std::string_view text) {
  if (text.size() > CONVERSION_TEXT_MAX) {
    refuse(table, row_id(id), column,
           "a text that a conversion reads is " + std::to_string(text.size()) +
               " bytes long, more than " + std::to_string(CONVERSION_TEXT_MAX));
  }
}

// Formulas, and every value of an element that a conversion converts.
void check_conversion_texts(const artifact::Contents& c) {
  std::unordered_set<int32_t> sources;
  for (const artifact::Conversion& r : c.conversions) {
    check_conversion_text("Conversion", r.id, "Formula", r.formula);
    sources.insert(r.from_element_id);
  }
  if (sources.empty()) return;
  // The values a conversion reads come from every stage that can supply its source element.
  auto check_values = [&sources](const auto& rows, const char* table, const char* column,
                                 auto field) {
    for (const auto& r : rows) {
      if (sources.count(r.element_id)) check_conversion_text(table, r.id, column, r.*field);
    }
  };
  check_values(c.patterns, "Pattern", "AttributeId", &artifact::Pattern::attribute_id);
  check_values(c.engine_model_patterns, "EngineModelPattern", "AttributeId",
               &artifact::EngineModelPattern::attribute_id);
  check_values(c.default_values, "DefaultValue", "DefaultValue",
               &artifact::DefaultValue::default_value);
  check_values(c.vehicle_spec_patterns, "VehicleSpecPattern", "AttributeId",
               &artifact::VehicleSpecPattern::attribute_id);
}

void check_pair_keys(const artifact::Contents& c) {
  std::unordered_set<int32_t> models;
  for (const artifact::MakeModel& r : c.make_models) {
    if (!models.insert(r.model_id).second) {
      refuse("Make_Model", "row with ModelId " + std::to_string(r.model_id), "ModelId",
             "duplicate ModelId: more than one row has the ModelId " + std::to_string(r.model_id));
    }
  }
  std::vector<std::pair<int32_t, int32_t>> pairs;
  pairs.reserve(c.wmi_makes.size());
  for (const artifact::WmiMake& r : c.wmi_makes) pairs.emplace_back(r.wmi_id, r.make_id);
  std::sort(pairs.begin(), pairs.end());
  auto repeat = std::adjacent_find(pairs.begin(), pairs.end());
  if (repeat != pairs.end()) {
    std::string pair =
        "WmiId " + std::to_string(repeat->first) + " and MakeId " + std::to_string(repeat->second);
    refuse("Wmi_Make", "row with " + pair, "MakeId",
           "duplicate pair: more than one row has the " + pair);
  }
}

void check_lookups(const Import& import) {
  std::vector<std::pair<uint16_t, int32_t>> keys;
  keys.reserve(import.contents.lookups.size());
  for (const artifact::Lookup& r : import.contents.lookups) keys.emplace_back(r.table, r.id);
  std::sort(keys.begin(), keys.end());
  auto repeat = std::adjacent_find(keys.begin(), keys.end());
  if (repeat != keys.end()) {
    std::string table = repeat->first < import.lookup_tables.size()
                            ? import.lookup_tables[repeat->first]
                            : std::string(LOOKUP_TABLE_NAMES.at(repeat->first));
    refuse(table, row_id(repeat->second), "Id",
           "duplicate id: more than one row has the id " + std::to_string(repeat->second));
  }
}

// A WMI reaches the patterns of the schemas its Wmi_VinSchema links name.
// With none reached every VIN decodes to error 8; rows that reach nothing
// decode nothing, and real vPIC data has some: counted in one warning per
// table.
void check_reach(const artifact::Contents& c, std::vector<std::string>& warnings) {
  std::unordered_set<int32_t> wmis, schemas_with_patterns, linked_schemas;
  for (const artifact::Wmi& r : c.wmis) wmis.insert(r.id);
  for (const artifact::Pattern& r : c.patterns) schemas_with_patterns.insert(r.vin_schema_id);
  size_t links_without_wmi = 0, links_without_patterns = 0;
  for (const artifact::WmiVinSchema& r : c.wmi_vin_schemas) {
    bool has_wmi = wmis.count(r.wmi_id) != 0;
    bool has_patterns = schemas_with_patterns.count(r.vin_schema_id) != 0;
    if (has_wmi) linked_schemas.insert(r.vin_schema_id);
    links_without_wmi += has_wmi ? 0 : 1;
    links_without_patterns += has_wmi && !has_patterns ? 1 : 0;
  }
  bool reached = std::any_of(linked_schemas.begin(), linked_schemas.end(),
                             [&](int32_t id) { return schemas_with_patterns.count(id) != 0; });
  if (!reached) {
    throw ImportError(
        "no WMI links to a VIN schema that has patterns (Wmi to Wmi_VinSchema to Pattern): no VIN "
        "would decode");
  }
  size_t patterns_unreached = std::count_if(
      c.patterns.begin(), c.patterns.end(),
      [&](const artifact::Pattern& r) { return linked_schemas.count(r.vin_schema_id) == 0; });
  // Counts, not nouns, come first: one line reads right whatever they are.
  std::string why;
  if (links_without_patterns != 0) {
    why = "naming a VIN schema without patterns: " + std::to_string(links_without_patterns);
  }
  if (links_without_wmi != 0) {
    why += (why.empty() ? "" : ", ") + std::string("naming a WMI that does not exist: ") +
           std::to_string(links_without_wmi);
  }
  if (!why.empty()) {
    warnings.push_back("table Wmi_VinSchema: rows that reach no pattern, kept: " +
                       std::to_string(links_without_wmi + links_without_patterns) + " (" + why +
                       ")");
  }
  if (patterns_unreached != 0) {
    warnings.push_back(
        "table Pattern: rows in VIN schemas that no WMI links to, which no VIN reaches, kept: " +
        std::to_string(patterns_unreached));
  }
}

}  // namespace

std::vector<std::string> validate(const Import& import) {
  const artifact::Contents& c = import.contents;
  std::vector<std::string> warnings;
  check_wmis(c, warnings);
  check_unique_ids("Wmi_VinSchema", c.wmi_vin_schemas, ID_OF);
  check_unique_ids("VinSchema", c.vin_schemas, ID_OF);
  check_unique_ids("Pattern", c.patterns, ID_OF);
  check_elements(c);
  check_pair_keys(c);
  check_unique_ids("EngineModel", c.engine_models, ID_OF);
  check_unique_ids("EngineModelPattern", c.engine_model_patterns, ID_OF);
  check_unique_ids("DefaultValue", c.default_values, ID_OF);
  check_unique_ids("Conversion", c.conversions, ID_OF);
  check_lookups(import);
  check_unique_ids("VehicleSpecSchema", c.vehicle_spec_schemas, ID_OF);
  check_unique_ids("VSpecSchemaPattern", c.vspec_schema_patterns, ID_OF);
  check_unique_ids("VehicleSpecPattern", c.vehicle_spec_patterns, ID_OF);
  check_conversion_texts(c);
  check_reach(c, warnings);
  return warnings;
}

}  // namespace tamberok::import
