// The vehicle database: one immutable artifact of vPIC tables, read in place.
//
// Artifact layout (all integers little-endian; the artifact starts at an
// address aligned to 16 bytes):
//
//   bytes 0..63     header: "TAMBEROK", u32 format version 1, 36 bytes not
//                   interpreted (46..47 hold u16 64), 16 zero bytes. Readers
//                   never look at it.
//   bytes 64..N-169 body: the tables, in descriptor order, each starting at
//                   the next multiple of its alignment, zero padding between.
//   bytes N-168..   root TableSet: 21 descriptors of 8 bytes. Descriptor i:
//                   i32 offset from the descriptor's own first byte to the
//                   table's first row, u32 row count (bytes for `strings`).
//                   A count of 0 means empty; its offset is never followed.
//
// clang-format off
//   #  table                       row                        size align  sorted by
//   0  strings                     byte                          1   1    -
//   1  string_offsets              u32                           4   4    -  (texts + 1 entries)
//   2  wmis                        WmiRow                       40   8    code text (unique)
//   3  wmi_vin_schemas             WmiVinSchemaRow              20   4    wmi_id, id
//   4  vin_schemas                 VinSchemaRow                  8   4    id (unique)
//   5  patterns                    PatternRow                   40   8    vin_schema_id, id
//   6  element_defs                ElementRow                   36   4    id (unique)
//   7  make_models                 MakeModelRow                  8   4    model_id (unique)
//   8  wmi_makes                   WmiMakeRow                    8   4    wmi_id, make_id
//   9  engine_models               EngineModelRow                8   4    id (unique)
//   10 engine_model_patterns       EngineModelPatternRow        24   8    engine_model_id, id
//   11 default_values              DefaultValueRow              32   8    vehicle_type_id, id
//   12 vin_exceptions              VinExceptionRow               8   4    vin text (repeats adjacent)
//   13 conversions                 ConversionRow                16   4    id
//   14 lookups                     LookupRow                    12   4    (table, id) strictly
//   15 cover_vin_list              StoredString                  8   4    build order
//   16 vehicle_spec_schemas        VehicleSpecSchemaRow         16   4    make_id, id
//   17 vspec_schema_patterns       VSpecSchemaPatternRow         8   4    schema_id, id
//   18 vehicle_spec_patterns       VehicleSpecPatternRow        32   8    vspec_schema_pattern_id, id
//   19 vehicle_spec_schema_models  VehicleSpecSchemaModelRow     8   4    schema_id, model_id
//   20 vehicle_spec_schema_years   VehicleSpecSchemaYearRow      8   4    schema_id, year
// clang-format on
//
// Texts: every text field is a StrId k into one string table: the bytes
// strings[string_offsets[k] .. string_offsets[k+1]). Each distinct text is
// stored once, so equal StrIds are equal texts and the reverse.
//
// Texts sort byte by byte (unsigned), a proper prefix first; integers sort
// signed. Ties follow the secondary keys above, and readers that pick "the
// first" row of an equal range rely on them.
//
// Scalars: i32 unless stated; NONE_I32 marks an absent integer, NONE_I64 an
// absent timestamp (i64 microseconds since 1970 UTC). A flag is one byte, 1
// or 0, padded with zero bytes to the next 4-byte field.
//
// StoredString (cover_vin_list), 8 bytes: when byte 0 & 0xC0 == 0x80 the text
// is out of line: u32 w at bytes 0..3 gives the length (w & 0x3F) |
// ((w >> 8) << 6), and the i32 at bytes 4..7 is the offset from the record's
// first byte to the text. Otherwise the text is inline, padded with 0xFF; its
// length is the index of the first 0xFF (8 when none).
//
// The EMPTY placeholder is any artifact whose `wmis` table is empty.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamberok/hash.h"
#include "tamberok/lazy.h"
#include "tamberok/panic.h"

