// Helpers shared by the C++ tests: databases over small artifacts built in
// the test or read from fixture files, and access to the real data.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tamberok/artifact_writer.h"
#include "tamberok/db.h"

namespace tamberok::testing {

// A Db over an artifact that it owns.
class ArtifactDb {
 public:
  explicit ArtifactDb(artifact::Contents contents);
  explicit ArtifactDb(const std::vector<uint8_t>& bytes);
  const Db& db() const { return *db_; }
  const artifact::AlignedBytes& bytes() const { return bytes_; }

 private:
  artifact::AlignedBytes bytes_;
  std::unique_ptr<Db> db_;
};

// Reads a whole file; throws std::runtime_error when it cannot.
std::vector<uint8_t> read_file(const std::string& path);

// A fixture artifact built from tests/fixtures/NAME.sql by the import tool.
std::unique_ptr<ArtifactDb> load_fixture(const std::string& name);

// The embedded real database, or nullptr when this binary embeds the EMPTY
// placeholder.
const Db* real_db();

// True when a missing real artifact must fail the test instead of skipping
// it (TAMBEROK_REQUIRE_DATA=1, as in CI).
bool real_data_required();

// The row size of each table, in descriptor order, as db.h lays them out.
inline constexpr size_t ROW_SIZES[TABLE_COUNT] = {1,  4, 40, 20, 8, 40, 36, 8,  8, 8, 24,
                                                  32, 8, 16, 12, 8, 16, 8,  32, 8, 8};

// Where a table's root descriptor and its first row lie in an artifact, and
// the bytes of its rows.
size_t descriptor_at(std::span<const uint8_t> bytes, TableId table);
size_t first_row_at(std::span<const uint8_t> bytes, TableId table);
std::string_view table_bytes(std::span<const uint8_t> bytes, TableId table);

}  // namespace tamberok::testing

// Skips the test (or fails it, when real data is required) without data.
#define TAMBEROK_REQUIRE_REAL_DB(var)                                         \
  const ::tamberok::Db* var##_ptr = ::tamberok::testing::real_db();           \
  if (var##_ptr == nullptr) {                                                 \
    if (::tamberok::testing::real_data_required()) {                          \
      FAIL() << "no real artifact embedded (run make download && make data)"; \
    }                                                                         \
    GTEST_SKIP() << "no real artifact embedded";                              \
  }                                                                           \
  const ::tamberok::Db& var = *var##_ptr
