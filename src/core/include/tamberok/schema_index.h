// The pattern rows of each VIN schema, compiled once per process for
// matching against VIN keys, so that the candidate search walks a schema
// without a binary search into the pattern table, a cache lookup or a
// compile. A schema is compiled by the first thread that needs it; the
// result is immutable and shared by every thread. Likewise each WMI's
// schema links: nothing is built for a WMI or a schema before a decode
// needs it, so the first decode of a process pays only for its own WMI.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/hash.h"
#include "tamberok/lazy.h"
#include "tamberok/matcher.h"

namespace tamberok {

// A VIN key laid out for KeyMatcher tests: its bytes zero-padded to 16.
struct PaddedKey {
  explicit PaddedKey(std::string_view key);
  uint64_t words[2] = {0, 0};
  std::string_view key;
  bool has_line_feed = false;  // '.' of a class key does not match it
};

// One bracket-class position of a class key: the bytes it accepts.
struct ClassPosition {
  uint8_t position;
  uint64_t bytes[4];
};

// KeyMatcher::length of keys longer than the 16 bytes it holds.
inline constexpr uint8_t LONG_KEY = 17;

// One distinct key of a schema, ready to test against a VIN key, with the
// rows that use it.
struct KeyMatcher {
  // The bytes that must be equal, and 0xFF in `care` at their positions
  // ('*', '_' and '.' match anything).
  uint64_t literal[2] = {0, 0};
  uint64_t care[2] = {0, 0};
  uint8_t length = 0;
  uint8_t class_count = 0;  // CompiledSchema::classes[first_class ...]
  // Bit i: position i is '.', which takes any byte but a line feed.
  uint16_t any = 0;
  uint32_t first_class = 0;
  // Class keys of more tokens than the fields above hold: the compiled
  // text, which decides alone. A text that only a regular
  // expression matches is kept as its StrId (`regex_text`) and matched
  // through the calling thread's own compiled copy: a regular-expression
  // object takes locks inside, and one shared by threads could be locked
  // by another thread at the moment of a fork.
  const matcher::Compiled* compiled = nullptr;
  bool regex = false;
  StrId regex_text = 0;
  // Plain keys longer than 16 bytes, compared as text (no VIN key is that
  // long, but the matcher takes any key).
  std::string_view long_keys;
  uint32_t rows_begin = 0;  // CompiledSchema::matchable[rows_begin, rows_end)
  uint32_t rows_end = 0;
};

// A pattern row that can join the matches, and its id for their order.
struct MatchableRow {
  uint32_t row;  // index into the pattern table
  int32_t id;
};

struct CompiledSchema {
  bool decodes = false;  // the schema row exists and is not marked skip
  // Rows whose element decodes, grouped by key (stored order within a key).
  std::vector<KeyMatcher> keys;
  std::vector<MatchableRow> matchable;
  std::vector<ClassPosition> classes;
  // Rows of formula keys ('#' in the keys, an existing element), in stored
  // order. Rows of negative or WMI-derived elements are in neither list.
  std::vector<uint32_t> formulas;
  std::vector<std::unique_ptr<const matcher::Compiled>> compiled;
  const Db* db = nullptr;  // the artifact of regex_text

  bool matches(const KeyMatcher& key, const PaddedKey& vin_key) const;
};

// A VIN schema named by some WMI link, and its rows, compiled on first use.
struct SchemaCell {
  explicit SchemaCell(int32_t id) : vin_schema_id(id) {}
  ~SchemaCell();
  int32_t vin_schema_id;
  mutable std::atomic<const CompiledSchema*> compiled{nullptr};
};

// One schema link a pass walks: its wmi_vin_schemas row, its schema, the
// schema's priority (the year_from of the first link of the walk that names
// it, so newer schemas win ties) and whether it is that link.
struct LinkVisit {
  uint32_t link;
  const SchemaCell* schema;
  int32_t priority;
  bool first_visit;
};

// Whether a schema link takes part in a pass of this year (every link does
// when the pass has no year).
bool link_covers(const WmiVinSchemaRow& link, bool has_year, int32_t year);

class SchemaIndex : public Db::Derived {
 public:
  explicit SchemaIndex(const Db& db);
  ~SchemaIndex() override;
  SchemaIndex(const SchemaIndex&) = delete;
  SchemaIndex& operator=(const SchemaIndex&) = delete;

