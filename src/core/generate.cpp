#include "tamberok/generate.h"

#include <algorithm>
#include <tuple>

#include "tamberok/checkdigit.h"
#include "tamberok/tables.h"
#include "tamberok/text.h"
#include "tamberok/year.h"

namespace tamberok::generate {

// ---- VIN assembly -------------------------------------------------------------

namespace {

// The generators read an open-ended schema link as running to this year.
constexpr int32_t OPEN_YEAR_TO = 9999;

// The six-character WMIs carry VIN positions 12-14 as their last three bytes.
constexpr size_t LONG_WMI_SIZE = 6;

// Only model years of the current 30-year cycle are generated when a range allows it.
constexpr int32_t CYCLE_FIRST = 2010;
constexpr int32_t CYCLE_LAST = 2039;

int32_t open_to_9999(int32_t year_to) {
  return year_to == NONE_I32 ? OPEN_YEAR_TO : year_to;
}

bool forbidden_in_vin(unsigned char c) {
  return c == 'I' || c == 'O' || c == 'Q';
}

char year_code(int32_t year) {
  // 64-bit: any i32 year reaches here from the caller's filter.
  int64_t at = (int64_t{year} - CYCLE_FIRST) % 30;
  if (at < 0) at += 30;
  return MODEL_YEAR_CODES[static_cast<size_t>(at)];
}

// A bracket class stands for its smallest member that a VIN may carry, so
// that the VIN still matches the key; a class of I, O and Q only keeps its
// smallest member and the VIN is refused later.
std::optional<char> class_entry(std::string_view members) {
  unsigned allowed = 256;
  unsigned any = 256;
  size_t i = 0;
  while (i < members.size()) {
    unsigned lo = static_cast<unsigned char>(members[i]);
    unsigned hi = lo;
    if (i + 2 < members.size() && members[i + 1] == '-') {
      hi = static_cast<unsigned char>(members[i + 2]);
      i += 3;
    } else {
      i += 1;
    }
    if (lo > hi) continue;  // reversed ranges hold nothing
    any = std::min(any, lo);
    for (unsigned b = lo; b <= hi; ++b) {
      if (!forbidden_in_vin(static_cast<unsigned char>(b))) {
        allowed = std::min(allowed, b);
        break;
      }
    }
  }
  if (allowed < 256) return static_cast<char>(allowed);
  if (any < 256) return static_cast<char>(any);
  return std::nullopt;
}

// Writes the entries of one key segment over vin[first .. first + max_entries).
void overlay(std::string& vin, size_t first, size_t max_entries, std::string_view segment) {
  std::vector<std::optional<char>> entries = key_positions(segment);
  size_t n = std::min(entries.size(), max_entries);
  for (size_t e = 0; e < n; ++e) {
    if (entries[e]) vin[first + e] = *entries[e];
  }
}

}  // namespace

std::vector<std::optional<char>> key_positions(std::string_view segment) {
  std::vector<std::optional<char>> out;
  size_t i = 0;
  while (i < segment.size()) {
    char b = segment[i];
    if (b == '*' || b == '_') {
      out.push_back(std::nullopt);
    } else if (b == '#') {
      out.push_back('1');
    } else if (b == '[') {
      size_t close = segment.find(']', i + 1);
      if (close != std::string_view::npos) {
        out.push_back(class_entry(segment.substr(i + 1, close - i - 1)));
        i = close + 1;
        continue;
      }
      out.push_back('[');
    } else {
      out.push_back(b);
    }
    ++i;
  }
  return out;
}

std::optional<std::string> build_vin(std::string_view wmi, std::string_view key, int32_t year) {
  std::string vin = "AAAAAAAAAAA111111";
  for (size_t i = 0; i < 3 && i < wmi.size(); ++i) vin[i] = wmi[i];
  if (wmi.size() == LONG_WMI_SIZE) {
    vin[11] = wmi[3];
    vin[12] = wmi[4];
    vin[13] = wmi[5];
  }
  vin[9] = year_code(year);

  size_t bar = key.find('|');
  overlay(vin, 3, 5, key.substr(0, bar));
  if (bar != std::string_view::npos) {
    std::string_view rest = key.substr(bar + 1);
    overlay(vin, 9, 8, rest.substr(0, rest.find('|')));
  }

  for (char c : vin) {
    // Bytes above 0x7F would make the VIN invalid text: one byte of a longer
    // UTF-8 sequence. No stored key holds them, but a VIN of them is refused
    // like one with I, O or Q rather than handed out broken.
    if (forbidden_in_vin(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) > 0x7F) {
      return std::nullopt;
    }
  }
  vin[8] = '0';
  std::optional<char> check = check_digit_with_flag(vin, false);
  if (check && *check != '?') vin[8] = *check;
  return vin;
}

int32_t schema_year(int32_t year_from, int32_t year_to, int32_t max_year) {
  int32_t hi = std::min({year_to, max_year, CYCLE_LAST});
  int32_t lo = std::max(year_from, CYCLE_FIRST);
  if (lo <= hi) return hi;
  return year_to < CYCLE_FIRST ? year_to : year_from;
}

std::vector<SchemaEntry> schema_to_wmi(const Db& db) {
  Table<WmiRow> wmis = db.wmis();
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  std::vector<SchemaEntry> all;
  all.reserve(links.size());
  for (size_t w = 0; w < wmis.size(); ++w) {
    int32_t wmi_id = wmis[w].id;
    auto [first, end] =
        links.equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; }, wmi_id);
    for (size_t i = first; i < end; ++i) {
      WmiVinSchemaRow r = links[i];
      all.push_back({r.vin_schema_id, wmi_id, r.year_from, open_to_9999(r.year_to)});
    }
  }
  auto fields = [](const SchemaEntry& e) {
    return std::tie(e.vin_schema_id, e.wmi_id, e.year_from, e.year_to);
  };
  std::sort(all.begin(), all.end(),
            [&](const SchemaEntry& a, const SchemaEntry& b) { return fields(a) < fields(b); });
  auto last = std::unique(all.begin(), all.end(), [](const SchemaEntry& a, const SchemaEntry& b) {
    return a.vin_schema_id == b.vin_schema_id;
  });
  all.erase(last, all.end());
  return all;
}

