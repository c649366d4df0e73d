// Column mapping, vPIC table -> artifact row (a column that a present table
// lacks stops the import with the table and column named):
//
//   Wmi                  Id, Wmi (code), ManufacturerId, MakeId, VehicleTypeId,
//                        TruckTypeId, CreatedOn, UpdatedOn
//   Wmi_VinSchema        Id, WmiId, VinSchemaId, YearFrom, YearTo
//   VinSchema            Id; Notes and CreatedOn when present, only to find the
//                        community rows (below). skip is always clear: vPIC has
//                        no column that retires a schema.
//   Pattern              Id, VinSchemaId, Keys, ElementId, AttributeId, CreatedOn
//   Element              Id, Name, Code, IsPrivate (excluded when 1), GroupName,
//                        DataType, Decode (included when not empty), weight
//   Make_Model           MakeId, ModelId
//   Wmi_Make             WmiId, MakeId
//   EngineModel          Id, Name
//   EngineModelPattern   Id, EngineModelId, ElementId, AttributeId, CreatedOn
//   DefaultValue         Id, ElementId, VehicleTypeId, DefaultValue, CreatedOn;
//                        enabled is always set: vPIC lists only defaults in use
//   VinException         VIN, CheckDigit (set when 1)
//   Conversion           Id, FromElementId, ToElementId, Formula
//   lookup tables        Id, Name; the table named like LOOKUP_TABLE_NAMES[i]
//                        ignoring case becomes lookup table i
//   ErrorCode            Id, Name (lookup table "errorcode"); else the
//                        supplement file ErrorCode.tsv
//   VehicleSpecSchema    Id, MakeId, VehicleTypeId; skip always clear
//   VSpecSchemaPattern   Id, SchemaId
//   VehicleSpecPattern   Id, VSpecSchemaPatternId, IsKey (set when 1), ElementId,
//                        AttributeId, CreatedOn
//   VehicleSpecSchema_Model  VehicleSpecSchemaId, ModelId
//   VehicleSpecSchema_Year   VehicleSpecSchemaId, Year
//
// NULL reads as NONE_I32 in optional integers (MakeId, YearTo, weight, ...),
// as NONE_I64 in timestamps, as clear in flags and as the empty text in
// texts; a NULL id or foreign key is an error. Each value must be one the
// artifact holds as it is: texts in UTF-8, integers in 32 bits other than
// the absent mark NONE_I32, flags 0 or 1. validate.h checks whole tables.
#include "vpic_reader.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <unordered_map>
#include <unordered_set>

#include "files.h"
#include "signals.h"
#include "tamberok/tables.h"
#include "tamberok/text.h"
#include "validate.h"

namespace tamberok::import {

// ---- Sources -----------------------------------------------------------------

void Source::Close::operator()(sqlite3* db) const {
  sqlite3_close(db);
}

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A -wal file holding frames (beyond its 32-byte header) may hold committed
// changes the database file lacks. SQLite would read them, but the last
// connection to close would then copy them into the database file: the
// import leaves that to the user's own connections.
void refuse_pending_wal(const std::string& path, const std::string& file) {
  constexpr off_t WAL_HEADER_SIZE = 32;
  std::string wal = file + "-wal";
  struct stat st;
  if (::stat(wal.c_str(), &st) == 0 && st.st_size > WAL_HEADER_SIZE) {
    throw ImportError("database " + path + " has changes in " + wal +
                      " that are not in the database file yet: checkpoint it (close every "
                      "connection to it, or run PRAGMA wal_checkpoint(TRUNCATE)) and run again");
  }
}

// As SQLite decides it: the read version in byte 19 of the header is 2, or
// a -wal file lies beside the database whatever its header says.
bool in_wal_mode(const std::string& file) {
  if (exists(file + "-wal")) return true;
  int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;  // SQLite says why
  unsigned char header[20];
  ssize_t n = ::pread(fd, header, sizeof(header), 0);
  ::close(fd);
  return n == sizeof(header) && std::memcmp(header, "SQLite format 3", 16) == 0 && header[19] == 2;
}

std::string unwritable(const std::string& path, const std::string& what) {
  return "cannot read database " + path +
         ": it is in WAL mode, which SQLite reads only where it may write the file and its "
         "folder (for its -wal and -shm files), and this user may not write " +
         what;
}

// A WAL database read where SQLite may not write would leave -wal and -shm
// files that nothing removes.
void refuse_unwritable(const std::string& path, const std::string& file) {
  std::string folder = std::filesystem::path(file).parent_path().string();
  if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0) {
    throw ImportError(unwritable(path, file));
  }
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    throw ImportError(unwritable(path, folder));
  }
}