namespace tamberok {

static_assert(std::endian::native == std::endian::little,
              "the artifact is little-endian and read in place");

using StrId = uint32_t;

inline constexpr int32_t NONE_I32 = INT32_MIN;
inline constexpr int64_t NONE_I64 = INT64_MIN;

inline constexpr size_t HEADER_SIZE = 64;
inline constexpr size_t TABLE_COUNT = 21;
inline constexpr size_t ROOT_SIZE = TABLE_COUNT * 8;

inline constexpr char EMPTY_ARTIFACT_MESSAGE[] =
    "tamberok: this binary embeds the EMPTY placeholder artifact (data/vpic.rkyv was absent at "
    "build time), so every decode would be wrong. Get real data: `make download && make data` "
    "(runs tamberok-import), download vpic.rkyv from a GitHub release of this repo, or install "
    "the prebuilt wheel from PyPI.";

enum class TableId : uint8_t {
  strings = 0,
  string_offsets,
  wmis,
  wmi_vin_schemas,
  vin_schemas,
  patterns,
  element_defs,
  make_models,
  wmi_makes,
  engine_models,
  engine_model_patterns,
  default_values,
  vin_exceptions,
  conversions,
  lookups,
  cover_vin_list,
  vehicle_spec_schemas,
  vspec_schema_patterns,
  vehicle_spec_patterns,
  vehicle_spec_schema_models,
  vehicle_spec_schema_years,
};

// ---- Row records, byte for byte as stored. --------------------------------

struct WmiRow {
  int32_t id;
  StrId code;
  int32_t manufacturer_id;
  int32_t make_id;
  int32_t vehicle_type_id;
  int32_t truck_type_id;
  int64_t created_on;
  int64_t updated_on;
};

struct WmiVinSchemaRow {
  int32_t id;
  int32_t wmi_id;
  int32_t vin_schema_id;
  int32_t year_from;
  int32_t year_to;  // NONE_I32: open-ended
};

struct VinSchemaRow {
  int32_t id;
  uint8_t skip;
  uint8_t pad[3];
};

struct PatternRow {
  int32_t id;
  int32_t vin_schema_id;
  StrId keys;
  StrId keys_regex;  // meaningful only when has_class is 1
  int32_t element_id;
  StrId attribute_id;
  int64_t created_on;
  uint8_t literal_count;
  uint8_t has_class;
  uint8_t pad[6];
};

struct ElementRow {
  int32_t id;
  StrId name;
  StrId code;
  uint8_t excluded;
  uint8_t pad0[3];
  StrId group_name;
  StrId data_type;
  StrId decode;
  uint8_t included;
  uint8_t pad1[3];
  int32_t weight;  // NONE_I32 when absent
};

struct MakeModelRow {
  int32_t make_id;
  int32_t model_id;
};

struct WmiMakeRow {
  int32_t wmi_id;
  int32_t make_id;
};

struct EngineModelRow {
  int32_t id;
  StrId name;
};

struct EngineModelPatternRow {
  int32_t id;
  int32_t engine_model_id;
  int32_t element_id;
  StrId attribute_id;
  int64_t created_on;
};

struct DefaultValueRow {
  int32_t id;
  int32_t element_id;
  int32_t vehicle_type_id;
  StrId default_value;
  uint8_t enabled;
  uint8_t pad[3];
  uint32_t reserved;
  int64_t created_on;
};

struct VinExceptionRow {
  StrId vin;
  uint8_t check_digit;
  uint8_t pad[3];
};

struct ConversionRow {
  int32_t id;
  int32_t from_element_id;
  int32_t to_element_id;
  StrId formula;
};

struct LookupRow {
  uint16_t table;
  uint16_t pad;
  int32_t id;
  StrId name;
};

struct StoredString {
  uint8_t bytes[8];
};

struct VehicleSpecSchemaRow {
  int32_t id;
  int32_t make_id;
  int32_t vehicle_type_id;
  uint8_t skip;
  uint8_t pad[3];
};

struct VSpecSchemaPatternRow {
  int32_t id;
  int32_t schema_id;
};

struct VehicleSpecPatternRow {
  int32_t id;
  int32_t vspec_schema_pattern_id;
  uint8_t is_key;
  uint8_t pad[3];
  int32_t element_id;
  StrId attribute_id;
  uint32_t reserved;
  int64_t created_on;
};

struct VehicleSpecSchemaModelRow {
  int32_t schema_id;
  int32_t model_id;
};

struct VehicleSpecSchemaYearRow {
  int32_t schema_id;
  int32_t year;
};

#define TAMBEROK_ROW(T, SIZE, ALIGN)                                    \
  static_assert(sizeof(T) == (SIZE), #T " size must match the format"); \
  static_assert(alignof(T) == (ALIGN), #T " alignment must match the format")
TAMBEROK_ROW(WmiRow, 40, 8);
TAMBEROK_ROW(WmiVinSchemaRow, 20, 4);
TAMBEROK_ROW(VinSchemaRow, 8, 4);
TAMBEROK_ROW(PatternRow, 40, 8);
TAMBEROK_ROW(ElementRow, 36, 4);
TAMBEROK_ROW(MakeModelRow, 8, 4);
TAMBEROK_ROW(WmiMakeRow, 8, 4);
TAMBEROK_ROW(EngineModelRow, 8, 4);
TAMBEROK_ROW(EngineModelPatternRow, 24, 8);
TAMBEROK_ROW(DefaultValueRow, 32, 8);
TAMBEROK_ROW(VinExceptionRow, 8, 4);
TAMBEROK_ROW(ConversionRow, 16, 4);
TAMBEROK_ROW(LookupRow, 12, 4);
TAMBEROK_ROW(StoredString, 8, 1);
TAMBEROK_ROW(VehicleSpecSchemaRow, 16, 4);
TAMBEROK_ROW(VSpecSchemaPatternRow, 8, 4);
TAMBEROK_ROW(VehicleSpecPatternRow, 32, 8);
TAMBEROK_ROW(VehicleSpecSchemaModelRow, 8, 4);
TAMBEROK_ROW(VehicleSpecSchemaYearRow, 8, 4);
#undef TAMBEROK_ROW
static_assert(offsetof(WmiRow, created_on) == 24 && offsetof(WmiRow, updated_on) == 32);
static_assert(offsetof(PatternRow, created_on) == 24 && offsetof(PatternRow, literal_count) == 32 &&
              offsetof(PatternRow, has_class) == 33);
static_assert(offsetof(ElementRow, excluded) == 12 && offsetof(ElementRow, group_name) == 16 &&
              offsetof(ElementRow, included) == 28 && offsetof(ElementRow, weight) == 32);
static_assert(offsetof(EngineModelPatternRow, created_on) == 16);
static_assert(offsetof(DefaultValueRow, enabled) == 16 &&
              offsetof(DefaultValueRow, reserved) == 20 &&
              offsetof(DefaultValueRow, created_on) == 24);
static_assert(offsetof(VinExceptionRow, check_digit) == 4);
static_assert(offsetof(LookupRow, id) == 4 && offsetof(LookupRow, name) == 8);
static_assert(offsetof(VehicleSpecSchemaRow, skip) == 12);
static_assert(offsetof(VehicleSpecPatternRow, is_key) == 8 &&
              offsetof(VehicleSpecPatternRow, element_id) == 12 &&
              offsetof(VehicleSpecPatternRow, reserved) == 20 &&
              offsetof(VehicleSpecPatternRow, created_on) == 24);

// Public element: included byte 1, excluded bit clear, decode text non-empty.
// The decode text is checked by the caller through Db::string (is_public).

// ---- Table views ------------------------------------------------------------

// A run of rows inside the artifact. Rows are copied out with memcpy: the
// artifact holds bytes, not C++ objects, and a copy of a few dozen bytes is
// what a load would cost anyway.
template <typename Row>
class Table {
 public:
  Table() = default;
  Table(const uint8_t* base, size_t count) : base_(base), count_(count) {}

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // Unchecked: callers index within [0, size()).
  Row operator[](size_t i) const {
    Row row;
    std::memcpy(&row, base_ + i * sizeof(Row), sizeof(Row));
    return row;
  }
  // Checked: an index outside the table is a broken invariant.
  Row at(size_t i) const;

  // The address of row i in the artifact (cover_vin_list texts are relative
  // to their record).
  const uint8_t* address(size_t i) const { return base_ + i * sizeof(Row); }

  // First index in [lo, hi) whose row is not below the wanted key, where
  // less(row) says the row is below it. The halving loop keeps a base and a
  // shrinking size, then steps past base when base itself is below.
  template <typename Less>
  size_t lower_bound(size_t lo, size_t hi, Less less) const {
    size_t size = hi - lo;
    if (size == 0) return lo;
    size_t base = lo;
    while (size > 1) {
      size_t half = size / 2;
      size_t mid = base + half;
      if (less((*this)[mid])) base = mid;
      size -= half;
    }
    if (less((*this)[base])) ++base;
    return base;
  }

  // The half-open range of rows in [lo, hi) whose integer key equals value,
  // for a table sorted on that key.
  template <typename Key>
  std::pair<size_t, size_t> equal_range(Key key, int32_t value) const {
    return equal_range(0, count_, key, value);
  }
  template <typename Key>
  std::pair<size_t, size_t> equal_range(size_t lo, size_t hi, Key key, int32_t value) const {
    size_t first = lower_bound(lo, hi, [&](const Row& r) { return key(r) < value; });
    size_t end = lower_bound(first, hi, [&](const Row& r) { return key(r) <= value; });
    return {first, end};
  }

 private:
  const uint8_t* base_ = nullptr;
  size_t count_ = 0;
};

[[noreturn]] void panic_index(size_t index, size_t len);

template <typename Row>
Row Table<Row>::at(size_t i) const {
  if (i >= count_) panic_index(i, count_);
  return (*this)[i];
}

// Byte-wise text order: unsigned bytes over the common length, then the
// shorter text first.
inline bool text_less(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c < 0;
  return a.size() < b.size();
}

// ---- The database handle ------------------------------------------------------

class Db {
 public:
  // A view over a complete artifact; `bytes` must stay alive and unchanged
  // for as long as the Db and anything read from it. Nothing is read here
  // beyond the 21 table descriptors of the root.
  explicit Db(std::span<const uint8_t> bytes);
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  // The text of a StrId; a view into the artifact. Panics on an id outside
  // the string table or offsets out of order. Inline: the decoder resolves a
  // text for every pattern row it walks.
  std::string_view string(StrId id) const {
    size_t k = id;
    if (k + 1 < offsets_count_) {
      uint32_t start;
      uint32_t end;
      std::memcpy(&start, offsets_ + 4 * k, 4);
      std::memcpy(&end, offsets_ + 4 * k + 4, 4);
      if (start <= end && end <= text_size_) return {text_ + start, end - start};
    }
    return string_checked(id);
  }

  // The WMI row with exactly this code (upper case, 3 or 6 characters).
  std::optional<WmiRow> wmi_any(std::string_view code) const;

  // The name of value `id` in lookup table `table`.
  std::optional<std::string_view> lookup(uint16_t table, int32_t id) const;

  // The element row of an id; none for negative or unknown ids.
  std::optional<ElementRow> element(int32_t id) const;

  // Make ids of every WMI row with this code, ascending, without repeats.
  std::vector<int32_t> makeids_for_wmi_str(std::string_view code) const;

  // Included byte 1, excluded bit clear and a non-empty decode text.
  bool is_public(const ElementRow& row) const;

  // Index of the first WMI row whose code is not below `code`.
  size_t wmi_lower_bound(std::string_view code) const;

  // A number unique to this Db within the process. Per-thread caches that
  // hold facts about one artifact (matchers by StrId, characters by WMI)
  // compare it to tell when a thread has moved to another artifact.
  uint64_t serial() const { return serial_; }

  // True for the EMPTY placeholder artifact (no WMI rows).
  bool is_empty_placeholder() const { return wmis().empty(); }

  // The artifact's tables, in descriptor order.
  std::string_view strings() const;
  Table<uint32_t> string_offsets() const { return table<uint32_t>(TableId::string_offsets); }
  Table<WmiRow> wmis() const { return table<WmiRow>(TableId::wmis); }
  Table<WmiVinSchemaRow> wmi_vin_schemas() const {
    return table<WmiVinSchemaRow>(TableId::wmi_vin_schemas);
  }
  Table<VinSchemaRow> vin_schemas() const { return table<VinSchemaRow>(TableId::vin_schemas); }
  Table<PatternRow> patterns() const { return table<PatternRow>(TableId::patterns); }
  Table<ElementRow> element_defs() const { return table<ElementRow>(TableId::element_defs); }
  Table<MakeModelRow> make_models() const { return table<MakeModelRow>(TableId::make_models); }
  Table<WmiMakeRow> wmi_makes() const { return table<WmiMakeRow>(TableId::wmi_makes); }
  Table<EngineModelRow> engine_models() const {
    return table<EngineModelRow>(TableId::engine_models);
  }
  Table<EngineModelPatternRow> engine_model_patterns() const {
    return table<EngineModelPatternRow>(TableId::engine_model_patterns);
  }
  Table<DefaultValueRow> default_values() const {
    return table<DefaultValueRow>(TableId::default_values);
  }
  Table<VinExceptionRow> vin_exceptions() const {
    return table<VinExceptionRow>(TableId::vin_exceptions);
  }
  Table<ConversionRow> conversions() const { return table<ConversionRow>(TableId::conversions); }
  Table<LookupRow> lookups() const { return table<LookupRow>(TableId::lookups); }
  Table<StoredString> cover_vin_list() const {
    return table<StoredString>(TableId::cover_vin_list);
  }
  Table<VehicleSpecSchemaRow> vehicle_spec_schemas() const {
    return table<VehicleSpecSchemaRow>(TableId::vehicle_spec_schemas);
  }
  Table<VSpecSchemaPatternRow> vspec_schema_patterns() const {
    return table<VSpecSchemaPatternRow>(TableId::vspec_schema_patterns);
  }
  Table<VehicleSpecPatternRow> vehicle_spec_patterns() const {
    return table<VehicleSpecPatternRow>(TableId::vehicle_spec_patterns);
  }
  Table<VehicleSpecSchemaModelRow> vehicle_spec_schema_models() const {
    return table<VehicleSpecSchemaModelRow>(TableId::vehicle_spec_schema_models);
  }
  Table<VehicleSpecSchemaYearRow> vehicle_spec_schema_years() const {
    return table<VehicleSpecSchemaYearRow>(TableId::vehicle_spec_schema_years);
  }

  // The text of cover_vin_list row i.
  std::string_view cover_vin(size_t i) const;

  // Structures the decoder derives from this artifact, each built once by
  // the first thread that needs it (see lazy.h) and freed with the Db. This
  // layer stores them without knowing their types; each id is always asked
  // for with the same T, which derives from Derived.
  struct Derived {
    virtual ~Derived() = default;
  };
  enum class DerivedId : size_t { schema_index, charsets, element_facts, count };
  template <typename T, typename Build>
  const T& derived(DerivedId id, Build build) const {
    return static_cast<const T&>(derived_[static_cast<size_t>(id)].get(build));
  }

 private:
  struct Run {
    const uint8_t* base = nullptr;
    size_t count = 0;
    bool inside = true;  // the rows lie within the artifact
  };
  // The rows of one lookup table, found on its first use: its range of the
  // lookups table. A table that turns out to be in steady use, and whose
  // ids are dense, also gets the row index + 1 by id - first_id (0 for no
  // row), so that resolving a value is one index step; the first decodes of
  // a process search instead of reading the whole table.
  struct DenseIds {
    int32_t first_id = 0;
    std::vector<uint32_t> rows;
  };
  struct LookupTable {
    LookupTable() = default;
    ~LookupTable() { delete dense.load(std::memory_order_relaxed); }
    uint32_t first = 0;
    uint32_t end = 0;
    bool may_be_dense = false;
    mutable std::atomic<uint32_t> searches{0};
    mutable std::atomic<const DenseIds*> dense{nullptr};
  };
  // One slot per possible table number (the field is 16 bits).
  struct LookupTables {
    LookupTables() : tables(size_t{1} << 16) {}
    ~LookupTables();
    ZeroedSlots<const LookupTable*> tables;
  };

  template <typename Row>
  Table<Row> table(TableId id) const {
    const Run& run = runs_[static_cast<size_t>(id)];
    if (!run.inside) panic_table(id);
    return Table<Row>(run.base, run.count);
  }
  [[noreturn]] static void panic_table(TableId id);

  std::string_view string_checked(StrId id) const;
  // Defined inline in db.cpp, their only user.
  inline const std::vector<int32_t>& element_index() const;
  inline const LookupTable& lookup_table(uint16_t table) const;
  const LookupTable* build_lookup_table(uint16_t table) const;
  const DenseIds* build_dense_ids(const LookupTable& table) const;
  size_t wmi_search(std::string_view code) const;

  std::span<const uint8_t> bytes_;
  uint64_t serial_;
  Run runs_[TABLE_COUNT];
  // The string table, when both of its runs lie inside the artifact (else
  // empty, and every lookup takes the checked path that reports why).
  const uint8_t* offsets_ = nullptr;
  size_t offsets_count_ = 0;
  const char* text_ = nullptr;
  size_t text_size_ = 0;
  LazyCell<std::vector<int32_t>> element_index_;
  LazyCell<LookupTables> lookup_tables_;
  // Known WMI codes, each added on its first lookup: (hash tag << 32) |
  // (index of its first row + 1). Unknown codes are searched every time.
  std::unique_ptr<PublishedSlots> wmi_rows_;
  LazyCell<Derived> derived_[static_cast<size_t>(DerivedId::count)];
};

// The process-wide database over the embedded artifact, made by the first
// caller and never destroyed. Panics with EMPTY_ARTIFACT_MESSAGE, on every
// call, when the artifact is the EMPTY placeholder.
const Db& global_db();

// The embedded artifact bytes (16-byte aligned, read-only, process lifetime).
std::span<const uint8_t> embedded_artifact();

}  // namespace tamberok