std::vector<std::pair<int32_t, std::string_view>> wmis_by_id(const Db& db) {
  Table<WmiRow> wmis = db.wmis();
  std::vector<std::pair<int32_t, std::string_view>> out;
  out.reserve(wmis.size());
  for (size_t w = 0; w < wmis.size(); ++w) {
    WmiRow row = wmis[w];
    out.emplace_back(row.id, db.string(row.code));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

std::vector<std::pair<std::string, uint32_t>> patterns_by_attribute(const Db& db,
                                                                    int32_t element_id,
                                                                    bool lowercase) {
  Table<PatternRow> patterns = db.patterns();
  std::vector<std::pair<std::string, uint32_t>> out;
  for (size_t i = 0; i < patterns.size(); ++i) {
    PatternRow row = patterns[i];
    if (row.element_id != element_id) continue;
    std::string_view text = trim_unicode(db.string(row.attribute_id));
    out.emplace_back(lowercase ? ascii_lower(text) : std::string(text), static_cast<uint32_t>(i));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return text_less(a.first, b.first);
    return a.second < b.second;
  });
  auto last = std::unique(out.begin(), out.end(),
                          [](const auto& a, const auto& b) { return a.first == b.first; });
  out.erase(last, out.end());
  return out;
}

std::optional<SchemaEntry> find_schema(const std::vector<SchemaEntry>& schemas, int32_t schema_id) {
  auto it = std::lower_bound(schemas.begin(), schemas.end(), schema_id,
                             [](const SchemaEntry& e, int32_t id) { return e.vin_schema_id < id; });
  if (it == schemas.end() || it->vin_schema_id != schema_id) return std::nullopt;
  return *it;
}

std::optional<std::string_view> find_wmi(
    const std::vector<std::pair<int32_t, std::string_view>>& wmis, int32_t wmi_id) {
  auto it = std::lower_bound(wmis.begin(), wmis.end(), wmi_id,
                             [](const auto& e, int32_t id) { return e.first < id; });
  if (it == wmis.end() || it->first != wmi_id) return std::nullopt;
  return it->second;
}

// ---- generate -------------------------------------------------------------------

namespace {

// SplitMix64: small, fast and fully specified, so a seed gives the same
// VINs on every machine.
class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    state_ += 0x9e3779b97f4a7c15ULL;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // An index below count (count > 0): the plain remainder, bias accepted.
  size_t pick(size_t count) { return static_cast<size_t>(next() % count); }

 private:
  uint64_t state_;
};

// Ids of the "make" lookup table whose name equals `make` ignoring ASCII case.
std::vector<int32_t> make_ids(const Db& db, std::string_view make) {
  std::vector<int32_t> ids;
  std::optional<uint16_t> table = tables::lookup_table_index("make");
  if (!table) return ids;
  Table<LookupRow> lookups = db.lookups();
  for (size_t i = 0; i < lookups.size(); ++i) {
    LookupRow row = lookups[i];
    if (row.table == *table && eq_ignore_ascii_case(db.string(row.name), make))
      ids.push_back(row.id);
  }
  return ids;
}

bool has_make(const Db& db, int32_t wmi_id, const std::vector<int32_t>& ids) {
  Table<WmiMakeRow> makes = db.wmi_makes();
  auto [first, end] = makes.equal_range([](const WmiMakeRow& r) { return r.wmi_id; }, wmi_id);
  for (size_t i = first; i < end; ++i) {
    if (std::find(ids.begin(), ids.end(), makes[i].make_id) != ids.end()) return true;
  }
  return false;
}

std::vector<WmiRow> candidate_wmis(const Db& db, const Filter& filter) {
  std::vector<int32_t> ids;
  if (filter.make) ids = make_ids(db, *filter.make);
  Table<WmiRow> wmis = db.wmis();
  std::vector<WmiRow> out;
  for (size_t w = 0; w < wmis.size(); ++w) {
    WmiRow row = wmis[w];
    if (filter.wmi && !eq_ignore_ascii_case(db.string(row.code), *filter.wmi)) continue;
    if (filter.vehicle_type && row.vehicle_type_id != *filter.vehicle_type) continue;
    if (filter.make && !has_make(db, row.id, ids)) continue;
    out.push_back(row);
  }
  return out;
}

}  // namespace

