// tamberok-import: turns a vPIC SQLite database into the data artifact.
//
//   tamberok-import (--db FILE | --sql FILE) --out FILE [--supplement DIR] [--quiet]
//
// --sql loads SQL text (the test fixtures) into an in-memory database. Rows
// that would decode wrongly stop the import before anything is written
// (validate.h), and so does an output that is one of the inputs or one of
// the files SQLite keeps beside the database. The artifact is written to a
// temporary file beside FILE (or beside what FILE links to) and renamed
// over it only once it is complete and every table has been checked to be
// in its stored order, so a failed run never leaves a half-written
// artifact; one ended by a signal leaves no temporary file either, nor any
// file SQLite made beside the database (signals.h). The file replaced keeps
// its mode and owner. The stored cover corpus is chosen by decoding with
// the checked tables (cover.h) before that one write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "cover.h"
#include "files.h"
#include "signals.h"
#include "tamberok/artifact_check.h"
#include "tamberok/artifact_writer.h"
#include "tamberok/db.h"
#include "validate.h"
#include "vpic_reader.h"

namespace tamberok::import {
namespace {

constexpr char USAGE[] =
    "usage: tamberok-import (--db FILE | --sql FILE) --out FILE [--supplement DIR] [--quiet]";

struct Options {
  std::optional<std::string> db;
  std::optional<std::string> sql;
  std::optional<std::string> out;
  std::optional<std::string> supplement;
  bool quiet = false;
  bool help = false;
};

// None after printing the usage for arguments that do not make a call;
// `help` set, and nothing else read, at --help or -h.
std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::optional<std::string>* target = nullptr;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (arg == "--db") target = &options.db;
    if (arg == "--sql") target = &options.sql;
    if (arg == "--supplement") target = &options.supplement;
    if (arg == "--out") target = &options.out;
    if (target == nullptr || i + 1 >= argc) {
      std::fprintf(stderr, "tamberok-import: unexpected argument %s\n%s\n", argv[i], USAGE);
      return std::nullopt;
    }
    *target = argv[++i];
  }
  if (options.db.has_value() == options.sql.has_value() || !options.out) {
    std::fprintf(stderr, "%s\n", USAGE);
    return std::nullopt;
  }
  return options;
}

std::string error_text(int error) {
  return std::strerror(error);
}

ImportError cannot_write(const std::string& path, const std::string& reason) {
  return ImportError("cannot write " + path + ": " + reason);
}

// The file `path` names once its symbolic links are followed, so that a
// link stays a link and what it points to gets the artifact. Only a regular
// file or a name not yet taken is replaced: a device, a FIFO or a folder
// would be swapped for a plain file.
std::string output_target(const std::string& path) {
  LinkEnd end = follow_links(path);
  if (end.error != 0) throw cannot_write(path, error_text(end.error));
  if (!end.found) return end.path;  // a missing folder shows when the file is made
  std::string reason = not_regular_reason(end.st.st_mode);
  if (!reason.empty()) throw cannot_write(path, reason);
  return end.path;
}

// ---- The write --------------------------------------------------------------------

