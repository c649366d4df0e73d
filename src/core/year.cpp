#include "tamberok/year.h"

#include "tamberok/schema_index.h"
#include "tamberok/text.h"
#include "tamberok/trace.h"

namespace tamberok {

std::optional<int32_t> decoded_year(char c) {
  size_t at = MODEL_YEAR_CODES.find(c);
  if (at == std::string_view::npos) return std::nullopt;
  return 2010 + static_cast<int32_t>(at);
}

bool car_like(const WmiRow& row) {
  return row.vehicle_type_id == 2 || row.vehicle_type_id == 7 ||
         (row.vehicle_type_id == 3 && row.truck_type_id == 1);
}

bool car_like(const Db& db, std::string_view wmi) {
  std::optional<WmiRow> row = db.wmi_any(wmi);
  return row && car_like(*row);
}

namespace year {

namespace {

bool covers(const WmiVinSchemaRow& link, int32_t year) {
  return link.year_from <= year && (link.year_to == NONE_I32 || link.year_to >= year);
}

}  // namespace

size_t schema_count(std::string_view code, const Db& db, int32_t year) {
  std::optional<WmiRow> wmi = db.wmi_any(code);
  if (!wmi) return 0;
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  auto [first, end] = schema_index(db).links(wmi->id);
  size_t count = 0;
  for (size_t i = first; i < end; ++i) count += covers(links[i], year) ? 1 : 0;
  return count;
}

bool has_schema(std::string_view code, const Db& db, int32_t year) {
  std::optional<WmiRow> wmi = db.wmi_any(code);
  if (!wmi) return false;
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  auto [first, end] = schema_index(db).links(wmi->id);
  for (size_t i = first; i < end; ++i) {
    if (covers(links[i], year)) return true;
  }
  return false;
}

}  // namespace year

namespace {

// Picks between y and y + delta by which one the WMI has schemas for,
// preferring y; a VIN of a year with no schemas at all keeps y.
int32_t settle(const Db& db, std::string_view wmi, int32_t y, int32_t current_year) {
  int32_t delta = 0;
  if (y >= 1980 && y <= current_year - 28) {
    delta = 30;
  } else if (y >= 2010 && y <= current_year + 2) {
    delta = -30;
  } else {
    TAMBEROK_TRACE(year_settled_by_position_10);
    return y;
  }
  if (TAMBEROK_TRACE_IF(year::has_schema(wmi, db, y), year_kept_by_schema_count)) return y;
  if (TAMBEROK_TRACE_IF(year::has_schema(wmi, db, y + delta), year_moved_by_schema_count))
    return y + delta;
  TAMBEROK_TRACE(year_kept_without_schemas);
  return y;
}

}  // namespace

YearPlan model_year_plan(const Db& db, std::string_view vin, std::string_view wmi,
                         int32_t current_year) {
  YearPlan plan;
  std::optional<int32_t> y0 = vin.size() >= 10 ? decoded_year(vin[9]) : std::nullopt;
  if (!y0) return plan;

  bool car = car_like(db, wmi);
  if (!TAMBEROK_TRACE_IF(car, year_rule_car_like)) TAMBEROK_TRACE(year_rule_not_car_like);
  char p7 = vin[6];
  bool p7_digit = is_ascii_digit(p7);
  bool p7_letter = is_ascii_upper(p7);
  int32_t y = (car && p7_digit) ? *y0 - 30 : *y0;

  bool settle_now = false;
  if (car && p7_letter) {
    if (y > current_year + 2) y -= 30;
    settle_now = true;
  } else if (y > current_year + 2) {
    y -= 30;
    settle_now = true;
  } else if (car && p7_digit) {
    settle_now = true;
  }

  plan.has_year = true;
  if (!settle_now) {
    // Two cycles are equally plausible: decode both and let the passes compete.
    TAMBEROK_TRACE(year_two_cycles);
    plan.year = *y0;
    plan.year_certain = false;
    plan.second_pass = true;
    return plan;
  }
  plan.year = settle(db, wmi, y, current_year);
  plan.year_certain = true;
  return plan;
}

}  // namespace tamberok