std::vector<std::string> generate(const Db& db, uint64_t n, uint64_t seed, const Filter& filter,
                                  int32_t max_year) {
  std::vector<std::string> out;
  if (n == 0) return out;
  std::vector<WmiRow> candidates = candidate_wmis(db, filter);
  if (candidates.empty()) return out;

  out.reserve(static_cast<size_t>(std::min<uint64_t>(n, 65536)));
  // A fixed attempt budget keeps filters that rarely yield a VIN from
  // running forever; n is at most GENERATE_MAX, so 64 * n cannot wrap.
  const uint64_t budget = std::max<uint64_t>(64 * std::min(n, GENERATE_MAX), 4096);
  Table<WmiVinSchemaRow> links = db.wmi_vin_schemas();
  Table<PatternRow> patterns = db.patterns();
  SplitMix64 rng(seed);
  std::vector<WmiVinSchemaRow> rows;
  for (uint64_t attempt = 0; attempt < budget && out.size() < n; ++attempt) {
    const WmiRow& w = candidates[rng.pick(candidates.size())];
    auto [first, end] = links.equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; }, w.id);
    rows.clear();
    for (size_t i = first; i < end; ++i) {
      WmiVinSchemaRow r = links[i];
      if (filter.year &&
          !(r.year_from <= *filter.year && *filter.year <= open_to_9999(r.year_to))) {
        continue;
      }
      rows.push_back(r);
    }
    if (rows.empty()) continue;
    const WmiVinSchemaRow& r = rows[rng.pick(rows.size())];
    int32_t year =
        filter.year ? *filter.year : schema_year(r.year_from, open_to_9999(r.year_to), max_year);
    auto [pfirst, pend] =
        patterns.equal_range([](const PatternRow& p) { return p.vin_schema_id; }, r.vin_schema_id);
    std::string_view key = "*****";
    if (pfirst < pend) key = db.string(patterns[pfirst + rng.pick(pend - pfirst)].keys);
    if (std::optional<std::string> vin = build_vin(db.string(w.code), key, year)) {
      out.push_back(std::move(*vin));
    }
  }
  return out;
}

// ---- sweep ----------------------------------------------------------------------

std::optional<Dimension> dimension_of(std::string_view name) {
  static constexpr std::array<std::string_view, 6> NAMES = {"wmi",   "pattern",   "engine",
                                                            "vspec", "exception", "default"};
  for (size_t i = 0; i < NAMES.size(); ++i) {
    if (NAMES[i] == name) return ALL_DIMENSIONS[i];
  }
  return std::nullopt;
}

