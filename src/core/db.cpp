#include "tamberok/db.h"

#include <algorithm>
#include <string>

namespace tamberok {

namespace {

constexpr size_t ROW_SIZES[TABLE_COUNT] = {
    1,                                  // strings
    4,                                  // string_offsets
    sizeof(WmiRow),                     //
    sizeof(WmiVinSchemaRow),            //
    sizeof(VinSchemaRow),               //
    sizeof(PatternRow),                 //
    sizeof(ElementRow),                 //
    sizeof(MakeModelRow),               //
    sizeof(WmiMakeRow),                 //
    sizeof(EngineModelRow),             //
    sizeof(EngineModelPatternRow),      //
    sizeof(DefaultValueRow),            //
    sizeof(VinExceptionRow),            //
    sizeof(ConversionRow),              //
    sizeof(LookupRow),                  //
    sizeof(StoredString),               //
    sizeof(VehicleSpecSchemaRow),       //
    sizeof(VSpecSchemaPatternRow),      //
    sizeof(VehicleSpecPatternRow),      //
    sizeof(VehicleSpecSchemaModelRow),  //
    sizeof(VehicleSpecSchemaYearRow),   //
};

constexpr const char* TABLE_NAMES[TABLE_COUNT] = {
    "strings",
    "string_offsets",
    "wmis",
    "wmi_vin_schemas",
    "vin_schemas",
    "patterns",
    "element_defs",
    "make_models",
    "wmi_makes",
    "engine_models",
    "engine_model_patterns",
    "default_values",
    "vin_exceptions",
    "conversions",
    "lookups",
    "cover_vin_list",
    "vehicle_spec_schemas",
    "vspec_schema_patterns",
    "vehicle_spec_patterns",
    "vehicle_spec_schema_models",
    "vehicle_spec_schema_years",
};

template <typename T>
T read_le(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

}  // namespace

void panic_index(size_t index, size_t len) {
  throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index));
}

void Db::panic_table(TableId id) {
  throw Panic(std::string("tamberok: table ") + TABLE_NAMES[static_cast<size_t>(id)] +
              " lies outside the artifact");
}

namespace {
std::atomic<uint64_t> next_serial{1};
}  // namespace

Db::Db(std::span<const uint8_t> bytes)
    : bytes_(bytes), serial_(next_serial.fetch_add(1, std::memory_order_relaxed)) {
  if (bytes.size() < ROOT_SIZE) {
    throw Panic("tamberok: the artifact is " + std::to_string(bytes.size()) +
                " bytes long, shorter than its 168-byte root");
  }
  size_t root = bytes.size() - ROOT_SIZE;
  for (size_t i = 0; i < TABLE_COUNT; ++i) {
    size_t at = root + 8 * i;
    int32_t offset = read_le<int32_t>(bytes.data() + at);
    uint32_t count = read_le<uint32_t>(bytes.data() + at + 4);
    Run& run = runs_[i];
    run.count = count;
    if (count == 0) continue;  // an empty table's offset is never followed
    // A run that does not fit the artifact is refused when the table is
    // first used, not here, so a corrupt artifact fails one call, not load.
    int64_t start = static_cast<int64_t>(at) + offset;
    uint64_t length = uint64_t{count} * ROW_SIZES[i];
    if (start < 0 || static_cast<uint64_t>(start) + length > bytes.size()) {
      run.inside = false;
      continue;
    }
    run.base = bytes.data() + start;
  }
  // Sized by the rows that lie within the artifact, so a corrupt count
  // cannot make it large.
  const Run& wmi_run = runs_[static_cast<size_t>(TableId::wmis)];
  wmi_rows_ = std::make_unique<PublishedSlots>(wmi_run.inside ? wmi_run.count : 0);
  const Run& offsets = runs_[static_cast<size_t>(TableId::string_offsets)];
  const Run& text = runs_[static_cast<size_t>(TableId::strings)];
  if (offsets.inside && text.inside) {
    offsets_ = offsets.base;
    offsets_count_ = offsets.count;
    text_ = reinterpret_cast<const char*>(text.base);
    text_size_ = text.count;
  }
}

std::string_view Db::strings() const {
  const Run& run = runs_[static_cast<size_t>(TableId::strings)];
  if (!run.inside) panic_table(TableId::strings);
  return {reinterpret_cast<const char*>(run.base), run.count};
}

std::string_view Db::string_checked(StrId id) const {
  Table<uint32_t> offsets = string_offsets();
  size_t n = offsets.size();
  size_t k = id;
  if (k >= n) panic_index(k, n);
  if (k + 1 >= n) panic_index(k + 1, n);
  uint32_t start = offsets[k];
  uint32_t end = offsets[k + 1];
  std::string_view all = strings();
  if (start > end) {
    throw Panic("slice index starts at " + std::to_string(start) + " but ends at " +
                std::to_string(end));
  }
  if (end > all.size()) {
    throw Panic("range end index " + std::to_string(end) + " out of range for slice of length " +
                std::to_string(all.size()));
  }
  return all.substr(start, end - start);
}

