#include "tamberok/vehicle_spec.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <unordered_map>

#include "tamberok/element_set.h"
#include "tamberok/hash.h"
#include "tamberok/text.h"

namespace tamberok {

namespace {

constexpr int32_t MODEL_ELEMENT = 28;
constexpr int32_t VEHICLE_SPEC_PRIORITY = -100;

// The multi-valued note elements plus "Other Battery Info": free text that
// says nothing about whether a coded value is already known.
constexpr std::array<int32_t, 9> FREE_TEXT_ELEMENTS = {1, 114, 121, 129, 150, 154, 155, 169, 186};

// One keyed schema pattern that passed the schema filters.
struct Tbl1 {
  int32_t vspec_schema_pattern_id;
  int32_t schema_id;
  bool to_be_qced;
};

struct SpecCandidate {
  std::string attribute;
  int64_t created_on;
  int32_t schema_id;
  int32_t vspec_schema_pattern_id;
  int32_t element_id;
  bool to_be_qced;
};

std::pair<size_t, size_t> pattern_rows(const Db& db, int32_t vspec_schema_pattern_id) {
  return db.vehicle_spec_patterns().equal_range(
      [](const VehicleSpecPatternRow& r) { return r.vspec_schema_pattern_id; },
      vspec_schema_pattern_id);
}

bool is_key_row(const VehicleSpecPatternRow& r) {
  return r.is_key == 1;
}
bool is_value_row(const VehicleSpecPatternRow& r) {
  return r.is_key == 0;
}

bool schema_applies(const Db& db, const VehicleSpecSchemaRow& s, int32_t vehicle_type,
                    int32_t model, bool has_year, int32_t year) {
  if (s.vehicle_type_id != vehicle_type || (s.skip & 1) != 0) return false;
  Table<VehicleSpecSchemaModelRow> models = db.vehicle_spec_schema_models();
  auto [mfirst, mend] =
      models.equal_range([](const VehicleSpecSchemaModelRow& r) { return r.schema_id; }, s.id);
  bool model_found = false;
  for (size_t i = mfirst; i < mend && !model_found; ++i) model_found = models[i].model_id == model;
  if (!model_found) return false;
  Table<VehicleSpecSchemaYearRow> years = db.vehicle_spec_schema_years();
  auto [yfirst, yend] =
      years.equal_range([](const VehicleSpecSchemaYearRow& r) { return r.schema_id; }, s.id);
  // A schema without year rows holds for every year, also an unknown one.
  if (yfirst == yend) return true;
  if (!has_year) return false;
  for (size_t i = yfirst; i < yend; ++i) {
    if (years[i].year == year) return true;
  }
  return false;
}

std::vector<Tbl1> keyed_patterns(const Db& db, const std::vector<int32_t>& makes,
                                 int32_t vehicle_type, int32_t model, bool has_year, int32_t year) {
  std::vector<Tbl1> out;
  Table<VehicleSpecSchemaRow> schemas = db.vehicle_spec_schemas();
  Table<VSpecSchemaPatternRow> patterns = db.vspec_schema_patterns();
  Table<VehicleSpecPatternRow> rows = db.vehicle_spec_patterns();
  for (int32_t make : makes) {
    auto [sfirst, send] =
        schemas.equal_range([](const VehicleSpecSchemaRow& r) { return r.make_id; }, make);
    for (size_t si = sfirst; si < send; ++si) {
      VehicleSpecSchemaRow s = schemas[si];
      if (!schema_applies(db, s, vehicle_type, model, has_year, year)) continue;
      auto [pfirst, pend] =
          patterns.equal_range([](const VSpecSchemaPatternRow& r) { return r.schema_id; }, s.id);
      for (size_t pi = pfirst; pi < pend; ++pi) {
        int32_t pattern_id = patterns[pi].id;
        auto [rfirst, rend] = pattern_rows(db, pattern_id);
        bool keyed = false;
        for (size_t ri = rfirst; ri < rend && !keyed; ++ri) keyed = is_key_row(rows[ri]);
        if (keyed) out.push_back({pattern_id, s.id, false});
      }
    }
  }
  return out;
}

// Every key row must find an item of its element with the same attribute
// (ASCII case ignored), and no item may serve two key rows: a pattern keyed
// on two trims must not pass on one trim item. A key row may match several
// items, e.g. the same value reached by two patterns.
bool keys_match(const Db& db, const std::vector<DecodingItem>& items,
                int32_t vspec_schema_pattern_id) {
  Table<VehicleSpecPatternRow> rows = db.vehicle_spec_patterns();
  auto [first, end] = pattern_rows(db, vspec_schema_pattern_id);
  size_t need = 0;
  std::vector<bool> matched(items.size(), false);
  size_t matched_count = 0;
  for (size_t ri = first; ri < end; ++ri) {
    VehicleSpecPatternRow r = rows[ri];
    if (!is_key_row(r)) continue;
    std::string_view wanted = db.string(r.attribute_id);
    size_t hits = 0;
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].element_id == r.element_id &&
          eq_ignore_ascii_case(items[i].attribute_id, wanted)) {
        if (!matched[i]) ++matched_count;
        matched[i] = true;
        ++hits;
      }
    }
    need += std::max<size_t>(hits, 1);
  }
  return need == matched_count;
}