namespace {

// Element ids that name a pattern row by its value.
constexpr int32_t ENGINE_MODEL_ELEMENT = 18;
constexpr int32_t MODEL_ELEMENT = 28;

// One sweep call: the schema and WMI lists are built on first need and
// shared by the dimensions of the call.
class Sweeper {
 public:
  Sweeper(const Db& db, int32_t current_year)
      : db_(db), current_year_(current_year), max_year_(current_year + 2) {}

  void run(Dimension d, std::vector<std::string>& out) {
    switch (d) {
      case Dimension::wmi:
        return wmi_rows(out);
      case Dimension::pattern:
        return pattern_keys(out);
      case Dimension::engine:
        return engine_models(out);
      case Dimension::vspec:
        return vspec_schemas(out);
      case Dimension::exception:
        return exceptions(out);
      case Dimension::defaults:
        return default_types(out);
    }
  }

 private:
  static void push(std::vector<std::string>& out, std::optional<std::string> vin) {
    if (vin) out.push_back(std::move(*vin));
  }

  const std::vector<SchemaEntry>& schemas() {
    if (!schemas_) schemas_ = schema_to_wmi(db_);
    return *schemas_;
  }
  const std::vector<std::pair<int32_t, std::string_view>>& wmis() {
    if (!wmis_) wmis_ = wmis_by_id(db_);
    return *wmis_;
  }

  // The year of the first schema link of a WMI, if it has one.
  std::optional<int32_t> first_link_year(int32_t wmi_id) {
    Table<WmiVinSchemaRow> links = db_.wmi_vin_schemas();
    auto [first, end] =
        links.equal_range([](const WmiVinSchemaRow& r) { return r.wmi_id; }, wmi_id);
    if (first == end) return std::nullopt;
    WmiVinSchemaRow r = links[first];
    return schema_year(r.year_from, open_to_9999(r.year_to), max_year_);
  }

  // Where a pattern row leads: its schema's entry and that entry's WMI.
  struct PatternTarget {
    std::string_view wmi;
    std::string_view key;
    SchemaEntry entry;
  };
  std::optional<PatternTarget> pattern_target(uint32_t pattern_index) {
    PatternRow row = db_.patterns().at(pattern_index);
    std::optional<SchemaEntry> entry = find_schema(schemas(), row.vin_schema_id);
    if (!entry) return std::nullopt;
    std::optional<std::string_view> wmi = find_wmi(wmis(), entry->wmi_id);
    if (!wmi) return std::nullopt;
    return PatternTarget{*wmi, db_.string(row.keys), *entry};
  }
  int32_t entry_year(const SchemaEntry& entry) const {
    return schema_year(entry.year_from, entry.year_to, max_year_);
  }

  void wmi_rows(std::vector<std::string>& out) {
    Table<WmiRow> wmis = db_.wmis();
    for (size_t w = 0; w < wmis.size(); ++w) {
      WmiRow row = wmis[w];
      // A WMI without schema links is still swept, at the calendar year.
      int32_t year = first_link_year(row.id).value_or(current_year_);
      push(out, build_vin(db_.string(row.code), "*****", year));
    }
  }

  void pattern_keys(std::vector<std::string>& out) {
    Table<PatternRow> patterns = db_.patterns();
    std::vector<StrId> seen;  // keys of the current schema, sorted
    std::optional<int32_t> schema_id;
    std::optional<SchemaEntry> entry;
    std::optional<std::string_view> wmi;
    int32_t year = 0;
    for (size_t i = 0; i < patterns.size(); ++i) {
      PatternRow row = patterns[i];
      if (schema_id != row.vin_schema_id) {
        schema_id = row.vin_schema_id;
        seen.clear();
        entry = find_schema(schemas(), row.vin_schema_id);
        wmi = entry ? find_wmi(wmis(), entry->wmi_id) : std::nullopt;
        if (entry) year = entry_year(*entry);
      }
      auto at = std::lower_bound(seen.begin(), seen.end(), row.keys);
      if (at != seen.end() && *at == row.keys) continue;
      seen.insert(at, row.keys);
      if (wmi) push(out, build_vin(*wmi, db_.string(row.keys), year));
    }
  }

