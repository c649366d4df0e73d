#include "tamberok/decode.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "tamberok/thread_state.h"
#include "tamberok/conversion.h"
#include "tamberok/defaults.h"
#include "tamberok/hash.h"
#include "tamberok/lazy.h"
#include "tamberok/schema_index.h"
#include "tamberok/tables.h"
#include "tamberok/text.h"
#include "tamberok/trace.h"
#include "tamberok/vehicle_spec.h"

namespace tamberok {

bool is_multi_valued(int32_t element_id) {
  return std::find(MULTI_VALUED_ELEMENTS.begin(), MULTI_VALUED_ELEMENTS.end(), element_id) !=
         MULTI_VALUED_ELEMENTS.end();
}

namespace {

constexpr std::optional<uint16_t> MAKE_TABLE = tables::lookup_table_index("make");
constexpr std::optional<uint16_t> MANUFACTURER_TABLE = tables::lookup_table_index("manufacturer");
constexpr std::optional<uint16_t> VEHICLE_TYPE_TABLE = tables::lookup_table_index("vehicletype");

// Upper-cased lookup names by (table, id), per thread and artifact: the same
// makes, manufacturers and vehicle types come back VIN after VIN. Emptied
// when full, so that the odd names of a long run cannot grow it unbounded.
struct UpperNames {
  uint64_t serial = 0;
  bool filled = false;
  std::unordered_map<uint64_t, std::optional<std::string>> names;
};
thread_local UpperNames UPPER_NAMES;
constexpr size_t UPPER_NAMES_LIMIT = 8192;
// Read by every thread, also while the process exits.
constinit const NoDestroy<std::optional<std::string>> NO_NAME;

// A matched pattern row with the priority of its schema.
struct Match {
  int32_t id;
  uint32_t row;
  int32_t priority;
};
thread_local std::vector<Match> MATCHED;

// The lookup name of a value, upper-cased for display; none when the table
// or the value is unknown. Valid until the thread's next call.
const std::optional<std::string>& lookup_upper(const Db& db, std::optional<uint16_t> table,
                                               int32_t id) {
  if (!table) return NO_NAME.value;
  UpperNames& memo = UPPER_NAMES;
  if (!memo.filled || memo.serial != db.serial() || memo.names.size() >= UPPER_NAMES_LIMIT) {
    memo.names.clear();
    memo.serial = db.serial();
    memo.filled = true;
  }
  uint64_t key = (uint64_t{*table} << 32) | static_cast<uint32_t>(id);
  auto [at, added] = memo.names.try_emplace(key);
  if (added) {
    if (std::optional<std::string_view> name = db.lookup(*table, id)) {
      at->second = unicode_upper(*name);
    }
  }
  return at->second;
}

// The first usable WMI row of the code: it must have a creation time no
// later than the cutoff, so rows registered "in the future" stay unknown.
std::optional<WmiRow> choose_wmi(const Db& db, std::string_view wmi, int64_t cutoff) {
  Table<WmiRow> rows = db.wmis();
  for (size_t at = db.wmi_lower_bound(wmi); at < rows.size(); ++at) {
    WmiRow row = rows[at];
    if (db.string(row.code) != wmi) break;
    if (row.created_on != NONE_I64 && row.created_on <= cutoff) return row;
  }
  return std::nullopt;
}

DecodingItem pattern_item(const Db& db, const PatternRow& p, int32_t priority, int32_t wmi_id) {
  DecodingItem item;
  item.keys = ascii_upper(db.string(p.keys));
  item.attribute_id = std::string(db.string(p.attribute_id));
  item.value = "XXX";
  item.source = "Pattern";
  item.created_on = p.created_on;
  item.pattern_id = p.id;
  item.vin_schema_id = p.vin_schema_id;
  item.wmi_id = wmi_id;
  item.element_id = p.element_id;
  item.priority = priority;
  return item;
}

// Formula patterns copy VIN-key digits under the '#' span of their keys (a
// serial number part, for example). '#' stands for a digit of the key; a
// digit in the keys never matches. `formula_key` is the key with its digits
// replaced by '#'.
std::optional<DecodingItem> formula_item(const Db& db, const PatternRow& p, std::string_view keys,
                                         std::string_view key, std::string_view formula_key) {
  size_t f = keys.find('#');
  if (f == std::string_view::npos) return std::nullopt;
  if (!db.element(p.element_id)) return std::nullopt;
  if (keys.size() > formula_key.size()) return std::nullopt;
  for (size_t k = 0; k < keys.size(); ++k) {
    if (keys[k] != '_' && keys[k] != '*' && keys[k] != formula_key[k]) return std::nullopt;
  }
  size_t l = keys.rfind('#');
  std::string_view span = key.substr(std::min(f, key.size()));
  span = span.substr(0, std::min(l - f + 1, span.size()));
  DecodingItem item;
  item.keys = std::string(keys);
  item.attribute_id = std::string(db.string(p.attribute_id));
  item.value = utf8_lossy(span);
  item.source = "Formula Pattern";
  item.created_on = p.created_on;
  item.pattern_id = p.id;
  item.vin_schema_id = p.vin_schema_id;
  item.element_id = p.element_id;
  item.priority = 100;
  return item;
}

// The pattern rows a pass takes from the WMI's schemas: the matches of
// steps 3 and 4, appended to `items` as pattern items sorted by pattern id,
// and the formula patterns of step 8, returned; found in one walk over the
// schemas because both read every schema that covers the year.
// Each schema's priority is the year_from of the first link that named it,
// so newer schemas win ties. A schema named by two links is matched once per
// link but read for formulas once. The walk and the schema's rows come
// precompiled from the process-wide schema index.
std::vector<DecodingItem> search_schemas(const Db& db, const WmiRow& w, std::string_view key,
                                         bool has_year, int32_t year,
                                         std::vector<DecodingItem>& items) {
  const SchemaIndex& index = schema_index(db);
  const PaddedKey padded(key);
  Table<PatternRow> patterns = db.patterns();

  std::vector<DecodingItem> formulas;
  std::string formula_key;
  std::vector<Match>& matched = MATCHED;
  matched.clear();
  for (const LinkVisit& visit : index.visits(w.id, has_year, year)) {
    const CompiledSchema& schema = index.compiled(*visit.schema);
    // Only rows whose element decodes are matched; each distinct key is
    // tested once for all its rows.
    if (schema.decodes) {
      for (const KeyMatcher& k : schema.keys) {
        if (!schema.matches(k, padded)) continue;
        for (uint32_t r = k.rows_begin; r < k.rows_end; ++r) {
          const MatchableRow& m = schema.matchable[r];
          matched.push_back({m.id, m.row, visit.priority});
        }
      }
    }
    if (visit.first_visit && !schema.formulas.empty()) {
      if (formula_key.empty()) {
        formula_key = key;
        for (char& c : formula_key) {
          if (is_ascii_digit(c)) c = '#';
        }
      }
      for (uint32_t row : schema.formulas) {
        PatternRow p = patterns[row];
        if (auto item = formula_item(db, p, db.string(p.keys), key, formula_key)) {
          formulas.push_back(std::move(*item));
        }
      }
    }
  }
  std::sort(matched.begin(), matched.end(),
            [](const Match& a, const Match& b) { return a.id < b.id; });
  items.reserve(items.size() + matched.size());
  for (const Match& m : matched)
    items.push_back(pattern_item(db, patterns[m.row], m.priority, w.id));
  release_if_large(matched);  // a schema set of many wildcard rows can match tens of thousands
  return formulas;
}

// At equal priority an item without a creation time counts as the newest.
// Returns >0 when `candidate` is newer, <0 when older, 0 when equal.
int compare_created(int64_t candidate, int64_t best) {
  bool c_absent = candidate == NONE_I64;
  bool b_absent = best == NONE_I64;
  if (c_absent && b_absent) return 0;
  if (c_absent) return 1;
  if (b_absent) return -1;
  return candidate > best ? 1 : (candidate < best ? -1 : 0);
}

// Step 5: the Engine Model item that engine-model patterns expand.
const DecodingItem* choose_engine_model(const std::vector<DecodingItem>& items) {
  const DecodingItem* best = nullptr;
  for (const DecodingItem& item : items) {
    if (item.element_id != element_id::ENGINE_MODEL) continue;
    if (best == nullptr ||
        TAMBEROK_TRACE_IF(item.priority > best->priority, engine_model_by_priority)) {
      best = &item;
    } else if (item.priority == best->priority) {
      int created = compare_created(item.created_on, best->created_on);
      if (TAMBEROK_TRACE_IF(created > 0, engine_model_by_creation) ||
          TAMBEROK_TRACE_IF(created == 0, engine_model_later_at_tie)) {
        best = &item;  // at a full tie the later item wins
      }
    }
  }
  return best;
}

// The engine model row of each trimmed, lower-case name asked for (the
// first row of a name, or none), per thread and artifact: a decode asks for
// one name, and the first decode of a process should not index them all.
// Emptied when full, like the other per-thread caches.
struct EngineModelNames {
  uint64_t serial = 0;
  std::unordered_map<std::string, std::optional<size_t>, FxHash, std::equal_to<>> rows;
};
thread_local EngineModelNames ENGINE_MODEL_NAMES;
constexpr size_t ENGINE_MODEL_NAMES_LIMIT = 4096;

// The first engine model whose trimmed name equals `name` (lower case)
// ignoring ASCII case.
std::optional<EngineModelRow> engine_model_named(const Db& db, std::string_view name) {
  Table<EngineModelRow> models = db.engine_models();
  EngineModelNames& names = ENGINE_MODEL_NAMES;
  if (names.serial != db.serial() || names.rows.size() >= ENGINE_MODEL_NAMES_LIMIT) {
    names.rows.clear();
    names.serial = db.serial();
  }
  auto it = names.rows.find(name);
  if (it == names.rows.end()) {
    std::optional<size_t> row;
    for (size_t i = 0; i < models.size() && !row; ++i) {
      std::string_view model = trim_unicode(db.string(models[i].name));
      if (eq_ignore_ascii_case(model, name)) row = i;
    }
    it = names.rows.try_emplace(std::string(name), row).first;
  }
  if (!it->second) return std::nullopt;
  return models[*it->second];
}

void append_engine_model_items(const Db& db, const WmiRow& w, std::vector<DecodingItem>& items) {
  const DecodingItem* chosen = choose_engine_model(items);
  if (chosen == nullptr) return;
  std::string name = ascii_lower(trim_unicode(chosen->attribute_id));
  std::optional<EngineModelRow> model = engine_model_named(db, name);
  if (!model) return;
  // Copy what we need: appending may move the chosen item.
  std::string keys = chosen->keys;
  int32_t pattern_id = chosen->pattern_id;
  int32_t vin_schema_id = chosen->vin_schema_id;
  Table<EngineModelPatternRow> rows = db.engine_model_patterns();
  auto [first, end] =
      rows.equal_range([](const EngineModelPatternRow& r) { return r.engine_model_id; }, model->id);
  for (size_t i = first; i < end; ++i) {
    EngineModelPatternRow row = rows[i];
    DecodingItem item;
    item.keys = keys;
    item.attribute_id = std::string(db.string(row.attribute_id));
    item.value = "XXX";
    item.source = "EngineModelPattern";
    item.created_on = row.created_on;
    item.pattern_id = pattern_id;
    item.vin_schema_id = vin_schema_id;
    item.wmi_id = w.id;
    item.element_id = row.element_id;
    item.priority = 50;
    items.push_back(std::move(item));
  }
}

DecodingItem wmi_item(const WmiRow& w, std::string_view keys, std::string_view source,
                      int32_t element_id, int32_t attribute, std::string value) {
  DecodingItem item;
  item.keys = std::string(keys);
  item.attribute_id = std::to_string(attribute);
  item.value = std::move(value);
  item.source = std::string(source);
  item.wmi_id = w.id;
  item.element_id = element_id;
  item.priority = 100;
  return item;
}

// Step 6: vehicle type, manufacturer name and manufacturer id of the WMI row.
void append_wmi_items(const Db& db, const WmiRow& w, std::string_view wmi,
                      std::vector<DecodingItem>& items) {
  std::string keys = ascii_upper(wmi);
  if (w.vehicle_type_id != NONE_I32) {
    if (const std::optional<std::string>& name =
            lookup_upper(db, VEHICLE_TYPE_TABLE, w.vehicle_type_id)) {
      DecodingItem item =
          wmi_item(w, keys, "VehType", element_id::VEHICLE_TYPE, w.vehicle_type_id, *name);
      item.created_on = w.updated_on;
      items.push_back(std::move(item));
    }
  }
  if (w.manufacturer_id != NONE_I32) {
    std::string name = lookup_upper(db, MANUFACTURER_TABLE, w.manufacturer_id).value_or("");
    items.push_back(wmi_item(w, keys, "Manu. Name", element_id::MANUFACTURER, w.manufacturer_id,
                             std::move(name)));
    items.push_back(wmi_item(w, keys, "Manu. Id", element_id::MANUFACTURER_ID, w.manufacturer_id,
                             std::to_string(w.manufacturer_id)));
  }
}

size_t non_wildcard_chars(std::string_view keys) {
  size_t stars = static_cast<size_t>(std::count(keys.begin(), keys.end(), '*'));
  return count_chars(keys) - stars;
}

std::string without_brackets(std::string_view keys) {
  std::string out;
  out.reserve(keys.size());
  for (char c : keys) {
    if (c != '[' && c != ']') out.push_back(c);
  }
  return out;
}

// Whether `candidate` displaces `best` as its element's item: higher
// priority, then newer (no time counts as newest), then keys that pin fewer
// characters, then keys that sort first once brackets are dropped. Anything
// else keeps the earlier item, so the choice never depends on hash order.
bool replaces(const DecodingItem& candidate, const DecodingItem& best) {
  if (candidate.priority != best.priority)
    return TAMBEROK_TRACE_IF(candidate.priority > best.priority, selection_by_priority);
  int created = compare_created(candidate.created_on, best.created_on);
  if (created != 0) return TAMBEROK_TRACE_IF(created > 0, selection_by_creation);
  size_t c_count = non_wildcard_chars(candidate.keys);
  size_t b_count = non_wildcard_chars(best.keys);
  if (c_count != b_count) return TAMBEROK_TRACE_IF(c_count < b_count, selection_by_key_count);
  return TAMBEROK_TRACE_IF(text_less(without_brackets(candidate.keys), without_brackets(best.keys)),
                           selection_by_key_text);
}

// Element id -> index of its best item so far. Element ids are small, so a
// flat table serves them without a hash-map node per element; others (none
// in the data) fall back to a map.
class BestItems {
 public:
  BestItems() { flat_.fill(NONE); }