  // The compiled rows of a schema named by some WMI link, by its id or by
  // the cell a LinkVisit names.
  const CompiledSchema& schema(int32_t vin_schema_id) const;
  const CompiledSchema& compiled(const SchemaCell& cell) const;

  // The half-open range of wmi_vin_schemas rows of a WMI row id.
  std::pair<size_t, size_t> links(int32_t wmi_id) const;

  // The links of a WMI row id that a pass of this year walks, in table
  // order: the covering ones, or all of them without a year. Valid until
  // the thread's next call for a WMI that has no links.
  std::span<const LinkVisit> visits(int32_t wmi_id, bool has_year, int32_t year) const;

 private:
  // The walk of a pass without a year, or of the years from `from` up to
  // the next run's, made when a pass first needs it.
  struct Walk {
    Walk() = default;
    ~Walk() { delete visits.load(std::memory_order_relaxed); }
    int32_t from = 0;
    mutable std::atomic<const std::vector<LinkVisit>*> visits{nullptr};
  };
  // The walks of one WMI: the set of covering links only changes where a
  // link begins or ends, so one walk per such year serves every year up to
  // the next one.
  struct WmiWalks {
    explicit WmiWalks(size_t count) : runs(std::make_unique<Walk[]>(count)), run_count(count) {}
    Walk all;                      // without a year
    std::unique_ptr<Walk[]> runs;  // ascending by from
    size_t run_count;
  };
  // A WMI row id met by some decode: its wmi_vin_schemas rows and, once a
  // pass has walked them, its walks.
  struct WmiEntry {
    WmiEntry(int32_t id, uint32_t first_link, uint32_t end_link)
        : wmi_id(id), first(first_link), end(end_link) {}
    ~WmiEntry();
    int32_t wmi_id;
    uint32_t first, end;
    mutable std::atomic<const WmiWalks*> walks{nullptr};
  };

  const WmiEntry* entry(int32_t wmi_id) const;  // NULL only when its table is full
  const SchemaCell& cell(int32_t vin_schema_id) const;
  std::pair<size_t, size_t> search_links(int32_t wmi_id) const;
  void add_visits(size_t first, size_t end, bool has_year, int32_t year,
                  std::vector<LinkVisit>& out) const;
  std::unique_ptr<const WmiWalks> walks_of(const WmiEntry& entry) const;
  const std::vector<LinkVisit>& walk(const WmiEntry& entry, const Walk& walk, bool has_year) const;

  const Db& db_;
  PublishedSlots wmis_;  // words: const WmiEntry*
  // The cells of the schemas, by row of the vin_schemas table, and of the
  // ids some link names that the table lacks (words: const SchemaCell*).
  ZeroedSlots<const SchemaCell*> by_row_;
  mutable std::atomic<const PublishedSlots*> others_{nullptr};
};

// The index of this Db, built on first use.
const SchemaIndex& schema_index(const Db& db);

inline bool CompiledSchema::matches(const KeyMatcher& m, const PaddedKey& k) const {
  if (m.regex) return matcher::match_class(*db, m.regex_text, k.key);
  if (m.compiled != nullptr) return matcher::matches(*m.compiled, k.key);
  if (m.length > k.key.size()) return false;
  if (m.length == LONG_KEY) return matcher::plain_matches(m.long_keys, k.key);
  if ((((k.words[0] ^ m.literal[0]) & m.care[0]) | ((k.words[1] ^ m.literal[1]) & m.care[1])) != 0)
    return false;
  if (k.has_line_feed) {
    for (uint32_t left = m.any; left != 0; left &= left - 1) {
      if (k.key[static_cast<size_t>(std::countr_zero(left))] == '\n') return false;
    }
  }
  for (uint32_t i = m.first_class, end = m.first_class + m.class_count; i < end; ++i) {
    const ClassPosition& c = classes[i];
    unsigned char b = static_cast<unsigned char>(k.key[c.position]);
    if (((c.bytes[b >> 6] >> (b & 63)) & 1) == 0) return false;
  }
  return true;
}

}  // namespace tamberok
