// Vehicle specifications: values that hold for a make, vehicle type, model
// and (optionally) model year once key conditions on already decoded values
// are met.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/decode.h"

namespace tamberok {

inline constexpr int32_t VEHICLE_TYPE_ELEMENT_ID = 39;

// The attribute of the first item of an element read as an integer text;
// none when there is no such item or its attribute does not read (a later
// item of the element is not consulted then).
std::optional<int32_t> first_item_integer(const std::vector<DecodingItem>& items,
                                          int32_t element_id);

// Elements whose items never block a vehicle-spec value (free text).
bool is_free_text_element(int32_t element_id);

// Appends at most one "Vehicle Specs" item per element that the pass lacks.
void append_vehicle_specs(std::vector<DecodingItem>& items, const Db& db, std::string_view wmi,
                          bool has_year, int32_t year);

}  // namespace tamberok