  void engine_models(std::vector<std::string>& out) {
    Table<EngineModelRow> engines = db_.engine_models();
    if (engines.empty()) return;
    std::vector<std::pair<std::string, uint32_t>> attributes =
        patterns_by_attribute(db_, ENGINE_MODEL_ELEMENT, true);
    for (size_t e = 0; e < engines.size(); ++e) {
      std::string name = ascii_lower(trim_unicode(db_.string(engines[e].name)));
      std::optional<uint32_t> pattern = find_attribute(attributes, name);
      if (!pattern) continue;
      if (std::optional<PatternTarget> t = pattern_target(*pattern)) {
        push(out, build_vin(t->wmi, t->key, entry_year(t->entry)));
      }
    }
  }

  // The first model year of a vehicle-spec schema inside the schema link's
  // range, so that the VIN's year is one the vehicle-spec schema applies to.
  std::optional<int32_t> vspec_year(int32_t vspec_id, const SchemaEntry& entry) const {
    Table<VehicleSpecSchemaYearRow> years = db_.vehicle_spec_schema_years();
    auto [first, end] =
        years.equal_range([](const VehicleSpecSchemaYearRow& r) { return r.schema_id; }, vspec_id);
    for (size_t i = first; i < end; ++i) {
      int32_t y = years[i].year;
      if (entry.year_from <= y && y <= entry.year_to) return y;
    }
    return std::nullopt;
  }

  void vspec_schemas(std::vector<std::string>& out) {
    Table<VehicleSpecSchemaRow> specs = db_.vehicle_spec_schemas();
    if (specs.empty()) return;  // spares the scan of every pattern row
    std::vector<std::pair<std::string, uint32_t>> attributes =
        patterns_by_attribute(db_, MODEL_ELEMENT, false);
    Table<VehicleSpecSchemaModelRow> models = db_.vehicle_spec_schema_models();
    for (size_t s = 0; s < specs.size(); ++s) {
      int32_t vspec_id = specs[s].id;
      auto [first, end] = models.equal_range(
          [](const VehicleSpecSchemaModelRow& r) { return r.schema_id; }, vspec_id);
      if (first == end) continue;
      std::optional<uint32_t> pattern =
          find_attribute(attributes, std::to_string(models[first].model_id));
      if (!pattern) continue;
      if (std::optional<PatternTarget> t = pattern_target(*pattern)) {
        int32_t year = vspec_year(vspec_id, t->entry).value_or(entry_year(t->entry));
        push(out, build_vin(t->wmi, t->key, year));
      }
    }
  }

  void exceptions(std::vector<std::string>& out) {
    Table<VinExceptionRow> rows = db_.vin_exceptions();
    for (size_t i = 0; i < rows.size(); ++i) out.emplace_back(db_.string(rows[i].vin));
  }

  void default_types(std::vector<std::string>& out) {
    Table<DefaultValueRow> defaults = db_.default_values();
    Table<WmiRow> wmis = db_.wmis();
    std::vector<int32_t> seen;
    for (size_t d = 0; d < defaults.size(); ++d) {
      int32_t type = defaults[d].vehicle_type_id;
      if (std::find(seen.begin(), seen.end(), type) != seen.end()) continue;
      seen.push_back(type);
      for (size_t w = 0; w < wmis.size(); ++w) {
        WmiRow row = wmis[w];
        if (row.vehicle_type_id != type) continue;
        std::optional<int32_t> year = first_link_year(row.id);
        if (!year) continue;
        push(out, build_vin(db_.string(row.code), "*****", *year));
        break;
      }
    }
  }

  static std::optional<uint32_t> find_attribute(
      const std::vector<std::pair<std::string, uint32_t>>& attributes, std::string_view text) {
    auto it =
        std::lower_bound(attributes.begin(), attributes.end(), text,
                         [](const auto& e, std::string_view t) { return text_less(e.first, t); });
    if (it == attributes.end() || it->first != text) return std::nullopt;
    return it->second;
  }

  const Db& db_;
  int32_t current_year_;
  int32_t max_year_;
  std::optional<std::vector<SchemaEntry>> schemas_;
  std::optional<std::vector<std::pair<int32_t, std::string_view>>> wmis_;
};

}  // namespace

std::vector<std::string> sweep(const Db& db, const std::vector<Dimension>& dimensions,
                               int32_t current_year) {
  std::vector<std::string> out;
  Sweeper sweeper(db, current_year);
  for (Dimension d : dimensions) sweeper.run(d, out);
  return out;
}

std::vector<std::string> cover_vins(const Db& db) {
  std::vector<std::string> out;
  size_t n = db.cover_vin_list().size();
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.emplace_back(db.cover_vin(i));
  return out;
}

}  // namespace tamberok::generate