size_t Db::wmi_search(std::string_view code) const {
  Table<WmiRow> rows = wmis();
  return rows.lower_bound(0, rows.size(),
                          [&](const WmiRow& r) { return text_less(string(r.code), code); });
}

size_t Db::wmi_lower_bound(std::string_view code) const {
  // Every decode looks its WMI up several times: a known code is one hash
  // probe once it has been searched for, while an unknown one is searched
  // each time, so that arbitrary input adds nothing to the table.
  Table<WmiRow> rows = wmis();
  const uint64_t hash = text_hash(code, 0);
  const uint64_t tag = hash & 0xFFFFFFFF;
  auto row_of = [](uint64_t word) { return static_cast<size_t>(word & 0xFFFFFFFF) - 1; };
  auto same = [&](uint64_t word) {
    return (word >> 32) == tag && string(rows[row_of(word)].code) == code;
  };
  if (uint64_t word = wmi_rows_->find(hash, same)) return row_of(word);
  size_t at = wmi_search(code);
  if (at < rows.size() && at < UINT32_MAX && string(rows[at].code) == code) {
    wmi_rows_->insert(hash, (tag << 32) | (at + 1), same);
  }
  return at;
}

std::optional<WmiRow> Db::wmi_any(std::string_view code) const {
  Table<WmiRow> rows = wmis();
  size_t at = wmi_lower_bound(code);
  if (at == rows.size()) return std::nullopt;
  WmiRow row = rows[at];
  if (string(row.code) != code) return std::nullopt;
  return row;
}

Db::LookupTables::~LookupTables() {
  for (size_t i = 0; i < tables.size(); ++i) delete tables[i].load(std::memory_order_relaxed);
}

const Db::LookupTable* Db::build_lookup_table(uint16_t table) const {
  Table<LookupRow> rows = lookups();
  auto out = std::make_unique<LookupTable>();
  size_t first = rows.lower_bound(0, rows.size(), [&](const LookupRow& r) { return r.table < table; });
  size_t end = rows.lower_bound(first, rows.size(),
                                [&](const LookupRow& r) { return r.table <= table; });
  out->first = static_cast<uint32_t>(first);
  out->end = static_cast<uint32_t>(end);
  if (first < end) {
    // Ids ascend within a table: the first and last rows give the span.
    // Sparse tables keep the binary search.
    int64_t span = int64_t{rows[end - 1].id} - rows[first].id + 1;
    out->may_be_dense = span > 0 && span <= 4 * static_cast<int64_t>(end - first) + 64;
  }
  return out.release();
}

const Db::DenseIds* Db::build_dense_ids(const LookupTable& table) const {
  Table<LookupRow> rows = lookups();
  auto out = std::make_unique<DenseIds>();
  int64_t low = rows[table.first].id;
  int64_t span = int64_t{rows[table.end - 1].id} - low + 1;
  out->first_id = static_cast<int32_t>(low);
  out->rows.assign(static_cast<size_t>(span), 0);
  for (size_t i = table.first; i < table.end; ++i) {
    int64_t offset = int64_t{rows[i].id} - low;
    if (offset < 0 || offset >= span) return nullptr;  // not in id order after all: searched
    uint32_t& slot = out->rows[static_cast<size_t>(offset)];
    if (slot == 0) slot = static_cast<uint32_t>(i + 1);  // the first row of an id
  }
  return out.release();
}

// Read for every coded value of a result: inline, so that a table already
// seen costs its caller two acquire loads; built out of line on first use.
inline const Db::LookupTable& Db::lookup_table(uint16_t table) const {
  const LookupTables& all = lookup_tables_.get([] { return std::make_unique<LookupTables>(); });
  return publish_once(all.tables[table], [&] {
    return std::unique_ptr<const LookupTable>(build_lookup_table(table));
  });
}

// Searches of a table before its ids are laid out for direct indexing.
constexpr uint32_t SEARCHES_BEFORE_DENSE = 64;

std::optional<std::string_view> Db::lookup(uint16_t table, int32_t id) const {
  const LookupTable& t = lookup_table(table);
  if (t.first == t.end) return std::nullopt;
  Table<LookupRow> rows = lookups();
  if (const DenseIds* dense = t.dense.load(std::memory_order_acquire)) {
    int64_t offset = int64_t{id} - dense->first_id;
    if (offset < 0 || offset >= static_cast<int64_t>(dense->rows.size())) return std::nullopt;
    uint32_t slot = dense->rows[static_cast<size_t>(offset)];
    if (slot == 0) return std::nullopt;
    return string(rows[slot - 1].name);
  }
  // Counted only until the layout was tried: a table whose ids turn out to
  // be out of order must not cost a shared write on every later search.
  if (t.may_be_dense && t.searches.load(std::memory_order_relaxed) <= SEARCHES_BEFORE_DENSE &&
      t.searches.fetch_add(1, std::memory_order_relaxed) == SEARCHES_BEFORE_DENSE) {
    // One thread gets here per table; the others go on searching meanwhile.
    if (const DenseIds* dense = build_dense_ids(t)) {
      t.dense.store(dense, std::memory_order_release);
    }
  }
  size_t at = rows.lower_bound(t.first, t.end, [&](const LookupRow& r) { return r.id < id; });
  if (at == t.end) return std::nullopt;
  LookupRow row = rows[at];
  if (row.id != id) return std::nullopt;
  return string(row.name);
}