// A temporary file that is removed unless it was renamed into place, also
// when a signal ends the process (with EndingSignals alive).
class TempFile {
 public:
  // Made under a fresh random name beside `target`, exclusively and without
  // following a link: whatever already has a name there is never opened.
  TempFile(const std::string& path, const std::string& target) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[20];
      std::snprintf(suffix, sizeof(suffix), ".tmp-%08x", static_cast<unsigned>(random()));
      name_ = target + suffix;
      SignalsHeld held;
      fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd_ >= 0) {
        remove_on_signal(name_);
        return;
      }
      if (errno != EEXIST) throw cannot_write(path, error_text(errno));
    }
    throw cannot_write(path, "no free temporary name beside it");
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_) {
      SignalsHeld held;
      ::unlink(name_.c_str());
      keep_on_signal();
    }
  }

  // The file it replaces keeps its permissions, and its owner where this
  // user may give it (only root may give a file away). 0, or an errno.
  int keep_mode_of(const std::string& target) {
    struct stat st;
    if (::stat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    // Before the mode: a change of owner clears the set-id bits.
    if (::fchown(fd_, st.st_uid, st.st_gid) != 0 && errno != EPERM) return errno;
    return ::fchmod(fd_, st.st_mode & 07777) == 0 ? 0 : errno;
  }

  // 0, or the errno of the first step that failed.
  int write_all(const std::vector<uint8_t>& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      done += static_cast<size_t>(n);
    }
    if (::fsync(fd_) != 0) return errno;
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

  int rename_to(const std::string& target) {
    SignalsHeld held;
    if (::rename(name_.c_str(), target.c_str()) != 0) return errno;
    renamed_ = true;
    keep_on_signal();
    return 0;
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool renamed_ = false;
};

// Writes beside the target and renames, so readers see the old artifact or
// the new one, never a part.
void write_atomically(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string target = output_target(path);
  TempFile temp(path, target);
  int error = temp.keep_mode_of(target);
  if (error == 0) error = temp.write_all(bytes);
  if (error == 0) error = temp.rename_to(target);
  if (error != 0) throw cannot_write(path, error_text(error));
}

void print_summary(const Options& options, const Db& db, size_t bytes, double seconds) {
  const std::pair<const char*, size_t> counts[] = {
      {"strings (bytes)", db.strings().size()},
      {"string_offsets", db.string_offsets().size()},
      {"wmis", db.wmis().size()},
      {"wmi_vin_schemas", db.wmi_vin_schemas().size()},
      {"vin_schemas", db.vin_schemas().size()},
      {"patterns", db.patterns().size()},
      {"element_defs", db.element_defs().size()},
      {"make_models", db.make_models().size()},
      {"wmi_makes", db.wmi_makes().size()},
      {"engine_models", db.engine_models().size()},
      {"engine_model_patterns", db.engine_model_patterns().size()},
      {"default_values", db.default_values().size()},
      {"vin_exceptions", db.vin_exceptions().size()},
      {"conversions", db.conversions().size()},
      {"lookups", db.lookups().size()},
      {"cover_vin_list", db.cover_vin_list().size()},
      {"vehicle_spec_schemas", db.vehicle_spec_schemas().size()},
      {"vspec_schema_patterns", db.vspec_schema_patterns().size()},
      {"vehicle_spec_patterns", db.vehicle_spec_patterns().size()},
      {"vehicle_spec_schema_models", db.vehicle_spec_schema_models().size()},
      {"vehicle_spec_schema_years", db.vehicle_spec_schema_years().size()},
  };
  std::printf("tamberok-import: %s -> %s\n",
              options.db ? options.db->c_str() : options.sql->c_str(), options.out->c_str());
  for (const auto& [name, count] : counts) {
    std::printf("  %-28s %12s\n", name, cover::with_commas(count).c_str());
  }
  std::printf("  artifact %s bytes, %.2f s\n", cover::with_commas(bytes).c_str(), seconds);
}

void print_missing(const std::vector<std::string>& missing) {
  std::string line = "tamberok-import: warning: the database lacks " +
                     std::to_string(missing.size()) + " tables, written empty:";
  for (size_t i = 0; i < missing.size(); ++i) line += (i == 0 ? " " : ", ") + missing[i];
  std::fprintf(stderr, "%s\n", line.c_str());
}

std::vector<Input> inputs(const Options& options) {
  std::vector<Input> files;
  if (options.db) files.push_back({"the database", *options.db});
  if (options.sql) files.push_back({"the SQL file", *options.sql});
  if (options.supplement) {
    files.push_back({"the error-code file",
                     (std::filesystem::path(*options.supplement) / ERROR_CODE_FILE).string()});
  }
  return files;
}

// The database is closed as soon as it is read: the files SQLite keeps
// beside it go with the connection, before the long part of the run. A
// signal stops the read and ends the run only once they are gone.
Import read_input(const Options& options) {
  EndAfterClosing end_after_closing;
  Source source = options.db ? Source::open_file(*options.db) : Source::load_sql(*options.sql);
  return read_vpic(source, options.supplement);
}

void warn(const Options& options, const std::string& warning) {
  if (!options.quiet) std::fprintf(stderr, "tamberok-import: warning: %s\n", warning.c_str());
}

int run(const Options& options) {
  auto started = std::chrono::steady_clock::now();
  refuse_output_among_inputs(*options.out, inputs(options));
  if (options.db) refuse_output_among_database_files(*options.out, *options.db);
  Import import = read_input(options);
  if (!import.missing_tables.empty() && !options.quiet) print_missing(import.missing_tables);
  for (const std::string& warning : import.warnings) warn(options, warning);
  for (const std::string& warning : validate(import)) warn(options, warning);

  std::vector<uint8_t> bytes = artifact::write(import.contents);
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
    // Tables are found by signed 32-bit offsets from the root.
    throw ImportError("the artifact would be " + cover::with_commas(bytes.size()) +
                      " bytes, more than its 32-bit offsets reach");
  }
  artifact::AlignedBytes aligned(bytes);
  Db db(aligned.span());
  std::vector<std::string> problems = check_artifact_orders(db);
  if (!problems.empty()) {
    throw ImportError("the artifact would break its stored order (" + problems.front() + ")");
  }
  // The cover corpus is chosen by decoding with the checked tables; only the
  // artifact that holds it is written.
  cover::CoverCorpus corpus = cover::choose_cover_corpus(db);
  import.contents.cover_vin_list = corpus.vins;
  bytes = artifact::write(import.contents);
  artifact::AlignedBytes written(bytes);
  write_atomically(*options.out, bytes);

  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!options.quiet) print_summary(options, Db(written.span()), bytes.size(), seconds);
  if (!options.quiet) std::printf("%s\n", cover::describe(corpus).c_str());
  return 0;
}

}  // namespace
}  // namespace tamberok::import

int main(int argc, char** argv) {
  using namespace tamberok::import;
  std::optional<Options> options = parse_options(argc, argv);
  if (!options) return 2;
  if (options->help) {
    std::printf("%s\n", USAGE);
    return 0;
  }
  EndingSignals ending_signals;
  try {
    return run(*options);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tamberok-import: error: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tamberok-import: error: %s\n", one_line(e.what()).c_str());
  }
  return 1;
}