// The newer row wins; equal times go to the later schema pattern, then the
// later schema; a full tie keeps the first offered.
bool beats(const SpecCandidate& a, const SpecCandidate& best) {
  if (a.created_on != best.created_on) return a.created_on > best.created_on;
  if (a.vspec_schema_pattern_id != best.vspec_schema_pattern_id) {
    return a.vspec_schema_pattern_id > best.vspec_schema_pattern_id;
  }
  return a.schema_id > best.schema_id;
}

}  // namespace

std::optional<int32_t> first_item_integer(const std::vector<DecodingItem>& items,
                                          int32_t element_id) {
  for (const DecodingItem& item : items) {
    if (item.element_id == element_id) return parse_i32(item.attribute_id);
  }
  return std::nullopt;
}

bool is_free_text_element(int32_t element_id) {
  return std::find(FREE_TEXT_ELEMENTS.begin(), FREE_TEXT_ELEMENTS.end(), element_id) !=
         FREE_TEXT_ELEMENTS.end();
}

void append_vehicle_specs(std::vector<DecodingItem>& items, const Db& db, std::string_view wmi,
                          bool has_year, int32_t year) {
  std::optional<int32_t> vehicle_type = first_item_integer(items, VEHICLE_TYPE_ELEMENT_ID);
  if (!vehicle_type) return;
  std::optional<int32_t> model = first_item_integer(items, MODEL_ELEMENT);
  if (!model) return;
  std::vector<int32_t> makes = db.makeids_for_wmi_str(wmi);
  std::vector<Tbl1> keyed = keyed_patterns(db, makes, *vehicle_type, *model, has_year, year);
  std::erase_if(keyed,
                [&](const Tbl1& t) { return !keys_match(db, items, t.vspec_schema_pattern_id); });
  if (keyed.empty()) return;

  ElementSet blocked;
  for (const DecodingItem& item : items) {
    if (!is_free_text_element(item.element_id)) blocked.insert(item.element_id);
  }
  Table<VehicleSpecPatternRow> rows = db.vehicle_spec_patterns();
  std::vector<SpecCandidate> candidates;
  for (const Tbl1& t : keyed) {
    auto [first, end] = pattern_rows(db, t.vspec_schema_pattern_id);
    for (size_t ri = first; ri < end; ++ri) {
      VehicleSpecPatternRow r = rows[ri];
      if (!is_value_row(r) || blocked.contains(r.element_id)) continue;
      candidates.push_back({std::string(db.string(r.attribute_id)), r.created_on, t.schema_id,
                            t.vspec_schema_pattern_id, r.element_id, t.to_be_qced});
    }
  }

  std::unordered_map<int32_t, size_t, FxHash> winner;
  for (size_t i = 0; i < candidates.size(); ++i) {
    auto [at, inserted] = winner.try_emplace(candidates[i].element_id, i);
    if (!inserted && beats(candidates[i], candidates[at->second])) at->second = i;
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    SpecCandidate& c = candidates[i];
    if (winner.at(c.element_id) != i) continue;
    items.push_back({.attribute_id = std::move(c.attribute),
                     .value = "XXX",
                     .source = "Vehicle Specs",
                     .created_on = c.created_on,
                     .pattern_id = c.vspec_schema_pattern_id,
                     .vin_schema_id = c.schema_id,
                     .wmi_id = NONE_I32,
                     .element_id = c.element_id,
                     .priority = VEHICLE_SPEC_PRIORITY,
                     .to_be_qced = c.to_be_qced});
  }
}

}  // namespace tamberok