  // The slot of the element, and whether it was empty before (then it now
  // holds `index`).
  std::pair<size_t*, bool> try_emplace(int32_t element, size_t index) {
    if (element >= 0 && element < FLAT) {
      size_t& slot = flat_[static_cast<size_t>(element)];
      bool added = slot == NONE;
      if (added) slot = index;
      return {&slot, added};
    }
    auto [it, added] = other_.try_emplace(element, index);
    return {&it->second, added};
  }

  size_t at(int32_t element) const {
    if (element >= 0 && element < FLAT) return flat_[static_cast<size_t>(element)];
    return other_.at(element);
  }

 private:
  static constexpr int32_t FLAT = 256;
  static constexpr size_t NONE = SIZE_MAX;
  std::array<size_t, FLAT> flat_;
  std::unordered_map<int32_t, size_t, FxHash> other_;
};

// Step 9: one item per element, except the multi-valued notes.
void keep_best_per_element(std::vector<DecodingItem>& items) {
  BestItems best;
  for (size_t i = 0; i < items.size(); ++i) {
    const DecodingItem& item = items[i];
    if (is_multi_valued(item.element_id)) continue;
    auto [slot, added] = best.try_emplace(item.element_id, i);
    if (!added && replaces(item, items[*slot])) *slot = i;
  }
  size_t out = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const DecodingItem& item = items[i];
    bool keep = is_multi_valued(item.element_id) || best.at(item.element_id) == i;
    if (!keep) continue;
    if (out != i) items[out] = std::move(items[i]);
    ++out;
  }
  items.resize(out);
}

// Steps 10 and 11: the make implied by the model, or else by the WMI when
// the WMI has exactly one make.
void append_make_items(const Db& db, const WmiRow& w, std::string_view wmi,
                       std::vector<DecodingItem>& items) {
  auto model = std::find_if(items.begin(), items.end(), [](const DecodingItem& item) {
    return item.element_id == element_id::MODEL;
  });
  if (model != items.end()) {
    std::optional<int32_t> model_id = parse_i32(model->attribute_id);
    if (!model_id) return;
    std::string keys = model->keys;
    int32_t pattern_id = model->pattern_id;
    int32_t vin_schema_id = model->vin_schema_id;
    Table<MakeModelRow> rows = db.make_models();
    auto [first, end] =
        rows.equal_range([](const MakeModelRow& r) { return r.model_id; }, *model_id);
    for (size_t i = first; i < end; ++i) {
      MakeModelRow row = rows[i];
      DecodingItem item;
      item.keys = keys;
      item.attribute_id = std::to_string(row.make_id);
      item.value = lookup_upper(db, MAKE_TABLE, row.make_id).value_or("");
      item.source = "pattern - model";
      item.pattern_id = pattern_id;
      item.vin_schema_id = vin_schema_id;
      item.element_id = element_id::MAKE;
      item.priority = 1000;
      items.push_back(std::move(item));
    }
    return;
  }
  Table<WmiMakeRow> makes = db.wmi_makes();
  auto [first, end] = makes.equal_range([](const WmiMakeRow& r) { return r.wmi_id; }, w.id);
  std::vector<int32_t> ids;
  for (size_t i = first; i < end; ++i) ids.push_back(makes[i].make_id);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (ids.size() != 1) return;
  DecodingItem item;
  item.keys = std::string(wmi);
  item.attribute_id = std::to_string(ids[0]);
  item.value = lookup_upper(db, MAKE_TABLE, ids[0]).value_or("");
  item.source = "Make";
  item.created_on = w.updated_on;
  item.wmi_id = w.id;
  item.element_id = element_id::MAKE;
  item.priority = -100;
  items.push_back(std::move(item));
}

}  // namespace

