// The pattern rows of each VIN schema, compiled once per process for
// matching against VIN keys, so that the candidate search walks a schema
// without a binary search into the pattern table, a cache lookup or a
// compile. A schema is compiled by the first thread that needs it; the
// result is immutable and shared by every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tamberok/db.h"
#include "tamberok/matcher.h"

namespace tamberok {

// One distinct key of a schema, ready to test against a VIN key.
struct KeyMatcher {
  // Plain keys: the bytes that must be equal, and 0xFF in `care` at their
  // positions ('*' and '_' match anything). A key longer than any VIN key
  // has length 255 and never matches.
  uint64_t literal[2] = {0, 0};
  uint64_t care[2] = {0, 0};
  uint8_t length = 0;
  // Keys with a bracket class: the compiled regular-expression text.
  const matcher::Compiled* compiled = nullptr;
};

// One pattern row the candidate search takes part in (rows of negative or
// WMI-derived elements are left out, as the search skips them).
struct SchemaRow {
  uint32_t row;           // index into the pattern table
  uint32_t key;           // index into CompiledSchema::keys
  bool element_decodes;   // the element is included and not excluded
  bool formula;           // the keys hold '#' and the element exists
};

struct CompiledSchema {
  bool decodes = false;  // the schema row exists and is not marked skip
  std::vector<SchemaRow> rows;  // in stored order
  std::vector<KeyMatcher> keys;
  std::vector<std::unique_ptr<const matcher::Compiled>> compiled;
};

// A VIN key laid out for KeyMatcher tests: its bytes zero-padded to 16.
struct PaddedKey {
  explicit PaddedKey(std::string_view key);
  uint64_t words[2] = {0, 0};
  std::string_view key;
};

bool key_matches(const KeyMatcher& matcher, const PaddedKey& key);

class SchemaIndex {
 public:
  explicit SchemaIndex(const Db& db);
  ~SchemaIndex();
  SchemaIndex(const SchemaIndex&) = delete;
  SchemaIndex& operator=(const SchemaIndex&) = delete;

  // The compiled rows of a schema named by some WMI link.
  const CompiledSchema& schema(int32_t vin_schema_id) const;

 private:
  const Db& db_;
  std::vector<int32_t> ids_;  // every vin_schema_id of a link, ascending, no repeats
  std::unique_ptr<std::atomic<const CompiledSchema*>[]> slots_;
};

// The index of this Db, built on first use.
const SchemaIndex& schema_index(const Db& db);

}  // namespace tamberok
