// Candidate search: everything the vehicle database offers for one VIN key
// under one assumed model year, as a list of decoding items.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tamberok/db.h"

namespace tamberok {

// Elements that may carry several values for one VIN (notes); they are
// exempt from the one-item-per-element selection.
inline constexpr std::array<int32_t, 8> MULTI_VALUED_ELEMENTS = {114, 121, 129, 150,
                                                                 154, 155, 169, 186};
bool is_multi_valued(int32_t element_id);

// Elements the decoder itself reads or writes, by their catalogue ids.
namespace element_id {
inline constexpr int32_t BODY_CLASS = 5;
inline constexpr int32_t ENGINE_MODEL = 18;
inline constexpr int32_t MAKE = 26;
inline constexpr int32_t MANUFACTURER = 27;
inline constexpr int32_t MODEL = 28;
inline constexpr int32_t MODEL_YEAR = 29;
inline constexpr int32_t VEHICLE_TYPE = 39;
inline constexpr int32_t SUGGESTED_VIN = 142;
inline constexpr int32_t ERROR_CODE = 143;
inline constexpr int32_t POSSIBLE_VALUES = 144;
inline constexpr int32_t ADDITIONAL_ERROR_TEXT = 156;
inline constexpr int32_t MANUFACTURER_ID = 157;  // has no element row, never shown
inline constexpr int32_t ERROR_TEXT = 191;
inline constexpr int32_t VEHICLE_DESCRIPTOR = 196;
}  // namespace element_id

// The last model year of an open-ended schema link, as the decoder reads it.
inline constexpr int32_t DECODER_OPEN_YEAR_TO = 2999;

// One candidate value of one element within a pass.
struct DecodingItem {
  std::string keys;          // pattern keys, WMI or model-year key behind the item
  std::string attribute_id;  // lookup id (coded elements) or the literal value
  std::string value;         // "XXX": resolve attribute_id through the lookup table
  std::string source;        // the rule that made the item ("Pattern", ...)
  int64_t created_on = NONE_I64;
  int32_t pattern_id = NONE_I32;
  int32_t vin_schema_id = NONE_I32;
  int32_t wmi_id = NONE_I32;
  int32_t element_id = 0;
  int32_t priority = 0;  // larger wins among items of one element
  bool to_be_qced = false;
};

struct DecodeCoreOutput {
  std::vector<DecodingItem> items;
  bool wmi_found = false;  // false: no usable WMI row, and no items
};

// The items of one pass. `wmi` is the upper-case WMI (3 or 6 characters),
// `key` the VIN key, `year_key` the model-year keys text, `cutoff` the
// pass's now in microseconds (WMI rows created later are ignored).
DecodeCoreOutput decode_core(const Db& db, std::string_view wmi, std::string_view key,
                             bool has_year, int32_t year, std::string_view year_key,
                             int64_t cutoff);

}  // namespace tamberok