DecodeCoreOutput decode_core(const Db& db, std::string_view wmi, std::string_view key,
                             bool has_year, int32_t year, std::string_view year_key,
                             int64_t cutoff) {
  DecodeCoreOutput out;
  std::optional<WmiRow> w = choose_wmi(db, wmi, cutoff);
  if (!w) return out;
  out.wmi_found = true;
  std::vector<DecodingItem>& items = out.items;
  items.reserve(64);

  std::vector<DecodingItem> formulas = search_schemas(db, *w, key, has_year, year, items);
  append_engine_model_items(db, *w, items);
  append_wmi_items(db, *w, wmi, items);
  if (has_year) {
    DecodingItem item;
    item.keys = std::string(year_key);
    item.attribute_id = std::to_string(year);
    item.value = item.attribute_id;
    item.source = "ModelYear";
    item.element_id = element_id::MODEL_YEAR;
    item.priority = 100;
    items.push_back(std::move(item));
  }
  for (DecodingItem& item : formulas) items.push_back(std::move(item));
  keep_best_per_element(items);
  append_make_items(db, *w, wmi, items);
  append_conversions(items, db);
  append_vehicle_specs(items, db, wmi, has_year, year);
  append_defaults(items, db);
  return out;
}

void thread_state::prepare_decode() {
  (void)&UPPER_NAMES;
  (void)&MATCHED;
  (void)&ENGINE_MODEL_NAMES;
}

void thread_state::scratch_decode(std::vector<ScratchBuffer>& out) {
  out.push_back({"MATCHED", held_bytes(MATCHED)});
}

}  // namespace tamberok
