// Reads a vPIC SQLite database (a file, or SQL text loaded into memory) into
// artifact rows. Tables and columns are found by their standard vPIC names;
// SQLite matches names ignoring case.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tamberok/artifact_writer.h"

struct sqlite3;

namespace tamberok::import {

// Anything that stops an import: a missing file, a missing table or column,
// a value that does not read. what() is one line for the user.
class ImportError : public std::runtime_error {
 public:
  explicit ImportError(const std::string& message) : std::runtime_error(message) {}
};

// An open SQLite database holding vPIC tables.
class Source {
 public:
  // Opens an existing database file to read it under SQLite's own locks,
  // so that read_vpic sees one committed state of it, and leaves its folder
  // as it found it once closed. Refuses a path that is not a regular file
  // and a database whose -wal file holds changes not yet checkpointed into
  // it. Links are followed: the files SQLite keeps beside a database sit
  // beside the file itself.
  static Source open_file(const std::string& path);
  // Runs the SQL text of a file (CREATE TABLE and INSERT statements) in an
  // in-memory database; used for the test fixtures.
  static Source load_sql(const std::string& path);

  sqlite3* handle() const { return db_.get(); }
  // The path as given, for messages.
  const std::string& label() const { return label_; }
  // The file itself, its links followed: its -journal is beside it.
  const std::string& file() const { return file_; }

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  Source(sqlite3* db, std::string label, std::string file)
      : db_(db), label_(std::move(label)), file_(std::move(file)) {}

  std::unique_ptr<sqlite3, Close> db_;
  std::string label_;
  std::string file_;
};

// The file of a --supplement folder that holds the error-code texts.
inline constexpr char ERROR_CODE_FILE[] = "ErrorCode.tsv";

// The error codes a decode can give: each needs its text.
inline constexpr int32_t DECODED_ERROR_CODES[] = {0, 1, 2,  3,  4,  5,  6,  7,
                                                  8, 9, 10, 11, 12, 14, 400};

struct Import {
  artifact::Contents contents;
  // Tables the database lacks, written empty (in reading order).
  std::vector<std::string> missing_tables;
  // The name of each lookup table as the database spells it, for messages.
  std::vector<std::string> lookup_tables;
  // Lines for the user about what was read, one each.
  std::vector<std::string> warnings;
};

// Reads every table in one read transaction. `supplement_dir` may hold
// ErrorCode.tsv (id TAB name), used when the database has no ErrorCode
// table. Refuses a database that lacks, or has no rows in, a table that
// every decode reads, and error-code texts that leave a code the decoder
// gives without its text.
Import read_vpic(const Source& source, const std::optional<std::string>& supplement_dir);

// vPIC datetime text as microseconds since 1970 UTC: "YYYY-MM-DD HH:MM:SS",
// optionally with a fraction and with "T" for the blank and a final "Z".
std::optional<int64_t> parse_timestamp(std::string_view text);

// The group-rank spelling of an element group ("Exterior / Wheel tire"
// becomes "Exterior/Wheel Tire"); other names are kept as they are.
std::string known_group_name(std::string_view name);

}  // namespace tamberok::import