// A writer that is busy or died part way leaves what it changed in the
// database file until it commits, or until its -journal is rolled back.
ImportError read_error(const Source& source) {
  int code = sqlite3_extended_errcode(source.handle());
  std::string cannot = "cannot read database " + source.label() + ": ";
  if ((code & 0xFF) == SQLITE_BUSY) {
    return ImportError(cannot +
                       "another connection is writing it; run again once it has committed or "
                       "rolled back");
  }
  if (code == SQLITE_READONLY_ROLLBACK) {
    return ImportError(cannot + source.file() +
                       "-journal holds the changes of a writer that stopped part way; recover "
                       "it first (open the database once with sqlite3 as a user who may write "
                       "it) and run again");
  }
  return ImportError(cannot + sqlite3_errmsg(source.handle()));
}

void exec(const Source& source, const char* sql) {
  if (sqlite3_exec(source.handle(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw read_error(source);
  }
}

// How long a read waits for a writer to commit before the import gives up.
constexpr int BUSY_TIMEOUT_MS = 2000;

// A signal that ends the run stops a read within this many steps of
// SQLite's virtual machine (a fraction of a millisecond), so that the
// connection closes, and the files SQLite made with it go, before the
// process ends.
constexpr int STEPS_BETWEEN_STOP_CHECKS = 1000;

int stop_when_requested(void*) {
  return stop_requested() ? 1 : 0;
}

void stop_on_request(sqlite3* db) {
  sqlite3_progress_handler(db, STEPS_BETWEEN_STOP_CHECKS, stop_when_requested, nullptr);
}

}  // namespace

Source Source::open_file(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    throw ImportError("cannot open database " + path + ": " +
                      (errno == ENOENT ? "no such file" : std::strerror(errno)));
  }
  std::string reason = not_regular_reason(st.st_mode);
  if (!reason.empty()) throw ImportError("cannot open database " + path + ": " + reason);
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    throw ImportError("cannot open database " + path + ": " + std::strerror(errno));
  }
  std::string file = resolved;
  std::free(resolved);
  refuse_pending_wal(path, file);
  // In WAL mode SQLite reads through the -shm file and its locks, which
  // needs a connection that may write: a read-only one would leave -wal and
  // -shm behind. query_only keeps the connection from writing the database;
  // as the last connection to close, it removes the files it made. In
  // rollback mode a read-only connection takes the usual shared lock.
  bool wal = in_wal_mode(file);
  if (wal) refuse_unwritable(path, file);
  const bool found_wal = exists(file + "-wal"), found_shm = exists(file + "-shm");
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, wal ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY,
                           nullptr);
  Source source(db, path, file);
  if (rc != SQLITE_OK) {
    throw ImportError("cannot open database " + path + ": " +
                      (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
  }
  // SQLite falls back to read-only where the file cannot be written.
  if (wal && sqlite3_db_readonly(db, "main") == 1) throw ImportError(unwritable(path, file));
  if (found_wal) {
    // Files some other connection made, and may still use, stay.
    int keep = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
  }
  sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
  stop_on_request(db);
  exec(source, "PRAGMA query_only = ON");
  if (wal && found_wal != found_shm) {
    // One of the pair alone, as a connection that died while it closed, or
    // one that held the database for itself, leaves it: no connection shares
    // the database, so the read keeps its index in its own memory, and makes
    // no -shm file that would stay beside the -wal file kept.
    exec(source, "PRAGMA locking_mode = EXCLUSIVE");
  }
  return source;
}

Source Source::load_sql(const std::string& path) {
  std::optional<std::string> sql = read_regular_file(path, "SQL file ");
  if (!sql) throw ImportError("cannot open SQL file " + path);
  sqlite3* db = nullptr;
  int rc = sqlite3_open(":memory:", &db);
  Source source(db, path, path);
  if (rc != SQLITE_OK)
    throw ImportError("cannot create an in-memory database: " + std::string(sqlite3_errstr(rc)));
  stop_on_request(db);
  char* error = nullptr;
  if (sqlite3_exec(db, sql->c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw ImportError("cannot load SQL file " + path + ": " + message);
  }
  return source;
}

namespace {

struct Finalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(const Source& source, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(source.handle(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    throw read_error(source);
  }
  return Statement(stmt);
}

// Steps a statement; false at the end, an error for anything else.
bool step(const Source& source, sqlite3_stmt* stmt) {
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw read_error(source);
}

std::string identifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string_view column_text(sqlite3_stmt* stmt, int i) {
  const unsigned char* p = sqlite3_column_text(stmt, i);
  if (p == nullptr) return {};
  return {reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(stmt, i))};
}

// The tables and views of the database by name; SQLite itself matches table
// and column names ignoring ASCII case, and so does this.
class Catalog {
 public:
  explicit Catalog(const Source& source) : source_(source) {
    Statement stmt =
        prepare(source, "SELECT name FROM sqlite_master WHERE type IN ('table', 'view')");
    while (step(source, stmt.get())) {
      std::string name(column_text(stmt.get(), 0));
      tables_.emplace(ascii_lower(name), name);
    }
  }

  // The stored spelling of a table, none when the database lacks it.
  std::optional<std::string> find(std::string_view table) const {
    auto it = tables_.find(ascii_lower(table));
    if (it == tables_.end()) return std::nullopt;
    return it->second;
  }

  bool has_column(const std::string& table, std::string_view column) const {
    Statement stmt = prepare(source_, "PRAGMA table_info(" + identifier(table) + ")");
    while (step(source_, stmt.get())) {
      if (eq_ignore_ascii_case(column_text(stmt.get(), 1), column)) return true;
    }
    return false;
  }

 private:
  const Source& source_;
  std::unordered_map<std::string, std::string> tables_;
};

// The rows of one table, selected column by column. Readers say which row
// and column a bad value sits in: the row's Id when the first column is Id,
// else its position.
class TableReader {
 public:
  TableReader(const Source& source, const Catalog& catalog, std::string table,
              std::vector<std::string> columns)
      : source_(source), table_(std::move(table)), columns_(std::move(columns)) {
    std::string sql = "SELECT ";
    for (size_t i = 0; i < columns_.size(); ++i) {
      if (!catalog.has_column(table_, columns_[i])) {
        throw ImportError("table " + table_ + " lacks the column " + columns_[i]);
      }
      sql += (i == 0 ? "" : ", ") + identifier(columns_[i]);
    }
    stmt_ = prepare(source, sql + " FROM " + identifier(table_));
  }

  bool next() {
    ++row_;
    return step(source_, stmt_.get());
  }

  int32_t integer(int i) const {
    std::optional<int32_t> value = read_integer(i);
    if (!value) throw ImportError(where(i) + ": the value is missing (NULL)");
    return *value;
  }
  int32_t optional_integer(int i) const { return read_integer(i).value_or(NONE_I32); }
  bool flag(int i) const {
    std::optional<int32_t> value = read_integer(i);
    if (value && *value != 0 && *value != 1) {
      throw ImportError(where(i) + ": the flag " + std::to_string(*value) + " is neither 0 nor 1");
    }
    return value == 1;
  }

  std::string text(int i) const {
    std::string_view text = column_text(stmt_.get(), i);
    if (!is_utf8(text)) throw ImportError(where(i) + ": " + in_quotes(text) + " is not UTF-8 text");
    return std::string(text);
  }

  int64_t timestamp(int i) const {
    int type = sqlite3_column_type(stmt_.get(), i);
    if (type == SQLITE_NULL) return NONE_I64;
    std::string_view text = column_text(stmt_.get(), i);
    std::optional<int64_t> micros = type == SQLITE_TEXT ? parse_timestamp(text) : std::nullopt;
    if (!micros) throw ImportError(where(i) + ": unreadable timestamp " + in_quotes(text));
    return *micros;
  }

  // Stops the import at this row's cell `i`.
  [[noreturn]] void refuse(int i, const std::string& problem) const {
    throw ImportError(where(i) + ": " + problem);
  }

 private:
  std::optional<int32_t> read_integer(int i) const {
    sqlite3_stmt* stmt = stmt_.get();
    std::optional<int32_t> value;
    switch (sqlite3_column_type(stmt, i)) {
      case SQLITE_NULL:
        return std::nullopt;
      case SQLITE_INTEGER: {
        sqlite3_int64 v = sqlite3_column_int64(stmt, i);
        if (v >= INT32_MIN && v <= INT32_MAX) value = static_cast<int32_t>(v);
        break;
      }
      case SQLITE_FLOAT: {
        double v = sqlite3_column_double(stmt, i);
        if (std::trunc(v) == v && v >= INT32_MIN && v <= INT32_MAX) value = static_cast<int32_t>(v);
        break;
      }
      case SQLITE_TEXT:
        value = parse_i32(column_text(stmt, i));
        break;
      default:
        break;
    }
    if (!value) {
      throw ImportError(where(i) + ": " + in_quotes(column_text(stmt, i)) +
                        " is not a 32-bit integer");
    }
    if (*value == NONE_I32) {
      throw ImportError(where(i) + ": -2147483648 is the artifact's mark of an absent integer");
    }
    return value;
  }

  std::string where(int i) const {
    std::string row = "row " + std::to_string(row_);
    if (i != 0 && eq_ignore_ascii_case(columns_[0], "Id") &&
        sqlite3_column_type(stmt_.get(), 0) == SQLITE_INTEGER) {
      row = "row id " + std::to_string(sqlite3_column_int64(stmt_.get(), 0));
    }
    return "table " + table_ + ", " + row + ", column " + columns_[static_cast<size_t>(i)];
  }

  const Source& source_;
  std::string table_;
  std::vector<std::string> columns_;
  Statement stmt_;
  size_t row_ = 0;
};

// Reads one table into rows through `take`, or records it as missing.
template <typename Take>
void read_table(const Source& source, const Catalog& catalog, std::vector<std::string>& missing,
                std::string_view table, std::vector<std::string> columns, Take take) {
  std::optional<std::string> stored = catalog.find(table);
  if (!stored) {
    missing.emplace_back(table);
    return;
  }
  TableReader reader(source, catalog, *stored, std::move(columns));
  while (reader.next()) take(reader);
}

// ---- Lookup tables -------------------------------------------------------------

constexpr uint16_t ERRORCODE_TABLE = 44;

constexpr std::string_view NO_ERROR_CODE_TABLE =
    "the database has no ErrorCode table for the error-code texts";
constexpr std::string_view HOW_TO_GIVE_ERROR_TEXTS =
    ": give them with --supplement DIR, a folder holding ErrorCode.tsv (data/supplement in the "
    "source tree)";

// A text that leaves a decode's Error Text empty, or cut at a NUL by a
// reader in C, names no error: the problem with it, or empty.
std::string error_text_problem(std::string_view text) {
  if (text.empty()) return "the error text is empty";
  if (text.find('\0') != std::string_view::npos) return in_quotes(text) + " holds a NUL byte";
  return "";
}

// Refuses error-code texts (rows [first, end) of `rows`, from `source`)
// that lack a code a decode can give, naming every one missing.
void refuse_missing_error_codes(const std::vector<artifact::Lookup>& rows, size_t first,
                                const std::string& source) {
  std::unordered_set<int32_t> ids;
  for (size_t i = first; i < rows.size(); ++i) ids.insert(rows[i].id);
  std::string missing;
  for (int32_t code : DECODED_ERROR_CODES) {
    if (ids.count(code) == 0) missing += (missing.empty() ? "" : ", ") + std::to_string(code);
  }
  if (!missing.empty()) {
    throw ImportError(source + " has no text for error codes the decoder gives: " + missing);
  }
}

// The lines of a text file, each with its number; an LF, a CRLF or a lone
// CR ends a line, as a file saved on any system ends them.
template <typename Take>
void for_each_line(std::string_view text, Take take) {
  size_t number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    take(++number, text.substr(at, end - at));
    at = end;
    if (at < text.size()) at += text.compare(at, 2, "\r\n") == 0 ? 2 : 1;
  }
}

// ErrorCode.tsv: one "id TAB name" per line. The name runs to the end of the
// line unchanged: some vPIC error texts end in a blank.
void read_error_code_supplement(const std::optional<std::string>& dir,
                                std::vector<artifact::Lookup>& out) {
  if (!dir) {
    throw ImportError(std::string(NO_ERROR_CODE_TABLE) + std::string(HOW_TO_GIVE_ERROR_TEXTS));
  }
  std::string path = (std::filesystem::path(*dir) / ERROR_CODE_FILE).string();
  std::optional<std::string> text = read_regular_file(path, "");
  if (!text) {
    throw ImportError(std::string(NO_ERROR_CODE_TABLE) + " and there is no " + path +
                      std::string(HOW_TO_GIVE_ERROR_TEXTS));
  }
  size_t first = out.size();
  std::unordered_map<int32_t, size_t> line_of_id;
  for_each_line(*text, [&](size_t number, std::string_view line) {
    if (line.empty()) return;
    auto refuse = [&](const std::string& problem) {
      throw ImportError(path + ", line " + std::to_string(number) + ": " + problem);
    };
    size_t tab = line.find('\t');
    std::optional<int32_t> id =
        tab == std::string_view::npos ? std::nullopt : parse_i32(line.substr(0, tab));
    if (!id) refuse("expected an integer id, a tab and a name");
    if (!is_utf8(line)) refuse(in_quotes(line) + " is not UTF-8 text");
    std::string_view name = line.substr(tab + 1);
    std::string problem = error_text_problem(name);
    if (!problem.empty()) refuse(problem);
    auto [seen, added] = line_of_id.emplace(*id, number);
    if (!added) {
      refuse("error code " + std::to_string(*id) + " again, first given on line " +
             std::to_string(seen->second));
    }
    out.push_back({.table = ERRORCODE_TABLE, .id = *id, .name = std::string(name)});
  });
  if (out.size() == first) {
    throw ImportError(path + " holds no error codes: every Error Text would be empty");
  }
  refuse_missing_error_codes(out, first, path);
}

// Every decode names its error codes in text: the database's ErrorCode
// table gives the texts, else the supplement file does.
void read_lookups(const Source& source, const Catalog& catalog,
                  const std::optional<std::string>& supplement_dir, Import& import) {
  static_assert(LOOKUP_TABLE_NAMES[ERRORCODE_TABLE] == "errorcode");
  std::vector<artifact::Lookup>& rows = import.contents.lookups;
  for (uint16_t index = 0; index < LOOKUP_TABLE_NAMES.size(); ++index) {
    std::string_view name = LOOKUP_TABLE_NAMES[index];
    std::optional<std::string> stored = catalog.find(name);
    import.lookup_tables.push_back(stored.value_or(std::string(name)));
    if (index != ERRORCODE_TABLE) {
      read_table(source, catalog, import.missing_tables, name, {"Id", "Name"},
                 [&](const TableReader& r) {
                   rows.push_back({.table = index, .id = r.integer(0), .name = r.text(1)});
                 });
      continue;
    }
    if (!stored) {
      read_error_code_supplement(supplement_dir, rows);
      continue;
    }
    size_t first = rows.size();
    read_table(source, catalog, import.missing_tables, name, {"Id", "Name"},
               [&](const TableReader& r) {
                 int32_t id = r.integer(0);
                 std::string text = r.text(1);
                 std::string problem = error_text_problem(text);
                 if (!problem.empty()) r.refuse(1, problem);
                 rows.push_back({.table = index, .id = id, .name = std::move(text)});
               });
    if (rows.size() == first) {
      throw ImportError("table " + *stored + " has no rows: every Error Text would be empty");
    }
    refuse_missing_error_codes(rows, first, "table " + *stored);
    if (supplement_dir) {
      import.warnings.push_back("the error-code texts come from the database's table " + *stored +
                                ", not from the --supplement folder " + *supplement_dir);
    }
  }
}

// ---- Rows that are not NHTSA's ---------------------------------------------------

// The downloaded copy adds VIN schemas contributed by its own users, marked
// in Notes, with their patterns, their WMI links and WMIs made for them. The
// artifact holds what vPIC publishes, so they are left out. A WMI goes only
// when every link it has is to such a schema and it was created no earlier
// than that schema: an NHTSA WMI that merely gained a community link stays.
struct CommunitySchemas {
  std::unordered_map<int32_t, int64_t> created_on;  // schema id -> created on
  bool contains(int32_t id) const { return created_on.count(id) != 0; }
};

bool is_community_note(std::string_view notes) {
  return eq_ignore_ascii_case(trim_unicode(notes), "Community contribution");
}

void drop_community_rows(const CommunitySchemas& community, artifact::Contents& c) {
  if (community.created_on.empty()) return;
  struct Links {
    bool other = false;
    int64_t first_community = INT64_MAX;
  };
  std::unordered_map<int32_t, Links> links;  // by wmi id
  for (const artifact::WmiVinSchema& link : c.wmi_vin_schemas) {
    Links& l = links[link.wmi_id];
    auto it = community.created_on.find(link.vin_schema_id);
    if (it == community.created_on.end()) {
      l.other = true;
    } else {
      l.first_community = std::min(l.first_community, it->second);
    }
  }
  std::unordered_set<int32_t> dropped_wmis;
  for (const artifact::Wmi& wmi : c.wmis) {
    auto it = links.find(wmi.id);
    if (it != links.end() && !it->second.other && it->second.first_community != INT64_MAX &&
        wmi.created_on >= it->second.first_community) {
      dropped_wmis.insert(wmi.id);
    }
  }
  std::erase_if(c.vin_schemas,
                [&](const artifact::VinSchema& r) { return community.contains(r.id); });
  std::erase_if(c.patterns,
                [&](const artifact::Pattern& r) { return community.contains(r.vin_schema_id); });
  std::erase_if(c.wmi_vin_schemas, [&](const artifact::WmiVinSchema& r) {
    return community.contains(r.vin_schema_id);
  });
  std::erase_if(c.wmis, [&](const artifact::Wmi& r) { return dropped_wmis.count(r.id) != 0; });
  std::erase_if(c.wmi_makes,
                [&](const artifact::WmiMake& r) { return dropped_wmis.count(r.wmi_id) != 0; });
}

CommunitySchemas read_vin_schemas(const Source& source, const Catalog& catalog, Import& import) {
  CommunitySchemas community;
  std::optional<std::string> table = catalog.find("VinSchema");
  std::vector<std::string> columns = {"Id"};
  bool marked = table && catalog.has_column(*table, "Notes");
  if (marked) {
    columns.push_back("Notes");
    if (catalog.has_column(*table, "CreatedOn")) columns.push_back("CreatedOn");
  }
  read_table(source, catalog, import.missing_tables, "VinSchema", columns,
             [&](const TableReader& r) {
               int32_t id = r.integer(0);
               import.contents.vin_schemas.push_back({.id = id, .skip = false});
               if (marked && is_community_note(r.text(1))) {
                 community.created_on[id] = columns.size() > 2 ? r.timestamp(2) : NONE_I64;
               }
             });
  return community;
}

// ---- Elements ----------------------------------------------------------------------

std::string_view trim_blanks(std::string_view s, bool left, bool right) {
  while (left && !s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (right && !s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string known_group_name(std::string_view name) {
  // Blanks next to a "/" go; blanks at either end of the name stay.
  std::string squeezed;
  size_t start = 0;
  while (true) {
    size_t slash = name.find('/', start);
    bool last = slash == std::string_view::npos;
    std::string_view piece = name.substr(start, last ? std::string_view::npos : slash - start);
    squeezed += trim_blanks(piece, start != 0, !last);
    if (last) break;
    squeezed.push_back('/');
    start = slash + 1;
  }
  for (std::string_view known : GROUP_NAMES) {
    if (eq_ignore_ascii_case(squeezed, known)) return std::string(known);
  }
  return std::string(name);
}

// ---- Timestamps -----------------------------------------------------------------------

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool leap_year(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

std::optional<int64_t> parse_timestamp(std::string_view t) {
  auto number = [&](size_t at, size_t n) -> std::optional<int64_t> {
    int64_t v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (i >= t.size() || !is_ascii_digit(t[i])) return std::nullopt;
      v = v * 10 + (t[i] - '0');
    }
    return v;
  };
  auto at_is = [&](size_t at, char c) { return at < t.size() && t[at] == c; };
  auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
  auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || !at_is(4, '-') || !at_is(7, '-') ||
      !(at_is(10, ' ') || at_is(10, 'T')) || !at_is(13, ':') || !at_is(16, ':')) {
    return std::nullopt;
  }
  size_t at = 19;
  int64_t micros = 0;
  if (at_is(at, '.')) {
    size_t first = ++at;
    int64_t scale = 100000;
    while (at < t.size() && is_ascii_digit(t[at])) {
      micros += (t[at] - '0') * scale;  // digits past the sixth are dropped
      scale /= 10;
      ++at;
    }
    if (at == first || at - first > 9) return std::nullopt;
  }
  if (at_is(at, 'Z')) ++at;
  if (at != t.size()) return std::nullopt;

  static constexpr int64_t MONTH_DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*month < 1 || *month > 12 || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
  int64_t days_in_month = MONTH_DAYS[*month - 1] + (*month == 2 && leap_year(*year) ? 1 : 0);
  if (*day < 1 || *day > days_in_month) return std::nullopt;
  int64_t seconds =
      days_from_civil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
  return seconds * 1000000 + micros;
}

// ---- The whole database -----------------------------------------------------------------

namespace {

// Tables without which no VIN decodes: a WMI leads to its schemas, their
// patterns give the values, and the elements name them. Any other table may
// be missing (a trimmed copy lacks several) and is written empty.
constexpr std::string_view REQUIRED_TABLES[] = {"Wmi", "Wmi_VinSchema", "VinSchema", "Pattern",
                                                "Element"};

void require_tables(const Source& source, const Catalog& catalog) {
  if (!catalog.find("Wmi")) {
    throw ImportError("database " + source.label() + " has no Wmi table (is it a vPIC database?)");
  }
  std::string missing;
  for (std::string_view table : REQUIRED_TABLES) {
    if (!catalog.find(table)) missing += (missing.empty() ? "" : ", ") + std::string(table);
  }
  if (!missing.empty()) {
    throw ImportError("database " + source.label() +
                      " lacks tables without which no VIN decodes: " + missing);
  }
}

// Each must still hold rows once the community rows are gone: an artifact
// without them decodes every VIN to error 8.
void require_rows(const Catalog& catalog, const artifact::Contents& c) {
  const std::pair<std::string_view, bool> empty[] = {
      {"Wmi", c.wmis.empty()},
      {"Wmi_VinSchema", c.wmi_vin_schemas.empty()},
      {"VinSchema", c.vin_schemas.empty()},
      {"Pattern", c.patterns.empty()},
      {"Element", c.element_defs.empty()},
  };
  static_assert(std::size(empty) == std::size(REQUIRED_TABLES));
  for (const auto& [table, none] : empty) {
    if (none) {
      throw ImportError("table " + catalog.find(table).value_or(std::string(table)) +
                        " has no rows to import: no VIN would decode");
    }
  }
}

// A supplement folder that is not there is a mistake even where the
// database holds the texts.
void require_supplement_folder(const std::string& dir) {
  struct stat st;
  std::string cannot = "cannot open supplement folder " + dir + ": ";
  if (::stat(dir.c_str(), &st) != 0) {
    throw ImportError(cannot + (errno == ENOENT ? "no such folder" : std::strerror(errno)));
  }
  if (!S_ISDIR(st.st_mode)) throw ImportError(cannot + "it is not a folder");
}

// Every table is read in one transaction: one committed state of the
// database, whatever another connection commits meanwhile.
class ReadTransaction {
 public:
  explicit ReadTransaction(const Source& source) : source_(source) { exec(source, "BEGIN"); }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;
  ~ReadTransaction() {
    if (open_) sqlite3_exec(source_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void end() {
    exec(source_, "COMMIT");
    open_ = false;
  }

 private:
  const Source& source_;
  bool open_ = true;
};

}  // namespace

Import read_vpic(const Source& source, const std::optional<std::string>& supplement_dir) {
  if (supplement_dir) require_supplement_folder(*supplement_dir);
  ReadTransaction transaction(source);
  Catalog catalog(source);
  require_tables(source, catalog);
  Import import;
  artifact::Contents& c = import.contents;
  auto read = [&](std::string_view table, std::vector<std::string> columns, auto take) {
    read_table(source, catalog, import.missing_tables, table, std::move(columns), take);
  };

  read("Wmi",
       {"Id", "Wmi", "ManufacturerId", "MakeId", "VehicleTypeId", "TruckTypeId", "CreatedOn",
        "UpdatedOn"},
       [&](const TableReader& r) {
         c.wmis.push_back({.id = r.integer(0),
                           .code = r.text(1),
                           .manufacturer_id = r.optional_integer(2),
                           .make_id = r.optional_integer(3),
                           .vehicle_type_id = r.optional_integer(4),
                           .truck_type_id = r.optional_integer(5),
                           .created_on = r.timestamp(6),
                           .updated_on = r.timestamp(7)});
       });
  read("Wmi_VinSchema", {"Id", "WmiId", "VinSchemaId", "YearFrom", "YearTo"},
       [&](const TableReader& r) {
         c.wmi_vin_schemas.push_back({.id = r.integer(0),
                                      .wmi_id = r.integer(1),
                                      .vin_schema_id = r.integer(2),
                                      .year_from = r.integer(3),
                                      .year_to = r.optional_integer(4)});
       });
  CommunitySchemas community = read_vin_schemas(source, catalog, import);
  read("Pattern", {"Id", "VinSchemaId", "Keys", "ElementId", "AttributeId", "CreatedOn"},
       [&](const TableReader& r) {
         c.patterns.push_back({.id = r.integer(0),
                               .vin_schema_id = r.integer(1),
                               .keys = r.text(2),
                               .element_id = r.integer(3),
                               .attribute_id = r.text(4),
                               .created_on = r.timestamp(5)});
       });
  read("Element", {"Id", "Name", "Code", "IsPrivate", "GroupName", "DataType", "Decode", "weight"},
       [&](const TableReader& r) {
         std::string decode = r.text(6);
         bool included = !decode.empty();
         c.element_defs.push_back({.id = r.integer(0),
                                   .name = r.text(1),
                                   .code = r.text(2),
                                   .excluded = r.flag(3),
                                   .group_name = known_group_name(r.text(4)),
                                   .data_type = r.text(5),
                                   .decode = std::move(decode),
                                   .included = included,
                                   .weight = r.optional_integer(7)});
       });
  read("Make_Model", {"MakeId", "ModelId"}, [&](const TableReader& r) {
    c.make_models.push_back({.make_id = r.integer(0), .model_id = r.integer(1)});
  });
  read("Wmi_Make", {"WmiId", "MakeId"}, [&](const TableReader& r) {
    c.wmi_makes.push_back({.wmi_id = r.integer(0), .make_id = r.integer(1)});
  });
  read("EngineModel", {"Id", "Name"}, [&](const TableReader& r) {
    c.engine_models.push_back({.id = r.integer(0), .name = r.text(1)});
  });
  read("EngineModelPattern", {"Id", "EngineModelId", "ElementId", "AttributeId", "CreatedOn"},
       [&](const TableReader& r) {
         c.engine_model_patterns.push_back({.id = r.integer(0),
                                            .engine_model_id = r.integer(1),
                                            .element_id = r.integer(2),
                                            .attribute_id = r.text(3),
                                            .created_on = r.timestamp(4)});
       });
  read("DefaultValue", {"Id", "ElementId", "VehicleTypeId", "DefaultValue", "CreatedOn"},
       [&](const TableReader& r) {
         c.default_values.push_back({.id = r.integer(0),
                                     .element_id = r.integer(1),
                                     .vehicle_type_id = r.integer(2),
                                     .default_value = r.text(3),
                                     .enabled = true,
                                     .created_on = r.timestamp(4)});
       });
  read("VinException", {"VIN", "CheckDigit"}, [&](const TableReader& r) {
    c.vin_exceptions.push_back({.vin = r.text(0), .check_digit = r.flag(1)});
  });
  read("Conversion", {"Id", "FromElementId", "ToElementId", "Formula"}, [&](const TableReader& r) {
    c.conversions.push_back({.id = r.integer(0),
                             .from_element_id = r.integer(1),
                             .to_element_id = r.integer(2),
                             .formula = r.text(3)});
  });
  read_lookups(source, catalog, supplement_dir, import);
  read("VehicleSpecSchema", {"Id", "MakeId", "VehicleTypeId"}, [&](const TableReader& r) {
    c.vehicle_spec_schemas.push_back({.id = r.integer(0),
                                      .make_id = r.integer(1),
                                      .vehicle_type_id = r.optional_integer(2),
                                      .skip = false});
  });
  read("VSpecSchemaPattern", {"Id", "SchemaId"}, [&](const TableReader& r) {
    c.vspec_schema_patterns.push_back({.id = r.integer(0), .schema_id = r.integer(1)});
  });
  read("VehicleSpecPattern",
       {"Id", "VSpecSchemaPatternId", "IsKey", "ElementId", "AttributeId", "CreatedOn"},
       [&](const TableReader& r) {
         c.vehicle_spec_patterns.push_back({.id = r.integer(0),
                                            .vspec_schema_pattern_id = r.integer(1),
                                            .is_key = r.flag(2),
                                            .element_id = r.integer(3),
                                            .attribute_id = r.text(4),
                                            .created_on = r.timestamp(5)});
       });
  read("VehicleSpecSchema_Model", {"VehicleSpecSchemaId", "ModelId"}, [&](const TableReader& r) {
    c.vehicle_spec_schema_models.push_back({.schema_id = r.integer(0), .model_id = r.integer(1)});
  });
  read("VehicleSpecSchema_Year", {"VehicleSpecSchemaId", "Year"}, [&](const TableReader& r) {
    c.vehicle_spec_schema_years.push_back({.schema_id = r.integer(0), .year = r.integer(1)});
  });

  transaction.end();

  drop_community_rows(community, c);
  require_rows(catalog, c);
  return import;
}

}  // namespace tamberok::import
