#include "tamberok/defaults.h"

#include <optional>
#include <string_view>

#include "tamberok/element_set.h"
#include "tamberok/text.h"
#include "tamberok/vehicle_spec.h"

namespace tamberok {

namespace {

constexpr int32_t DEFAULT_PRIORITY = 10;

// A coded element whose default id is exactly "0" means "not applicable to
// this vehicle type" and is shown as such rather than looked up. Any other
// text ("00", " 0") is an id to resolve like every other.
std::string default_value(const Db& db, int32_t element_id, std::string_view text) {
  std::optional<ElementRow> element = db.element(element_id);
  if (element && text == "0" && eq_ignore_ascii_case(db.string(element->data_type), "lookup")) {
    return "Not Applicable";
  }
  return "XXX";
}

}  // namespace

void append_defaults(std::vector<DecodingItem>& items, const Db& db) {
  std::optional<int32_t> vehicle_type = first_item_integer(items, VEHICLE_TYPE_ELEMENT_ID);
  if (!vehicle_type) return;
  // Taken once: the rows of a vehicle type name each element once, so the
  // items added below never need to block each other.
  ElementSet present;
  for (const DecodingItem& item : items) present.insert(item.element_id);

  Table<DefaultValueRow> rows = db.default_values();
  auto [first, end] =
      rows.equal_range([](const DefaultValueRow& r) { return r.vehicle_type_id; }, *vehicle_type);
  for (size_t i = first; i < end; ++i) {
    DefaultValueRow d = rows[i];
    if ((d.enabled & 1) == 0 || present.contains(d.element_id)) continue;
    std::string_view text = db.string(d.default_value);
    items.push_back({.attribute_id = std::string(text),
                     .value = default_value(db, d.element_id, text),
                     .source = "Default",
                     .created_on = d.created_on,
                     .pattern_id = NONE_I32,
                     .vin_schema_id = NONE_I32,
                     .wmi_id = NONE_I32,
                     .element_id = d.element_id,
                     .priority = DEFAULT_PRIORITY,
                     .to_be_qced = false});
  }
}

}  // namespace tamberok