// The element index is dense over ids up to this bound (the catalogue's ids
// are in the hundreds). Larger ids, which only a corrupt or oddly numbered
// table holds, are found by binary search instead: one huge id must not make
// the index allocate gigabytes.
constexpr size_t ELEMENT_INDEX_SLOTS = size_t{1} << 16;

inline const std::vector<int32_t>& Db::element_index() const {
  return element_index_.get([this]() __attribute__((noinline)) {
    Table<ElementRow> rows = element_defs();
    auto index = std::make_unique<std::vector<int32_t>>();
    if (rows.empty()) return index;
    int32_t largest = INT32_MIN;
    for (size_t i = 0; i < rows.size(); ++i) largest = std::max(largest, rows[i].id);
    if (largest < 0) return index;
    index->assign(std::min(static_cast<size_t>(largest) + 1, ELEMENT_INDEX_SLOTS), -1);
    for (size_t i = 0; i < rows.size(); ++i) {
      int32_t id = rows[i].id;
      if (id >= 0 && static_cast<size_t>(id) < index->size())
        (*index)[static_cast<size_t>(id)] = static_cast<int32_t>(i);
    }
    return index;
  });
}

std::optional<ElementRow> Db::element(int32_t id) const {
  if (id < 0) return std::nullopt;
  const std::vector<int32_t>& index = element_index();
  if (static_cast<size_t>(id) >= index.size()) {
    if (index.size() < ELEMENT_INDEX_SLOTS) return std::nullopt;
    Table<ElementRow> rows = element_defs();
    size_t at = rows.lower_bound(0, rows.size(), [&](const ElementRow& r) { return r.id < id; });
    if (at == rows.size() || rows[at].id != id) return std::nullopt;
    return rows[at];
  }
  int32_t slot = index[static_cast<size_t>(id)];
  if (slot == -1) return std::nullopt;
  return element_defs().at(static_cast<size_t>(slot));
}

std::vector<int32_t> Db::makeids_for_wmi_str(std::string_view code) const {
  std::vector<int32_t> ids;
  Table<WmiRow> rows = wmis();
  Table<WmiMakeRow> makes = wmi_makes();
  for (size_t at = wmi_lower_bound(code); at < rows.size(); ++at) {
    WmiRow row = rows[at];
    if (string(row.code) != code) break;
    auto [first, end] = makes.equal_range([](const WmiMakeRow& m) { return m.wmi_id; }, row.id);
    for (size_t i = first; i < end; ++i) ids.push_back(makes[i].make_id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

bool Db::is_public(const ElementRow& row) const {
  return row.included == 1 && (row.excluded & 1) == 0 && !string(row.decode).empty();
}

std::string_view Db::cover_vin(size_t i) const {
  Table<StoredString> rows = cover_vin_list();
  if (i >= rows.size()) panic_index(i, rows.size());
  const uint8_t* record = rows.address(i);
  if ((record[0] & 0xC0) != 0x80) {
    size_t length = 0;
    while (length < 8 && record[length] != 0xFF) ++length;
    return {reinterpret_cast<const char*>(record), length};
  }
  uint32_t w = read_le<uint32_t>(record);
  size_t length = (w & 0x3F) | ((w >> 8) << 6);
  int32_t offset = read_le<int32_t>(record + 4);
  int64_t start = (record - bytes_.data()) + int64_t{offset};
  if (start < 0 || static_cast<uint64_t>(start) + length > bytes_.size()) {
    throw Panic("tamberok: cover VIN " + std::to_string(i) + " lies outside the artifact");
  }
  return {reinterpret_cast<const char*>(bytes_.data() + start), length};
}

// ---- The process-wide database ---------------------------------------------

extern "C" {
extern const uint8_t tamberok_embedded_begin[];
extern const uint8_t tamberok_embedded_end[];
}

std::span<const uint8_t> embedded_artifact() {
  return {tamberok_embedded_begin,
          static_cast<size_t>(tamberok_embedded_end - tamberok_embedded_begin)};
}

namespace {
// Never destroyed: pool workers and daemon threads may still read the
// database while exit handlers run.
constinit std::atomic<const Db*> GLOBAL_DB{nullptr};
}  // namespace

const Db& global_db() {
  const Db& db = publish_once(GLOBAL_DB, [] { return std::make_unique<const Db>(embedded_artifact()); });
  if (db.is_empty_placeholder()) throw Panic(EMPTY_ARTIFACT_MESSAGE);
  return db;
}

}  // namespace tamberok
