// tamberok-import as a command: what it reads from SQL databases it is given
// in the test, its one-line errors, that it reads only committed data and
// leaves its inputs as they were, and that a failed or interrupted run
// leaves the output file as it was.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "support.h"

namespace tamberok {
namespace {

namespace fs = std::filesystem;
using testing::ArtifactDb;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spit(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// LD_PRELOAD splits its list at spaces and colons, so a shim built under a
// checkout path holding one is preloaded from a copy in a folder of its own,
// removed when the tests end.
class PreloadableShim {
 public:
  PreloadableShim() : path_(TAMBEROK_PAUSE_SHIM) {
    if (path_.find_first_of(" :") == std::string::npos) return;
    std::string dir = "/tmp/tamberok-shim-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) return;
    copy_dir_ = dir;
    path_ = (fs::path(dir) / "pause_shim.so").string();
    fs::copy_file(TAMBEROK_PAUSE_SHIM, path_);
  }
  ~PreloadableShim() {
    if (!copy_dir_.empty()) fs::remove_all(copy_dir_);
  }
  PreloadableShim(const PreloadableShim&) = delete;
  PreloadableShim& operator=(const PreloadableShim&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string copy_dir_;
};

std::string preload_shim() {
  static const PreloadableShim SHIM;
  return "LD_PRELOAD=" + SHIM.path();
}

// The names in a folder, sorted.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A connection of the test's own to a database file.
class Connection {
 public:
  explicit Connection(const fs::path& file) {
    EXPECT_EQ(sqlite3_open(file.c_str(), &db_), SQLITE_OK) << file;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
  }

 private:
  sqlite3* db_ = nullptr;
};

// A connection to a database in a process of its own. SQLite's locks are
// the process's, and a process drops every lock it holds on a file when it
// closes any descriptor of it: the test reads the file freely meanwhile.
class OtherProcess {
 public:
  explicit OtherProcess(const fs::path& file) {
    EXPECT_EQ(::pipe2(to_, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(from_, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(to_[1]);  // else its input would never end
      ::close(from_[0]);
      serve(file, to_[0], from_[1]);
    }
    ::close(to_[0]);
    ::close(from_[1]);
  }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;
  ~OtherProcess() {
    ::close(to_[1]);  // at the end of its input it closes the connection
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    ::close(from_[0]);
  }

  // Runs `sql` there: true when it succeeded. Two minutes guard a hang.
  bool exec(const std::string& sql) {
    if (::write(to_[1], sql.c_str(), sql.size() + 1) != static_cast<ssize_t>(sql.size() + 1)) {
      return false;
    }
    pollfd ready = {from_[0], POLLIN, 0};
    char answer = 0;
    return ::poll(&ready, 1, 120000) == 1 && ::read(from_[0], &answer, 1) == 1 && answer == 'y';
  }

  // Ends the process at once, inside whatever transaction it is in.
  void kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  // Each NUL-ended text read is run, and answered 'y' or 'n'.
  [[noreturn]] static void serve(const fs::path& file, int in, int out) {
    sqlite3* db = nullptr;
    bool opened = sqlite3_open(file.c_str(), &db) == SQLITE_OK;
    std::string sql;
    for (char c; ::read(in, &c, 1) == 1;) {
      if (c != '\0') {
        sql.push_back(c);
        continue;
      }
      bool done = opened && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
      if (::write(out, done ? "y" : "n", 1) != 1) break;
      sql.clear();
    }
    sqlite3_close(db);
    ::_exit(0);
  }

  int to_[2] = {-1, -1};
  int from_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// A database file holding `sql`, in WAL or rollback-journal mode, closed.
void make_database(const fs::path& file, const std::string& sql, bool wal) {
  Connection db(file);
  if (wal) db.exec("PRAGMA journal_mode = WAL;");
  db.exec(sql);
}

// How the tests start the tool, besides its arguments.
struct Child {
  std::vector<std::string> env;            // NAME=value, added to the test's own
  int keep_fd = -1;                        // a descriptor the tool inherits
  std::vector<int> ignored;                // signals it starts ignoring, as under nohup or trap ''
  rlim_t file_size_limit = RLIM_INFINITY;  // in bytes, as ulimit -f sets it
  bool as_nobody = false;                  // run as uid and gid 65534 (root only)
  std::string tool = TAMBEROK_IMPORT_TOOL;
};

// Whether a user who is neither owner nor in the group may search every
// folder on the way to `path`, and do at its end what `end_bit` grants.
bool others_may(const fs::path& path, mode_t end_bit) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  struct stat st;
  if (ec || ::stat(real.c_str(), &st) != 0 || (st.st_mode & end_bit) == 0) return false;
  for (fs::path folder = real.parent_path();; folder = folder.parent_path()) {
    if (::stat(folder.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
    if (folder == folder.root_path()) return true;
  }
}

// The shared libraries the dynamic loader finds for `program`, as ldd
// lists them: asked to trace, the loader lists them and runs nothing.
std::vector<fs::path> loaded_libraries(const std::string& program) {
  std::vector<std::string> env = {"LD_TRACE_LOADED_OBJECTS=1"};
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> env_p;
  for (std::string& e : env) env_p.push_back(e.data());
  env_p.push_back(nullptr);
  std::string program_copy = program;
  char* argv[] = {program_copy.data(), nullptr};
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::execve(argv[0], argv, env_p.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof(buffer))) > 0;) text.append(buffer, n);
  ::close(out[0]);
  ::waitpid(pid, nullptr, 0);
  // Each line reads "<tab>libre2.so.9 => /lib/x86_64-linux-gnu/libre2.so.9 (0x...)".
  std::vector<fs::path> libraries;
  for (size_t at = text.find(" => /"); at != std::string::npos; at = text.find(" => /", at + 1)) {
    size_t begin = at + 4;
    libraries.emplace_back(text.substr(begin, text.find(" (", begin) - begin));
  }
  return libraries;
}

// A fresh folder that every user may enter, holding a copy of the import
// tool and of any library it loads from where others may not read it: the
// build folder may lie where only its owner may go, as a clone in root's
// home (mode 0700) does. Under the temporary folder, or under /tmp where
// that is out of others' reach. Removed at the end of the test.
class SharedFolder {
 public:
  SharedFolder() {
    fs::path base = fs::temp_directory_path();
    if (!others_may(base, S_IXOTH)) base = "/tmp";
    std::string name = (base / "tamberok-shared-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
      ADD_FAILURE() << "cannot make a folder under " << base << ": " << std::strerror(errno);
      return;
    }
    path_ = fs::canonical(name);  // the tool names a database's side files by its real path
    fs::permissions(path_, fs::perms(0755));
    tool_ = path_ / "tamberok-import";
    install(TAMBEROK_IMPORT_TOOL, tool_);
    for (const fs::path& library : loaded_libraries(TAMBEROK_IMPORT_TOOL)) {
      if (others_may(library, S_IROTH)) continue;
      fs::create_directories(path_ / "lib");
      fs::permissions(path_ / "lib", fs::perms(0755));
      install(library, path_ / "lib" / library.filename());
    }
  }
  SharedFolder(const SharedFolder&) = delete;
  SharedFolder& operator=(const SharedFolder&) = delete;
  ~SharedFolder() {
    if (!path_.empty()) fs::remove_all(path_);
  }

  const fs::path& path() const { return path_; }

  // A run of its tool as uid 65534.
  Child child() const {
    Child child;
    child.as_nobody = true;
    child.tool = tool_.string();
    if (fs::exists(path_ / "lib")) child.env = {"LD_LIBRARY_PATH=" + (path_ / "lib").string()};
    return child;
  }

 private:
  static void install(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms(0755));
  }

  fs::path path_;
  fs::path tool_;
};

// Where a test of what file modes forbid runs its tool: root, whom they do
// not stop, runs it as uid 65534 in a SharedFolder; anyone else, as
// themselves in the test's own folder.
class ModesApply {
 public:
  explicit ModesApply(const fs::path& own_folder) {
    if (::geteuid() == 0) shared_.emplace();
    folder_ = shared_ ? shared_->path() : own_folder;
  }
  const fs::path& folder() const { return folder_; }
  Child child() const { return shared_ ? shared_->child() : Child{}; }

 private:
  std::optional<SharedFolder> shared_;
  fs::path folder_;
};

class Elsewhere;

class ImportTool : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("tamberok-import-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(dir_);
    dir_ = fs::canonical(dir_);  // the tool names a database's side files by its real path
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path path(const std::string& name) const { return dir_ / name; }

  // Starts the tool as a shell starts a command, whatever the test runner
  // did to its own signals: each at its default action (but those the test
  // asks to be ignored) and none blocked. stdout and stderr go to files of
  // the test folder. No shell parses anything: paths may hold any byte.
  pid_t start(const std::vector<std::string>& args, const Child& child = {}) const {
    std::vector<std::string> env = child.env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string_view entry = *e;
      auto same_name = [&](const std::string& added) {
        return entry.substr(0, entry.find('=') + 1) == added.substr(0, added.find('=') + 1);
      };
      if (std::none_of(child.env.begin(), child.env.end(), same_name)) env.emplace_back(entry);
    }
    std::vector<std::string> argv = {child.tool};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pointers = [](std::vector<std::string>& texts) {
      std::vector<char*> out;
      for (std::string& t : texts) out.push_back(t.data());
      out.push_back(nullptr);
      return out;
    };
    std::vector<char*> argv_p = pointers(argv), env_p = pointers(env);
    int out_fd = ::open(path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = ::open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls until exec.
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      struct sigaction action = {};
      action.sa_handler = SIG_DFL;
      for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &action, nullptr);
      action.sa_handler = SIG_IGN;
      for (int signal : child.ignored) ::sigaction(signal, &action, nullptr);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      // No core file from the signals whose default action dumps one.
      struct rlimit limit = {0, 0};
      ::setrlimit(RLIMIT_CORE, &limit);
      if (child.file_size_limit != RLIM_INFINITY && ::getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = child.file_size_limit;
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      if (child.keep_fd >= 0) ::fcntl(child.keep_fd, F_SETFD, 0);
      if (child.as_nobody &&
          (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        ::_exit(126);
      }
      ::execve(argv_p[0], argv_p.data(), env_p.data());
      ::_exit(127);
    }
    ::close(out_fd);
    ::close(err_fd);
    return pid;
  }

  // The raw wait status of a started tool. Two minutes guard a hang: the
  // tool is then killed, and the test fails on its status.
  static int wait_for(pid_t pid) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
      pollfd ended = {pidfd, POLLIN, 0};
      if (::poll(&ended, 1, 120000) == 0) ::kill(pid, SIGKILL);
      ::close(pidfd);
    }
    int status = -1;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  ToolRun run(const std::vector<std::string>& args, const Child& child = {}) const {
    int raw = wait_for(start(args, child));
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(path("stdout")), slurp(path("stderr"))};
  }

  // Imports SQL text into out.rkyv.
  ToolRun import_sql(const std::string& sql, std::vector<std::string> extra = {}) const {
    spit(path("db.sql"), sql);
    std::vector<std::string> args = {"--sql", path("db.sql").string(), "--out",
                                     path("out.rkyv").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }

  std::unique_ptr<ArtifactDb> artifact() const {
    return std::make_unique<ArtifactDb>(testing::read_file(path("out.rkyv").string()));
  }

  std::string out() const { return path("out.rkyv").string(); }

  // What --out names and the file the tool writes there, twice: out(), and
  // a link in the test's folder to a file in `elsewhere`. Each file holds
  // "the previous artifact".
  std::vector<std::pair<std::string, fs::path>> outputs_here_and_through_a_link(
      const Elsewhere& elsewhere) const;

  // A tool held by the pause shim at the point the test asks for, and the
  // test's end of the descriptor the shim reports on; `inside` once it is
  // there (a tool that ends before it gets there closes the descriptor).
  struct Paused {
    pid_t pid = -1;
    int report = -1;
    bool inside = false;
  };

  // Inside fsync() of the temporary artifact, in the write.
  Paused start_paused_in_fsync(const std::vector<std::string>& args, Child child = {}) const {
    int report[2];
    EXPECT_EQ(::pipe2(report, O_CLOEXEC), 0);
    child.env.insert(child.env.end(), {preload_shim(),
                                       "TAMBEROK_TEST_FSYNC_FD=" + std::to_string(report[1]),
                                       // The shim comes before a sanitizer's runtime in a
                                       // checked build.
                                       "ASAN_OPTIONS=verify_asan_link_order=0"});
    child.keep_fd = report[1];
    return held(start(args, child), report);
  }

  // Once the tool has opened a file whose name holds `name`, the first
  // time; it goes on once the test writes a byte to `report`, or once a
  // signal waits for the thread that opened the file.
  Paused start_paused_after_open(const std::vector<std::string>& args, const std::string& name,
                                 Child child = {}) const {
    int report[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, report), 0);
    child.env.insert(child.env.end(), {preload_shim(),
                                       "TAMBEROK_TEST_OPEN_NAME=" + name,
                                       "TAMBEROK_TEST_OPEN_FD=" + std::to_string(report[1]),
                                       "ASAN_OPTIONS=verify_asan_link_order=0"});
    child.keep_fd = report[1];
    return held(start(args, child), report);
  }

  // Two minutes guard a tool that never gets there.
  static Paused held(pid_t pid, int report[2]) {
    ::close(report[1]);
    pollfd ready = {report[0], POLLIN, 0};
    char byte = 0;
    bool inside = ::poll(&ready, 1, 120000) == 1 && ::read(report[0], &byte, 1) == 1;
    return {pid, report[0], inside};
  }

  static const std::string& catalogue() {
    static const std::string sql =
        slurp(fs::path(TAMBEROK_SOURCE_DIR) / "tests/fixtures/vpic_small.sql");
    return sql;
  }

  // The small catalogue spoiled by SQL run after it, as a copy of a real
  // database might be, in a file of its own: the arguments that import it.
  std::vector<std::string> spoiled(const std::string& spoil) {
    spoiled_file_ = path("spoiled-" + std::to_string(++spoiled_count_) + ".sql").string();
    spit(spoiled_file_, catalogue() + "\n" + spoil + "\n");
    return {"--sql", spoiled_file_, "--out", out()};
  }
  const std::string& spoiled_file() const { return spoiled_file_; }

  struct Refusal {
    std::vector<std::string> args;
    std::string message;
  };

  // Each case run over the catalogue's artifact at out.rkyv: exit 1, the one
  // line, that artifact byte for byte as it was and no temporary file left.
  void expect_refusals(const std::vector<Refusal>& cases) const {
    spit(path("catalogue.sql"), catalogue());
    ASSERT_EQ(run({"--sql", path("catalogue.sql").string(), "--out", out(), "--quiet"}).status, 0);
    const std::string previous = slurp(out());
    for (const Refusal& test : cases) {
      spit(out(), previous);
      std::vector<std::string> args = test.args;
      args.push_back("--quiet");  // the warning on missing tables is not the point here
      ToolRun r = run(args);
      EXPECT_EQ(r.status, 1) << test.message;
      EXPECT_EQ(r.err, "tamberok-import: error: " + test.message + "\n");
      EXPECT_TRUE(slurp(out()) == previous) << test.message;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
      EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
  }

  fs::path dir_;
  int spoiled_count_ = 0;
  std::string spoiled_file_;
};

const char WMI_TABLE[] =
    "CREATE TABLE Wmi (Id INTEGER, Wmi TEXT, ManufacturerId INTEGER, MakeId INTEGER,"
    " VehicleTypeId INTEGER, TruckTypeId INTEGER, CreatedOn TEXT, UpdatedOn TEXT);\n";

// The other tables every decode reads, a row each.
const char DECODE_TABLES[] =
    "CREATE TABLE Wmi_VinSchema (Id INTEGER, WmiId INTEGER, VinSchemaId INTEGER,"
    " YearFrom INTEGER, YearTo INTEGER);\n"
    "INSERT INTO Wmi_VinSchema VALUES (3, 7, 9, 2003, NULL);\n"
    "CREATE TABLE VinSchema (Id INTEGER);\nINSERT INTO VinSchema VALUES (9);\n"
    "CREATE TABLE Pattern (Id INTEGER, VinSchemaId INTEGER, Keys TEXT, ElementId INTEGER,"
    " AttributeId TEXT, CreatedOn TEXT);\n"
    "INSERT INTO Pattern VALUES (1, 9, 'CM82', 31, 'MARYSVILLE', NULL);\n"
    "CREATE TABLE Element (Id INTEGER, Name TEXT, Code TEXT, IsPrivate INTEGER, GroupName TEXT,"
    " DataType TEXT, Decode TEXT, weight INTEGER);\n"
    "INSERT INTO Element VALUES (31, 'Plant City', 'PlantCity', 0, 'General', 'string',"
    " 'Pattern', 98);\n";

// The error codes a decode can give, each with a text naming it.
constexpr int ERROR_CODES[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 400};

std::string error_text(int code) {
  return std::to_string(code) + " - the text of code " + std::to_string(code);
}

// ErrorCode.tsv with a text for every code, each line ended by `line_end`.
std::string error_code_tsv(const std::string& line_end = "\n") {
  std::string tsv;
  for (int code : ERROR_CODES) tsv += std::to_string(code) + "\t" + error_text(code) + line_end;
  return tsv;
}

std::string error_code_table() {
  std::string sql =
      "CREATE TABLE ErrorCode (Id INTEGER, Name TEXT);\nINSERT INTO ErrorCode VALUES ";
  for (int code : ERROR_CODES) {
    sql += (code == 0 ? "(" : ", (") + std::to_string(code) + ", '" + error_text(code) + "')";
  }
  return sql + ";\n";
}

// The least that imports: a WMI with these values, the decode tables and
// the error-code texts (left out on request, for the supplement to give).
std::string wmi_row(const std::string& values, bool error_codes = true) {
  return std::string(WMI_TABLE) + "INSERT INTO Wmi VALUES (" + values + ");\n" + DECODE_TABLES +
         (error_codes ? error_code_table() : "");
}

std::string wmi_created_on(const std::string& text, bool error_codes = true) {
  return wmi_row("7, '1HG', 988, NULL, 2, NULL, '" + text + "', NULL", error_codes);
}

TEST_F(ImportTool, DatetimeTextsReadAsUtcMicroseconds) {
  const std::pair<const char*, int64_t> cases[] = {
      {"2015-03-04 10:33:34.057000", 1425465214057000},
      {"2015-03-10 15:25:30", 1426001130000000},
      {"2026-03-12T04:06:32.407Z", 1773288392407000},
      {"2000-02-29 00:00:00", 951782400000000},
      {"1970-01-01 00:00:00", 0},
      {"1969-12-31 23:59:59.999999", -1},
      {"2015-03-04 10:33:34.1234567", 1425465214123456},  // past microseconds: dropped
  };
  for (const auto& [text, micros] : cases) {
    ToolRun r = import_sql(wmi_created_on(text), {"--quiet"});
    ASSERT_EQ(r.status, 0) << text << ": " << r.err;
    EXPECT_EQ(artifact()->db().wmi_any("1HG")->created_on, micros) << text;
  }
}

TEST_F(ImportTool, UnreadableDatetimeStopsTheImportNamingTableRowAndColumn) {
  for (const char* text :
       {"2015-02-29 00:00:00", "2015-03-04", "2015-03-04 24:00:00", "04/03/2015 10:33",
        "2015-03-04 10:33:34.", "2015-03-04 10:33:34+01:00", ""}) {
    ToolRun r = import_sql(wmi_created_on(text), {"--quiet"});
    EXPECT_EQ(r.status, 1) << text;
    EXPECT_EQ(r.err, std::string("tamberok-import: error: table Wmi, row id 7, column CreatedOn: "
                                 "unreadable timestamp \"") +
                         text + "\"\n");
    EXPECT_FALSE(fs::exists(path("out.rkyv"))) << text;
  }
}

TEST_F(ImportTool, MissingTablesAreWrittenEmptyAndNamedInOneWarningLine) {
  spit(path("ErrorCode.tsv"),
       error_code_tsv() + "\n2000\t2000 - a text that ends in a blank \r\n\n");
  ToolRun r = import_sql(wmi_created_on("2015-03-10 15:25:30", false) +
                             "CREATE TABLE make (id INTEGER, NAME TEXT);\n"
                             "INSERT INTO make VALUES (474, 'Honda');\n",
                         {"--supplement", dir_.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string start =
      "tamberok-import: warning: the database lacks 82 tables, written empty: Make_Model, "
      "Wmi_Make, EngineModel, EngineModelPattern, DefaultValue, VinException, Conversion, "
      "batterytype, bedtype, ";
  EXPECT_EQ(r.err.substr(0, start.size()), start);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_NE(r.err.find(", wheeliemitigation, VehicleSpecSchema, VSpecSchemaPattern, "
                       "VehicleSpecPattern, VehicleSpecSchema_Model, VehicleSpecSchema_Year\n"),
            std::string::npos);
  EXPECT_EQ(r.err.find("errorcode"), std::string::npos);
  EXPECT_NE(r.out.find("  wmis                                    1\n"), std::string::npos);

  std::unique_ptr<ArtifactDb> a = artifact();
  EXPECT_EQ(a->db().lookup(9, 474), "Honda");  // lower-case table name, upper-case column
  EXPECT_EQ(a->db().lookup(44, 2000), "2000 - a text that ends in a blank ");
  EXPECT_EQ(a->db().lookups().size(), 1 + std::size(ERROR_CODES) + 1);
  EXPECT_TRUE(a->db().engine_models().empty());
}

TEST_F(ImportTool, BadInputGivesOneLineAndLeavesTheOutputAsItWas) {
  const std::string good = wmi_created_on("2015-03-10 15:25:30");
  spit(path("not-a-db"), "just some text, long enough to fill a SQLite header page........\n");
  spit(path("no-wmi.sql"), "CREATE TABLE Element (Id INTEGER);\n");
  spit(path("good.sql"), good);
  spit(path("no-codes.sql"), wmi_created_on("2015-03-10 15:25:30", false));
  spit(path("bad-year.sql"), good + "UPDATE Wmi_VinSchema SET YearTo = '20O5' WHERE Id = 3;\n");
  spit(path("null-id.sql"), wmi_row("NULL, '1HG', 988, NULL, 2, NULL, NULL, NULL"));
  spit(path("big-id.sql"), wmi_row("7, '1HG', 4294967296, NULL, 2, NULL, NULL, NULL"));
  spit(path("no-created.sql"), good + "ALTER TABLE Pattern DROP COLUMN CreatedOn;\n");
  spit(path("repeated-id.sql"), good + "INSERT INTO VinSchema VALUES (5), (5);\n");
  spit(path("control-in-timestamp.sql"), wmi_created_on("2015-03-04\n10:33:34\x7F"));
  fs::create_directories(path("a-directory"));
  fs::create_directories(path("supplement"));
  spit(path("supplement/ErrorCode.tsv"), "0\tclean\nseven - no tab\n");
  fs::create_directories(path("latin1"));
  spit(path("latin1/ErrorCode.tsv"), "0\tclean\n1\tcheck d\xEDgit\n");
  const std::string out = path("out.rkyv").string();
  auto sql = [&](const std::string& name) {
    return std::vector<std::string>{"--sql", path(name).string(), "--out", out};
  };
  ASSERT_FALSE(catalogue().empty());
  const std::string wmi_columns =
      "INSERT INTO Wmi (Id, Wmi, ManufacturerId, VehicleTypeId) VALUES ";
  const std::string element_columns =
      "INSERT INTO Element (Id, Name, Code, IsPrivate, GroupName, DataType, Decode) VALUES ";
  const std::string digits_20000(20000, '7');
  expect_refusals({
      {{"--db", path("missing.db").string(), "--out", out},
       "cannot open database " + path("missing.db").string() + ": no such file"},
      {{"--db", path("not-a-db").string(), "--out", out},
       "cannot read database " + path("not-a-db").string() + ": file is not a database"},
      // A path that begins "//" is a path, not a URI with a host.
      {{"--db", "/" + path("not-a-db").string(), "--out", out},
       "cannot read database /" + path("not-a-db").string() + ": file is not a database"},
      {sql("no-wmi.sql"),
       "database " + path("no-wmi.sql").string() + " has no Wmi table (is it a vPIC database?)"},
      {sql("missing.sql"), "cannot open SQL file " + path("missing.sql").string()},
      {{"--sql", path("good.sql").string(), "--out", path("nowhere/out.rkyv").string()},
       "cannot write " + path("nowhere/out.rkyv").string() + ": No such file or directory"},
      {{"--sql", path("good.sql").string(), "--out", path("a-directory").string()},
       "cannot write " + path("a-directory").string() + ": Is a directory"},
      {sql("bad-year.sql"),
       "table Wmi_VinSchema, row id 3, column YearTo: \"20O5\" is not a 32-bit integer"},
      {sql("null-id.sql"), "table Wmi, row 1, column Id: the value is missing (NULL)"},
      {sql("big-id.sql"),
       "table Wmi, row id 7, column ManufacturerId: \"4294967296\" is not a 32-bit integer"},
      {sql("no-created.sql"), "table Pattern lacks the column CreatedOn"},
      {sql("repeated-id.sql"),
       "table VinSchema, row id 5, column Id: duplicate id: more than one row has the id 5"},
      {sql("control-in-timestamp.sql"),
       "table Wmi, row id 7, column CreatedOn: unreadable timestamp "
       "\"2015-03-04\\n10:33:34\\x7F\""},
      {{"--sql", path("no-codes.sql").string(), "--out", out, "--supplement",
        path("supplement").string()},
       path("supplement/ErrorCode.tsv").string() +
           ", line 2: expected an integer id, a tab and a name"},
      {{"--sql", path("no-codes.sql").string(), "--out", out, "--supplement",
        path("latin1").string()},
       path("latin1/ErrorCode.tsv").string() +
           ", line 2: \"1\\tcheck d\\xEDgit\" is not UTF-8 text"},

      // Text that is not UTF-8, wherever it sits.
      {spoiled("UPDATE Make SET Name = CAST(X'486F6E6461FF' AS TEXT) WHERE Id = 474;"),
       "table Make, row id 474, column Name: \"Honda\\xFF\" is not UTF-8 text"},
      {spoiled("UPDATE Pattern SET Keys = CAST(X'434D3832C0' AS TEXT) WHERE Id = 421991;"),
       "table Pattern, row id 421991, column Keys: \"CM82\\xC0\" is not UTF-8 text"},
      {spoiled("UPDATE Element SET Name = CAST(X'426F6479EDA080' AS TEXT) WHERE Id = 5;"),
       "table Element, row id 5, column Name: \"Body\\xED\\xA0\\x80\" is not UTF-8 text"},
      // Ids that name one row.
      {spoiled(wmi_columns + "(2094, 'ZZ9', 988, 2);"),
       "table Wmi, row id 2094, column Id: duplicate id: more than one row has the id 2094"},
      {spoiled(wmi_columns + "(2095, '1HG', 988, 2);"),
       "table Wmi, row id 2095, column Wmi: duplicate WMI code \"1HG\", also the code of row id "
       "2094"},
      {spoiled("INSERT INTO Pattern VALUES (421991, 2371, 'A', 5, '3', NULL, NULL);"),
       "table Pattern, row id 421991, column Id: duplicate id: more than one row has the id "
       "421991"},
      {spoiled(element_columns + "(9, 'Cylinders', 'Cyl', 0, 'Engine', 'int', 'Pattern');"),
       "table Element, row id 9, column Id: duplicate id: more than one row has the id 9"},
      {spoiled("INSERT INTO Make VALUES (474, 'Acura', NULL, NULL);"),
       "table Make, row id 474, column Id: duplicate id: more than one row has the id 474"},
      {spoiled("INSERT INTO Make_Model VALUES (5, 474, 1861, NULL, NULL);"),
       "table Make_Model, row with ModelId 1861, column ModelId: duplicate ModelId: more than "
       "one row has the ModelId 1861"},
      // Values the decoder would misread, or that would make it allocate,
      // overflow or crawl.
      {spoiled("UPDATE Element SET Id = 2147483647 WHERE Id = 1;"),
       "table Element, row id 2147483647, column Id: element id 2147483647 is outside 0 to "
       "65535"},
      {spoiled("UPDATE Element SET Id = -3 WHERE Id = 1;"),
       "table Element, row id -3, column Id: element id -3 is outside 0 to 65535"},
      {spoiled("UPDATE Element SET IsPrivate = 2 WHERE Id = 5;"),
       "table Element, row id 5, column IsPrivate: the flag 2 is neither 0 nor 1"},
      {spoiled("UPDATE Wmi SET Wmi = '1HGC' WHERE Id = 2094;"),
       "table Wmi, row id 2094, column Wmi: the WMI code \"1HGC\" is not 3 or 6 characters of the "
       "VIN alphabet in upper case"},
      {spoiled("UPDATE Wmi SET Wmi = '1hg' WHERE Id = 2094;"),
       "table Wmi, row id 2094, column Wmi: the WMI code \"1hg\" is not 3 or 6 characters of the "
       "VIN alphabet in upper case"},
      {spoiled("UPDATE Wmi SET Wmi = '1' || char(10) || 'G' WHERE Id = 2094;"),
       "table Wmi, row id 2094, column Wmi: the WMI code \"1\\nG\" is not 3 or 6 characters of "
       "the VIN alphabet in upper case"},
      {spoiled("UPDATE Wmi SET MakeId = -2147483648 WHERE Id = 2094;"),
       "table Wmi, row id 2094, column MakeId: -2147483648 is the artifact's mark of an absent "
       "integer"},
      {spoiled("UPDATE Element SET weight = 2147483647 WHERE Id = 5;"),
       "table Element, row id 5, column weight: weight 2147483647 is outside -32768 to 32767"},
      {spoiled("UPDATE Conversion SET Formula = '#x# * " + digits_20000 + "' WHERE Id = 4;"),
       "table Conversion, row id 4, column Formula: a text that a conversion reads is 20006 "
       "bytes long, more than 100"},
      {spoiled("UPDATE EngineModelPattern SET AttributeId = '" + digits_20000 +
               "' WHERE Id = 3002;"),
       "table EngineModelPattern, row id 3002, column AttributeId: a text that a conversion "
       "reads is 20000 bytes long, more than 100"},
      // SQLite's own message quotes the broken schema text, line breaks and all.
      {spoiled("PRAGMA writable_schema = ON;\n"
               "UPDATE sqlite_master SET sql = 'CREATE TABLE Make (Id INTEGER) \"no' || char(10) "
               "|| 'such option\"' WHERE name = 'Make';\n"
               "PRAGMA writable_schema = OFF;\nPRAGMA schema_version = 999;"),
       "cannot read database " + spoiled_file() +
           ": malformed database schema (Make) - unknown table option: \"no\\nsuch option\""},
  });
}

TEST_F(ImportTool, DatabasesThatWouldDecodeNoVinAreRefusedNamingTheTable) {
  std::vector<Refusal> cases;
  auto lacks = [&](const std::string& spoil, const std::string& tables) {
    std::vector<std::string> args = spoiled(spoil);
    cases.push_back({args, "database " + spoiled_file() +
                               " lacks tables without which no VIN decodes: " + tables});
  };
  auto empty = [&](const std::string& spoil, const std::string& table) {
    cases.push_back(
        {spoiled(spoil), "table " + table + " has no rows to import: no VIN would decode"});
  };
  lacks("DROP TABLE Wmi_VinSchema;", "Wmi_VinSchema");
  lacks("DROP TABLE VinSchema;", "VinSchema");
  lacks("DROP TABLE Pattern;", "Pattern");
  lacks("DROP TABLE Element;", "Element");
  lacks("DROP TABLE Element; DROP TABLE Wmi_VinSchema;", "Wmi_VinSchema, Element");
  empty("DELETE FROM Wmi;", "Wmi");
  // The one WMI left was made for a community schema, and goes with it.
  empty("DELETE FROM Wmi WHERE Wmi <> 'LRW';", "Wmi");
  empty("DELETE FROM Wmi_VinSchema;", "Wmi_VinSchema");
  empty("DELETE FROM VinSchema WHERE Notes IS NOT 'Community contribution';", "VinSchema");
  empty("DELETE FROM Pattern;", "Pattern");
  empty("DELETE FROM Element;", "Element");
  // Rows in every table, but no WMI reaches a pattern through its links.
  const std::string unreached =
      "no WMI links to a VIN schema that has patterns (Wmi to Wmi_VinSchema to Pattern): no VIN "
      "would decode";
  cases.push_back({spoiled("UPDATE Pattern SET VinSchemaId = VinSchemaId + 100000;"), unreached});
  cases.push_back(
      {spoiled("UPDATE Wmi_VinSchema SET VinSchemaId = VinSchemaId + 100000;"), unreached});
  cases.push_back({spoiled("UPDATE Wmi_VinSchema SET WmiId = WmiId + 100000;"), unreached});
  expect_refusals(cases);
}

TEST_F(ImportTool, RowsThatReachNoPatternAreKeptAndCountedInOneWarningPerTable) {
  const std::string base = "tamberok-import: warning: table ";
  const std::string links = base + "Wmi_VinSchema: ";
  const std::string patterns = base + "Pattern: ";
  const std::string unlinked =
      "rows in VIN schemas that no WMI links to, which no VIN reaches, kept: ";
  const struct {
    std::string spoil;
    size_t patterns_added;
    size_t links_added;
    std::string warnings;
  } cases[] = {
      {"INSERT INTO Pattern VALUES (900001, 77777, 'A', 5, '3', NULL, NULL),"
       " (900002, 77777, 'B', 5, '13', NULL, NULL);",
       2, 0, patterns + unlinked + "2\n"},
      // Schema 88888 has no patterns; WMI 99999 does not exist.
      {"INSERT INTO Wmi_VinSchema VALUES (900001, 2094, 88888, 2003, NULL, NULL),"
       " (900002, 99999, 9774, 2003, NULL, NULL), (900003, 99999, 88888, 2003, NULL, NULL);",
       0, 3,
       links + "rows that reach no pattern, kept: 3 (naming a VIN schema without patterns: 1, "
               "naming a WMI that does not exist: 2)\n"},
      // A pattern whose only link is from a WMI that does not exist.
      {"INSERT INTO Pattern VALUES (900001, 77777, 'A', 5, '3', NULL, NULL);"
       "INSERT INTO Wmi_VinSchema VALUES (900001, 99999, 77777, 2003, NULL, NULL);",
       1, 1,
       links + "rows that reach no pattern, kept: 1 (naming a WMI that does not exist: 1)\n" +
           patterns + unlinked + "1\n"},
  };
  spit(path("catalogue.sql"), catalogue());
  ASSERT_EQ(run({"--sql", path("catalogue.sql").string(), "--out", out(), "--quiet"}).status, 0);
  const size_t pattern_rows = artifact()->db().patterns().size();
  const size_t link_rows = artifact()->db().wmi_vin_schemas().size();
  for (const auto& c : cases) {
    ToolRun r = run(spoiled(c.spoil));
    ASSERT_EQ(r.status, 0) << c.spoil << ": " << r.err;
    // After the line that names the lookup tables the catalogue lacks.
    ASSERT_EQ(std::count(r.err.begin(), r.err.end(), '\n'),
              1 + std::count(c.warnings.begin(), c.warnings.end(), '\n'))
        << r.err;
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), c.warnings) << c.spoil;
    // Kept as they are.
    EXPECT_EQ(artifact()->db().patterns().size(), pattern_rows + c.patterns_added) << c.spoil;
    EXPECT_EQ(artifact()->db().wmi_vin_schemas().size(), link_rows + c.links_added) << c.spoil;
  }
}

TEST_F(ImportTool, ErrorTextsComeFromTheDatabaseOrTheSupplementElseTheImportIsRefused) {
  fs::create_directories(path("no-tsv"));
  fs::create_directories(path("empty-tsv"));
  spit(path("empty-tsv/ErrorCode.tsv"), "\n\r\n");
  spit(path("a-file"), error_code_tsv());
  auto with = [](std::vector<std::string> args, const fs::path& supplement) {
    args.insert(args.end(), {"--supplement", supplement.string()});
    return args;
  };
  const std::string how =
      ": give them with --supplement DIR, a folder holding ErrorCode.tsv (data/supplement in the "
      "source tree)";
  const std::string no_table = "the database has no ErrorCode table for the error-code texts";
  expect_refusals({
      {spoiled("DROP TABLE ErrorCode;"), no_table + how},
      {with(spoiled("DROP TABLE ErrorCode;"), path("no-tsv")),
       no_table + " and there is no " + path("no-tsv/ErrorCode.tsv").string() + how},
      {with(spoiled("DROP TABLE ErrorCode;"), path("empty-tsv")),
       path("empty-tsv/ErrorCode.tsv").string() +
           " holds no error codes: every Error Text would be empty"},
      {spoiled("DELETE FROM ErrorCode;"),
       "table ErrorCode has no rows: every Error Text would be empty"},
      // A folder that is not there is a mistake even where the database has the texts.
      {with(spoiled(""), path("missing")),
       "cannot open supplement folder " + path("missing").string() + ": no such folder"},
      {with(spoiled(""), path("a-file")),
       "cannot open supplement folder " + path("a-file").string() + ": it is not a folder"},
  });
  // The database's table comes first, and one line says so; the supplement
  // need not hold the file.
  ToolRun r = run(with(spoiled(""), path("no-tsv")));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(artifact()->db().lookup(44, 400), "400 - Invalid Characters Present");
  const std::string source_line =
      "tamberok-import: warning: the error-code texts come from the "
      "database's table ErrorCode, not from the --supplement folder " +
      path("no-tsv").string() + "\n";
  EXPECT_NE(r.err.find("\n" + source_line), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
}

TEST_F(ImportTool, ErrorTextsMustCoverEveryCodeADecodeGivesAndEachReadsWhole) {
  auto supplement = [&](const std::string& name, const std::string& tsv) {
    fs::create_directories(path(name));
    spit(path(name + "/ErrorCode.tsv"), tsv);
    std::vector<std::string> args = spoiled("DROP TABLE ErrorCode;");
    args.insert(args.end(), {"--supplement", path(name).string()});
    return args;
  };
  auto file = [&](const std::string& name) { return path(name + "/ErrorCode.tsv").string(); };
  std::string without_3_and_14;
  for (int code : ERROR_CODES) {
    if (code != 3 && code != 14)
      without_3_and_14 += std::to_string(code) + "\t" + error_text(code) + "\n";
  }
  const std::string lacking = " has no text for error codes the decoder gives: ";
  const std::string cell = "table ErrorCode, row id 5, column Name: ";
  expect_refusals({
      {spoiled("DELETE FROM ErrorCode WHERE Id IN (3, 14, 400);"),
       "table ErrorCode" + lacking + "3, 14, 400"},
      {spoiled("UPDATE ErrorCode SET Name = '' WHERE Id = 5;"), cell + "the error text is empty"},
      {spoiled("UPDATE ErrorCode SET Name = '5 - a' || char(0) || 'b' WHERE Id = 5;"),
       cell + "\"5 - a\\x00b\" holds a NUL byte"},
      {supplement("partial", without_3_and_14), file("partial") + lacking + "3, 14"},
      {supplement("empty-text", "0\tclean\n1\tdigit\n\n2\tcorrected\n3\t\n"),
       file("empty-text") + ", line 5: the error text is empty"},
      {supplement("nul", "0\tclean\n1\t1 - a" + std::string(1, '\0') + "b\n"),
       file("nul") + ", line 2: \"1 - a\\x00b\" holds a NUL byte"},
      {supplement("duplicate", error_code_tsv() + "2\tagain\n"),
       file("duplicate") + ", line 16: error code 2 again, first given on line 3"},
      // A lone CR ends a line: the third line is the bad one.
      {supplement("cr", "0\tclean\r1\tdigit\rthree\r"),
       file("cr") + ", line 3: expected an integer id, a tab and a name"},
  });

  // Every line end of every system, and a mix of them, gives the same texts.
  std::string mixed;
  const char* ends[] = {"\n", "\r\n", "\r"};
  for (size_t i = 0; i < std::size(ERROR_CODES); ++i) {
    mixed += std::to_string(ERROR_CODES[i]) + "\t" + error_text(ERROR_CODES[i]) + ends[i % 3];
  }
  for (const std::string& tsv :
       {error_code_tsv("\n"), error_code_tsv("\r\n"), error_code_tsv("\r"), mixed}) {
    ToolRun r = run(supplement("line-ends", tsv));
    ASSERT_EQ(r.status, 0) << r.err;
    std::unique_ptr<ArtifactDb> a = artifact();
    for (int code : ERROR_CODES) EXPECT_EQ(a->db().lookup(44, code), error_text(code));
    size_t texts = 0;
    for (size_t i = 0; i < a->db().lookups().size(); ++i) {
      texts += a->db().lookups()[i].table == 44 ? 1 : 0;
    }
    EXPECT_EQ(texts, std::size(ERROR_CODES));
  }
}

TEST_F(ImportTool, CellsJustPastWhatTheArtifactHoldsAreRefused) {
  std::vector<Refusal> cases;
  // Overlong forms, code points above U+10FFFF, surrogates, a sequence cut short.
  for (const auto& [hex, quoted] : std::vector<std::pair<std::string, std::string>>{
           {"C080", "\\xC0\\x80"},
           {"C1BF", "\\xC1\\xBF"},
           {"E08080", "\\xE0\\x80\\x80"},
           {"E09FBF", "\\xE0\\x9F\\xBF"},
           {"F0808080", "\\xF0\\x80\\x80\\x80"},
           {"F08FBFBF", "\\xF0\\x8F\\xBF\\xBF"},
           {"F4908080", "\\xF4\\x90\\x80\\x80"},
           {"F5808080", "\\xF5\\x80\\x80\\x80"},
           {"FF", "\\xFF"},
           {"EDA080", "\\xED\\xA0\\x80"},
           {"EDBFBF", "\\xED\\xBF\\xBF"},
           {"E282", "\\xE2\\x82"},
       }) {
    cases.push_back(
        {spoiled("UPDATE Make SET Name = CAST(X'486F6E6461" + hex + "' AS TEXT) WHERE Id = 474;"),
         "table Make, row id 474, column Name: \"Honda" + quoted + "\" is not UTF-8 text"});
  }
  const std::string weight = "table Element, row id 5, column weight: weight ";
  cases.push_back({spoiled("UPDATE Element SET weight = 32768 WHERE Id = 5;"),
                   weight + "32768 is outside -32768 to 32767"});
  cases.push_back({spoiled("UPDATE Element SET weight = -32769 WHERE Id = 5;"),
                   weight + "-32769 is outside -32768 to 32767"});
  cases.push_back(
      {spoiled("UPDATE Element SET Id = 65536 WHERE Id = 1;"),
       "table Element, row id 65536, column Id: element id 65536 is outside 0 to 65535"});
  // A conversion from an element that no conversion fills still reads that
  // element's values from every stage that gives them.
  const std::string digits_101(101, '7');
  const std::string too_long = ": a text that a conversion reads is 101 bytes long, more than 100";
  for (const auto& [from, update, row] : std::vector<std::array<std::string, 3>>{
           {"5", "Pattern SET AttributeId", "table Pattern, row id 421972, column AttributeId"},
           {"9", "EngineModelPattern SET AttributeId",
            "table EngineModelPattern, row id 3001, column AttributeId"},
           {"3", "DefaultValue SET DefaultValue",
            "table DefaultValue, row id 11, column DefaultValue"},
           {"86", "VehicleSpecPattern SET AttributeId",
            "table VehicleSpecPattern, row id 5002, column AttributeId"},
       }) {
    std::string id = row.substr(row.find("row id ") + 7);
    id = id.substr(0, id.find(','));
    cases.push_back(
        {spoiled("INSERT INTO Conversion VALUES (8, " + from + ", 11, '#x#');\nUPDATE " + update +
                 " = '" + digits_101 + "' WHERE Id = " + id + ";"),
         row + too_long});
  }
  // Tables kept in order by a parent first still name each row by its id,
  // under the same parent or another.
  for (const auto& [insert, table, id] : std::vector<std::array<std::string, 3>>{
           {"DefaultValue VALUES (11, 25, 1, '5', NULL, NULL)", "DefaultValue", "11"},
           {"DefaultValue VALUES (11, 25, 2, '5', NULL, NULL)", "DefaultValue", "11"},
           {"EngineModelPattern VALUES (3001, 301, 13, '1', NULL, NULL)", "EngineModelPattern",
            "3001"},
           {"EngineModelPattern VALUES (3001, 28, 13, '1', NULL, NULL)", "EngineModelPattern",
            "3001"},
           {"Wmi_VinSchema VALUES (2095, 2094, 9774, 2003, 2003, NULL)", "Wmi_VinSchema", "2095"},
           {"Wmi_VinSchema VALUES (2095, 2101, 15001, 2017, NULL, NULL)", "Wmi_VinSchema", "2095"},
       }) {
    cases.push_back({spoiled("INSERT INTO " + insert + ";"),
                     "table " + table + ", row id " + id +
                         ", column Id: duplicate id: more than one row has the id " + id});
  }
  expect_refusals(cases);
}

TEST_F(ImportTool, LongBadCellsAreQuotedInPartWithTheirLength) {
  const std::string a199(199, 'a'), a200(200, 'a');
  const std::string name = "table Make, row id 474, column Name: ";
  auto make_name = [&](const std::string& text, const std::string& hex) {
    return spoiled("UPDATE Make SET Name = '" + text + "' || CAST(X'" + hex +
                   "' AS TEXT) WHERE Id = 474;");
  };
  expect_refusals({
      {make_name(a199, "FF"), name + "\"" + a199 + "\\xFF\" is not UTF-8 text"},
      {make_name(a200, "FF"), name + "\"" + a200 + "\"... (201 bytes) is not UTF-8 text"},
      // The two bytes of an é would end past 200: the quote stops before it.
      {make_name(a199, "C3A9FF"), name + "\"" + a199 + "\"... (202 bytes) is not UTF-8 text"},
      {spoiled("UPDATE Wmi SET Wmi = hex(zeroblob(50000)) WHERE Id = 2094;"),
       "table Wmi, row id 2094, column Wmi: the WMI code \"" + std::string(200, '0') +
           "\"... (100000 bytes) is not 3 or 6 characters of the VIN alphabet in upper case"},
  });
}

// Committed changes that a held connection keeps in the -wal file are not in
// the database file: the tool refuses rather than read the file without them.
TEST_F(ImportTool, WalChangesNotYetCheckpointedAreRefusedAndReadOnceCheckpointed) {
  const std::string db = path("wal.db").string();
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> held(raw, sqlite3_close);
  auto exec = [&](const std::string& sql) {
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(raw);
  };
  exec("PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;");
  exec(catalogue());
  exec("PRAGMA wal_checkpoint(TRUNCATE);");
  exec("UPDATE Make SET Name = 'Honda Motor' WHERE Id = 474;");
  ASSERT_GT(fs::file_size(db + "-wal"), 32u);
  const std::string file = slurp(db);
  spit(out(), "the previous artifact");
  ToolRun r = run({"--db", db, "--out", out(), "--quiet"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tamberok-import: error: database " + db + " has changes in " + db +
                       "-wal that are not in the database file yet: checkpoint it (close every "
                       "connection to it, or run PRAGMA wal_checkpoint(TRUNCATE)) and run again\n");
  EXPECT_EQ(slurp(out()), "the previous artifact");
  EXPECT_TRUE(slurp(db) == file);

  exec("PRAGMA wal_checkpoint(TRUNCATE);");
  r = run({"--db", db, "--out", out(), "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(artifact()->db().lookup(9, 474), "Honda Motor");
}

// A folder for link targets: on another file system where there is one, so
// that a temporary file made beside the link rather than beside its target
// could not be renamed into place. Removed at the end of the test.
class Elsewhere {
 public:
  explicit Elsewhere(const fs::path& dir) {
    // One this user may make folders in: a sandbox may offer it read-only.
    const bool shm = ::access("/dev/shm", W_OK | X_OK) == 0;
    path_ =
        shm ? fs::path("/dev/shm") / ("tamberok-" + dir.filename().string()) : dir / "elsewhere";
    fs::create_directories(path_);
  }
  ~Elsewhere() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<std::pair<std::string, fs::path>> ImportTool::outputs_here_and_through_a_link(
    const Elsewhere& elsewhere) const {
  const fs::path target = elsewhere.path() / "target.rkyv";
  fs::create_symlink(target, path("link.rkyv"));
  std::vector<std::pair<std::string, fs::path>> outputs = {{out(), fs::path(out())},
                                                           {path("link.rkyv").string(), target}};
  for (const auto& output : outputs) spit(output.second, "the previous artifact");
  return outputs;
}

bool has_temporary_file(const fs::path& dir) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().find(".tmp") != std::string::npos) return true;
  }
  return false;
}

// As has_temporary_file, and removes them: the next case of a test starts
// without the ones a failed case left.
bool took_temporary_files(const fs::path& dir) {
  bool found = false;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().find(".tmp") == std::string::npos) continue;
    fs::remove(entry.path());
    found = true;
  }
  return found;
}

// Filler rows a write transaction changes, enough pages to spill some into
// the database file before it commits when its cache holds one page.
const char FILLER[] =
    "CREATE TABLE Filler (b BLOB);\n"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 64)\n"
    "INSERT INTO Filler SELECT zeroblob(3000) FROM n;\n";
const char SPILLED_WRITE[] =
    "PRAGMA cache_size = 1; BEGIN; UPDATE Make SET Name = 'Uncommitted' WHERE Id = 474;"
    " UPDATE Filler SET b = randomblob(3000);";

TEST_F(ImportTool, AWriteTransactionInProgressIsRefusedAndOnlyCommittedRowsAreRead) {
  const std::string db = path("rollback.db").string();
  make_database(db, catalogue() + FILLER, false);
  const std::string committed = slurp(db);
  spit(out(), "the previous artifact");
  {
    OtherProcess writer(db);
    ASSERT_TRUE(writer.exec(SPILLED_WRITE));
    ASSERT_FALSE(slurp(db) == committed);  // the uncommitted pages are in the file
    ToolRun r = run({"--db", db, "--out", out(), "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tamberok-import: error: cannot read database " + db +
                         ": another connection is writing it; run again once it has committed or "
                         "rolled back\n");
    EXPECT_EQ(slurp(out()), "the previous artifact");
    EXPECT_TRUE(writer.exec("ROLLBACK;"));
  }
  EXPECT_TRUE(slurp(db) == committed);
  ToolRun r = run({"--db", db, "--out", out(), "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(artifact()->db().lookup(9, 474), "Honda");
  EXPECT_EQ(listing(dir_),
            (std::vector<std::string>{"out.rkyv", "rollback.db", "stderr", "stdout"}));
}

TEST_F(ImportTool, AJournalLeftByAWriterThatDiedIsRefusedUntilItIsRecovered) {
  const std::string db = path("rollback.db").string();
  make_database(db, catalogue() + FILLER, false);
  const std::string committed = slurp(db);
  {
    OtherProcess writer(db);
    ASSERT_TRUE(writer.exec(SPILLED_WRITE));
    writer.kill();
  }
  const std::string journal = db + "-journal";
  ASSERT_TRUE(fs::exists(journal));
  const std::string left = slurp(db), journal_bytes = slurp(journal);
  ASSERT_FALSE(left == committed);
  spit(out(), "the previous artifact");
  ToolRun r = run({"--db", db, "--out", out(), "--quiet"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tamberok-import: error: cannot read database " + db + ": " + journal +
                       " holds the changes of a writer that stopped part way; recover it first "
                       "(open the database once with sqlite3 as a user who may write it) and run "
                       "again\n");
  EXPECT_EQ(slurp(out()), "the previous artifact");
  EXPECT_TRUE(slurp(db) == left);
  EXPECT_TRUE(slurp(journal) == journal_bytes);

  // The first connection that may write rolls the journal back.
  Connection(db).exec("SELECT count(*) FROM Make;");
  EXPECT_FALSE(fs::exists(journal));
  r = run({"--db", db, "--out", out(), "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(artifact()->db().lookup(9, 474), "Honda");
}

// A WAL database is read through SQLite's own -wal and -shm files, beside
// the file a link leads to; once the tool is done its folder holds what it
// held before and the database file is as it was.
TEST_F(ImportTool, WalBehindALinkIsReadWhereItLiesAndItsFolderLeftAsItWas) {
  Elsewhere elsewhere(dir_);
  const fs::path real = elsewhere.path() / "wal.db";
  const std::string link = path("link.db").string();
  make_database(real, catalogue(), true);
  fs::create_symlink(real, link);
  auto held = std::make_unique<OtherProcess>(real);
  ASSERT_TRUE(held->exec(
      "PRAGMA wal_autocheckpoint = 0; UPDATE Make SET Name = 'Honda Motor' WHERE Id = 474;"));
  ASSERT_GT(fs::file_size(real.string() + "-wal"), 32u);
  const std::vector<std::string> both = {"wal.db", "wal.db-shm", "wal.db-wal"};
  ASSERT_EQ(listing(elsewhere.path()), both);
  std::string file = slurp(real);
  spit(out(), "the previous artifact");
  ToolRun r = run({"--db", link, "--out", out(), "--quiet"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tamberok-import: error: database " + link + " has changes in " + real.string() +
                       "-wal that are not in the database file yet: checkpoint it (close every "
                       "connection to it, or run PRAGMA wal_checkpoint(TRUNCATE)) and run again\n");
  EXPECT_EQ(slurp(out()), "the previous artifact");
  EXPECT_TRUE(slurp(real) == file);
  EXPECT_EQ(listing(elsewhere.path()), both);

  // Checkpointed, with the other connection still open: its files stay.
  ASSERT_TRUE(held->exec("PRAGMA wal_checkpoint(TRUNCATE);"));
  file = slurp(real);
  r = run({"--db", link, "--out", out(), "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(artifact()->db().lookup(9, 474), "Honda Motor");
  EXPECT_TRUE(slurp(real) == file);
  EXPECT_EQ(listing(elsewhere.path()), both);
  EXPECT_EQ(fs::file_size(real.string() + "-wal"), 0u);

  // Left by a connection that died: they stay too.
  held->kill();
  held.reset();
  ASSERT_EQ(listing(elsewhere.path()), both);
  r = run({"--db", link, "--out", out(), "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(slurp(real) == file);
  EXPECT_EQ(listing(elsewhere.path()), both);

  // Alone: the files the tool made go with it.
  Connection(real).exec("SELECT count(*) FROM Make;");  // the last to close removes them
  ASSERT_EQ(listing(elsewhere.path()), std::vector<std::string>{"wal.db"});
  file = slurp(real);
  spit(out(), "the previous artifact");
  r = run({"--db", link, "--out", out(), "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(artifact()->db().lookup(9, 474), "Honda Motor");
  EXPECT_TRUE(slurp(real) == file);
  EXPECT_EQ(listing(elsewhere.path()), std::vector<std::string>{"wal.db"});
}

// SQLite reads a WAL database only where it may write beside it; anywhere
// else it would leave -wal and -shm files that nothing removes.
TEST_F(ImportTool, WalDatabaseThisUserMayNotWriteIsRefusedAndNoFileIsLeft) {
  const ModesApply modes(dir_);
  const fs::path folder = modes.folder() / "data";
  const fs::path db = folder / "wal.db";
  fs::create_directories(folder);
  make_database(db, catalogue(), true);
  const fs::path out_folder = modes.folder() / "out";
  fs::create_directories(out_folder);
  fs::permissions(out_folder, fs::perms::all);
  const std::string file = slurp(db);
  const std::string unwritable =
      ": it is in WAL mode, which SQLite reads only where it may write the file and its folder "
      "(for its -wal and -shm files), and this user may not write ";
  const struct {
    fs::perms file_mode;
    fs::perms folder_mode;
    std::string not_writable;
  } cases[] = {
      {fs::perms(0444), fs::perms(0777), db.string()},
      {fs::perms(0666), fs::perms(0555), folder.string()},
  };
  for (const auto& c : cases) {
    fs::permissions(db, c.file_mode);
    fs::permissions(folder, c.folder_mode);
    const std::string artifact_path = (out_folder / "out.rkyv").string();
    ToolRun r = run({"--db", db.string(), "--out", artifact_path, "--quiet"}, modes.child());
    fs::permissions(folder, fs::perms(0755));
    EXPECT_EQ(r.status, 1) << c.not_writable;
    EXPECT_EQ(r.err, "tamberok-import: error: cannot read database " + db.string() + unwritable +
                         c.not_writable + "\n");
    EXPECT_FALSE(fs::exists(artifact_path));
    EXPECT_EQ(listing(folder), std::vector<std::string>{"wal.db"});
    EXPECT_TRUE(slurp(db) == file);
  }
}

// SQLite makes the -wal and -shm files of a WAL database for the read, and
// removes them when its connection closes: a signal during the read ends
// the run only once that has happened. A pair some other connection left
// stays, as after any run.
TEST_F(ImportTool, SignalDuringTheReadEndsTheRunWithTheDatabaseFolderAsItWas) {
  const fs::path folder = path("data");
  const fs::path db = folder / "wal.db";
  fs::create_directories(folder);
  make_database(db, catalogue(), true);
  const std::string file = slurp(db);
  const struct {
    int signal;
    bool pair_left;  // by a connection that died
  } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGINT, true}, {SIGTERM, true}};
  for (const auto& c : cases) {
    if (c.pair_left) {
      OtherProcess died(db);
      ASSERT_TRUE(died.exec("SELECT count(*) FROM Make;"));
      died.kill();
    }
    const std::vector<std::string> before = listing(folder);
    ASSERT_EQ(before.size(), c.pair_left ? 3u : 1u);
    spit(out(), "the previous artifact");
    // Held once SQLite has opened the -wal file, inside the read.
    Paused tool =
        start_paused_after_open({"--db", db.string(), "--out", out(), "--quiet"}, "wal.db-wal");
    EXPECT_TRUE(tool.inside) << strsignal(c.signal);
    ::kill(tool.pid, tool.inside ? c.signal : SIGKILL);
    // The signal reaches the tool before this byte does: it comes first,
    // and the shim reads the byte only with a call the signal interrupts.
    // A tool that the signal ended at once has closed its end.
    ::send(tool.report, "g", 1, MSG_NOSIGNAL);
    int status = wait_for(tool.pid);
    ::close(tool.report);
    EXPECT_TRUE(WIFSIGNALED(status)) << strsignal(c.signal) << ": status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    EXPECT_EQ(listing(folder), before) << strsignal(c.signal);
    EXPECT_TRUE(slurp(db) == file);
    EXPECT_EQ(slurp(out()), "the previous artifact");
    EXPECT_EQ(slurp(path("stderr")), "");
    for (const char* side : {"-wal", "-shm"}) fs::remove(db.string() + side);
  }
}

// A -wal file of its 32-byte header alone holds no frames, so no change
// that the database file lacks. What lies beside a WAL database stays as it
// was, and nothing is added to it: a -wal or -shm file found alone (a
// connection that died while it closed, or one that held the database for
// itself, leaves one) gets no partner.
TEST_F(ImportTool, AWalFileOfItsHeaderAloneIsNoPendingChangeAndWhatLiesBesideTheDatabaseStays) {
  const fs::path folder = path("data");
  const fs::path db = folder / "wal.db";
  const std::string wal = db.string() + "-wal", shm = db.string() + "-shm";
  fs::create_directories(folder);
  make_database(db, catalogue(), true);
  std::string header, index;
  {
    OtherProcess died(db);
    ASSERT_TRUE(died.exec(
        "PRAGMA wal_autocheckpoint = 0; UPDATE Make SET Name = 'Honda Motor' WHERE Id = 474;"));
    header = slurp(wal).substr(0, 32);
    ASSERT_TRUE(died.exec("PRAGMA wal_checkpoint(TRUNCATE);"));
    index = slurp(shm);
    died.kill();
  }
  ASSERT_EQ(header.size(), 32u);
  const struct {
    std::optional<std::string> wal;
    std::optional<std::string> shm;
  } cases[] = {
      {header, index},
      {header, std::nullopt},
      {"", std::nullopt},
      {std::nullopt, index},
  };
  const std::string file = slurp(db);
  for (const auto& c : cases) {
    fs::remove(wal);
    fs::remove(shm);
    if (c.wal) spit(wal, *c.wal);
    if (c.shm) spit(shm, *c.shm);
    const std::vector<std::string> before = listing(folder);
    ToolRun r = run({"--db", db.string(), "--out", out(), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(artifact()->db().lookup(9, 474), "Honda Motor");
    EXPECT_EQ(listing(folder), before);
    if (c.wal) {
      EXPECT_TRUE(slurp(wal) == *c.wal) << before.size();
    }
    // An index that any reader sharing it writes to, unused when alone.
    if (c.shm && !c.wal) {
      EXPECT_TRUE(slurp(shm) == *c.shm) << before.size();
    }
    EXPECT_TRUE(slurp(db) == file);
  }
}

// SQLite keeps a database's rollback journal, its write-ahead log and that
// log's index in files named after the database file, the one its links
// lead to: an artifact written there would be taken for SQLite's own, and
// recovered or deleted. Refused under any name, whether or not the file is
// there yet, before the database is read.
TEST_F(ImportTool, OutputThatIsAFileSQLiteKeepsBesideTheDatabaseIsRefusedUnderAnyName) {
  fs::create_directories(path("data"));
  const std::string db = path("data/vpic.db").string();
  make_database(db, catalogue(), true);
  const std::string link = path("link.db").string();
  fs::create_symlink(db, link);
  fs::create_symlink("data", path("to-data"));
  fs::create_symlink("data/vpic.db-wal", path("to-wal"));  // nothing there yet
  fs::create_symlink("data/vpic.db-shm", path("to-shm"));
  const std::string not_a_db = path("data/not-a-db").string();
  spit(not_a_db, "just some text, long enough to fill a SQLite header page........\n");
  const std::string db_file = slurp(db);
  const std::string journal = "rollback journal", log = "write-ahead log",
                    index = "shared-memory index";
  struct Case {
    std::string db;
    std::string out;
    std::string side;
    std::string what;
  };
  auto expect_refused = [&](const std::vector<Case>& cases) {
    const std::vector<std::string> data = listing(path("data"));
    for (const Case& c : cases) {
      ToolRun r = run({"--db", c.db, "--out", c.out, "--quiet"});
      EXPECT_EQ(r.status, 1) << c.out;
      EXPECT_EQ(r.err, "tamberok-import: error: cannot write " + c.out + ": it is " + c.side +
                           ", where SQLite keeps the " + c.what + " of the database " + c.db +
                           " while the import reads it\n");
      EXPECT_EQ(listing(path("data")), data) << c.out;
      EXPECT_TRUE(slurp(db) == db_file) << c.out;
    }
  };
  // By the name SQLite would give each.
  expect_refused({
      {db, db + "-journal", db + "-journal", journal},
      {db, db + "-wal", db + "-wal", log},
      {db, db + "-shm", db + "-shm", index},
      {link, path("data/./vpic.db-wal").string(), db + "-wal", log},
      {db, path("to-data/vpic.db-journal").string(), db + "-journal", journal},
      {link, path("to-wal").string(), db + "-wal", log},
      // Refused before it is read: it would be found not to be a database.
      {not_a_db, not_a_db + "-journal", not_a_db + "-journal", journal},
  });
  EXPECT_FALSE(fs::exists(path("to-wal")));  // still leads nowhere

  // As they are, left by a connection that died; a hard link has no name
  // of SQLite's.
  {
    OtherProcess died(db);
    ASSERT_TRUE(died.exec("SELECT count(*) FROM Make;"));
    died.kill();
  }
  const std::string wal_bytes = slurp(db + "-wal"), shm_bytes = slurp(db + "-shm");
  fs::create_hard_link(db + "-wal", path("hard-wal"));
  expect_refused({
      {db, path("hard-wal").string(), db + "-wal", log},
      {link, path("to-shm").string(), db + "-shm", index},
      {db, db + "-wal", db + "-wal", log},
  });
  EXPECT_TRUE(slurp(db + "-wal") == wal_bytes);
  EXPECT_TRUE(slurp(db + "-shm") == shm_bytes);

  // Beside a link to the database, the name is not SQLite's.
  ToolRun r = run({"--db", link, "--out", link + "-wal", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(slurp(link + "-wal").starts_with("TAMBEROK"));
}

// The error-code texts come from ErrorCode.tsv when the database has none:
// one that is there but cannot be read is not called missing.
TEST_F(ImportTool, AnErrorCodeFileThatCannotBeReadIsRefusedSayingWhy) {
  const ModesApply modes(dir_);
  const fs::path sql = modes.folder() / "no-error-codes.sql";
  spit(sql, catalogue() + "\nDROP TABLE ErrorCode;\n");
  fs::permissions(sql, fs::perms(0644));
  const fs::path out_folder = modes.folder() / "out";
  fs::create_directories(out_folder);
  fs::permissions(out_folder, fs::perms::all);
  const fs::path unreadable = modes.folder() / "unreadable";
  fs::create_directories(unreadable);
  fs::permissions(unreadable, fs::perms(0755));
  spit(unreadable / "ErrorCode.tsv", error_code_tsv());
  fs::permissions(unreadable / "ErrorCode.tsv", fs::perms::none);
  const fs::path loop = modes.folder() / "loop";
  fs::create_directories(loop);
  fs::permissions(loop, fs::perms(0755));
  fs::create_symlink("ErrorCode.tsv", loop / "ErrorCode.tsv");
  const std::pair<fs::path, std::string> cases[] = {
      {unreadable, "Permission denied"},
      {loop, "Too many levels of symbolic links"},
  };
  for (const auto& [supplement, reason] : cases) {
    const std::string artifact_path = (out_folder / "out.rkyv").string();
    ToolRun r = run({"--sql", sql.string(), "--out", artifact_path, "--supplement",
                     supplement.string(), "--quiet"},
                    modes.child());
    EXPECT_EQ(r.status, 1) << reason;
    EXPECT_EQ(r.err, "tamberok-import: error: cannot read " +
                         (supplement / "ErrorCode.tsv").string() + ": " + reason + "\n");
    EXPECT_FALSE(fs::exists(artifact_path));
  }
}

TEST_F(ImportTool, FailedWriteLeavesThePreviousArtifactAndNoTemporaryFile) {
  spit(path("catalogue.sql"), catalogue());
  Elsewhere elsewhere(dir_);
  for (const auto& [given, written] : outputs_here_and_through_a_link(elsewhere)) {
    // A file-size limit of one block makes the write fail part way, as a full
    // disk would; the tool ignores the signal and sees the error.
    Child child;
    child.file_size_limit = 1024;
    child.ignored = {SIGXFSZ};
    ToolRun r = run({"--sql", path("catalogue.sql").string(), "--out", given, "--quiet"}, child);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tamberok-import: error: cannot write " + given + ": File too large\n");
    EXPECT_EQ(slurp(written), "the previous artifact");
    EXPECT_FALSE(has_temporary_file(dir_));
    EXPECT_FALSE(has_temporary_file(elsewhere.path()));
  }
}

// Where SIGXFSZ is not ignored, the limit ends the run by it.
TEST_F(ImportTool, AFileSizeLimitHitInTheWriteEndsTheRunBySigxfszAndLeavesNothing) {
  spit(path("catalogue.sql"), catalogue());
  Elsewhere elsewhere(dir_);
  for (const auto& [given, written] : outputs_here_and_through_a_link(elsewhere)) {
    Child child;
    child.file_size_limit = 1024;
    int status = wait_for(
        start({"--sql", path("catalogue.sql").string(), "--out", given, "--quiet"}, child));
    EXPECT_TRUE(WIFSIGNALED(status)) << given << ": status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_EQ(slurp(written), "the previous artifact");
    EXPECT_FALSE(took_temporary_files(dir_));
    EXPECT_FALSE(took_temporary_files(elsewhere.path()));
    EXPECT_EQ(slurp(path("stderr")), "");
  }
}

// Every signal whose default action ends the process, but those a fault
// raises; of the real-time ones, the first and the last.
std::vector<int> ending_signals() {
  return {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE, SIGALRM, SIGTERM,   SIGUSR1,  SIGUSR2, SIGPOLL,
          SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ, SIGPWR,  SIGSTKFLT, SIGRTMIN, SIGRTMAX};
}

TEST_F(ImportTool, SignalDuringTheWriteRemovesTheTemporaryFileAndStillEndsTheRun) {
  spit(path("catalogue.sql"), catalogue());
  for (int signal : ending_signals()) {
    spit(out(), "the previous artifact");
    Paused tool =
        start_paused_in_fsync({"--sql", path("catalogue.sql").string(), "--out", out(), "--quiet"});
    ::close(tool.report);
    EXPECT_TRUE(tool.inside) << strsignal(signal);
    ::kill(tool.pid, tool.inside ? signal : SIGKILL);
    int status = wait_for(tool.pid);
    EXPECT_TRUE(WIFSIGNALED(status)) << strsignal(signal) << ": status " << status;
    EXPECT_EQ(WTERMSIG(status), signal) << strsignal(signal);
    EXPECT_EQ(slurp(out()), "the previous artifact") << strsignal(signal);
    EXPECT_FALSE(took_temporary_files(dir_)) << strsignal(signal);
    EXPECT_EQ(slurp(path("stderr")), "") << strsignal(signal);
  }
}

// A set of signals from the kernel's account of a process or thread
// (SigIgn, SigBlk, ...), as a mask with bit n - 1 for signal n.
uint64_t signal_set(const fs::path& status_file, const std::string& field) {
  const std::string status = slurp(status_file);
  size_t at = status.find("\n" + field + ":");
  return at == std::string::npos ? 0
                                 : std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
}

uint64_t bit_of(int signal) {
  return uint64_t{1} << (signal - 1);
}

// As nohup or a trap leaves them: such a signal was never meant to end the run.
TEST_F(ImportTool, SignalsTheToolWasStartedIgnoringStayIgnored) {
  spit(path("catalogue.sql"), catalogue());
  spit(out(), "the previous artifact");
  Child child;
  child.ignored = {SIGHUP, SIGPIPE, SIGUSR1, SIGXFSZ};
  Paused tool = start_paused_in_fsync(
      {"--sql", path("catalogue.sql").string(), "--out", out(), "--quiet"}, child);
  ::close(tool.report);
  ASSERT_TRUE(tool.inside);
  const uint64_t ignored = signal_set("/proc/" + std::to_string(tool.pid) + "/status", "SigIgn");
  for (int signal : child.ignored) EXPECT_NE(ignored & bit_of(signal), 0u) << strsignal(signal);
  ::kill(tool.pid, SIGTERM);
  int status = wait_for(tool.pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  EXPECT_EQ(slurp(out()), "the previous artifact");
  EXPECT_FALSE(took_temporary_files(dir_));
}

// The threads of a process other than its main one that do not hold
// `signal` back: those the kernel may hand it to. (A sanitizer's runtime
// may run a thread of its own that holds every signal back.)
std::vector<pid_t> other_threads_taking(pid_t pid, int signal) {
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::vector<pid_t> threads;
  for (const std::string& name : listing(tasks)) {
    if (std::stoi(name) != pid &&
        (signal_set(tasks / name / "status", "SigBlk") & bit_of(signal)) == 0) {
      threads.push_back(std::stoi(name));
    }
  }
  return threads;
}

// The kernel hands a signal to any thread that does not hold it back. The
// main thread holds the ending signals back while it makes the temporary
// file and records its name, so one sent then goes to a worker of the pool
// (alive since the cover corpus was chosen): the file must go all the same.
// The shim holds the main thread there, the file made and its name not yet
// recorded, until the signal has come to it.
TEST_F(ImportTool, ASignalAWorkerThreadTakesWhileTheTemporaryFileIsMadeStillRemovesIt) {
  spit(path("catalogue.sql"), catalogue());
  const struct {
    int signal;
    bool to_a_worker;  // else to the process, which gives it to a worker
  } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGUSR1, false}, {SIGHUP, true}, {SIGINT, true}};
  for (const auto& c : cases) {
    spit(out(), "the previous artifact");
    Paused tool = start_paused_after_open(
        {"--sql", path("catalogue.sql").string(), "--out", out(), "--quiet"}, ".tmp-");
    EXPECT_TRUE(tool.inside) << strsignal(c.signal);
    const std::vector<pid_t> workers =
        tool.inside ? other_threads_taking(tool.pid, c.signal) : std::vector<pid_t>{};
    EXPECT_FALSE(workers.empty()) << strsignal(c.signal);
    if (workers.empty()) {
      ::kill(tool.pid, SIGKILL);
    } else if (c.to_a_worker) {
      ::syscall(SYS_tgkill, tool.pid, workers.front(), c.signal);
    } else {
      ::kill(tool.pid, c.signal);
    }
    int status = wait_for(tool.pid);
    ::close(tool.report);
    EXPECT_TRUE(WIFSIGNALED(status)) << strsignal(c.signal) << ": status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    EXPECT_EQ(slurp(out()), "the previous artifact");
    EXPECT_FALSE(took_temporary_files(dir_)) << strsignal(c.signal);
    EXPECT_EQ(slurp(path("stderr")), "");
  }
}

TEST_F(ImportTool, OutputThroughLinksGoesToTheirTargetAndTheLinksStay) {
  spit(path("catalogue.sql"), catalogue());
  ASSERT_EQ(run({"--sql", path("catalogue.sql").string(), "--out", out(), "--quiet"}).status, 0);
  const std::string artifact_bytes = slurp(out());
  Elsewhere elsewhere(dir_);
  spit(elsewhere.path() / "old.rkyv", "the previous artifact");
  fs::create_symlink(elsewhere.path() / "old.rkyv", path("to-old"));
  fs::create_symlink(elsewhere.path() / "new.rkyv", path("to-new"));  // nothing there yet
  fs::create_symlink("to-old", path("to-link"));                      // relative, to a link
  const struct {
    const char* link;
    fs::path written;
  } cases[] = {{"to-old", elsewhere.path() / "old.rkyv"},
               {"to-new", elsewhere.path() / "new.rkyv"},
               {"to-link", elsewhere.path() / "old.rkyv"}};
  for (const auto& c : cases) {
    spit(c.written, "the previous artifact");
    const fs::path before = fs::read_symlink(path(c.link));
    ToolRun r =
        run({"--sql", path("catalogue.sql").string(), "--out", path(c.link).string(), "--quiet"});
    EXPECT_EQ(r.status, 0) << c.link << ": " << r.err;
    EXPECT_TRUE(fs::is_symlink(path(c.link))) << c.link;
    EXPECT_EQ(fs::read_symlink(path(c.link)), before) << c.link;
    EXPECT_TRUE(slurp(c.written) == artifact_bytes) << c.link;
    EXPECT_FALSE(has_temporary_file(dir_));
    EXPECT_FALSE(has_temporary_file(elsewhere.path()));
  }
}

TEST_F(ImportTool, TheReplacedArtifactKeepsItsModeAndItsOwner) {
  spit(path("catalogue.sql"), catalogue());
  // Where the test may give a file away (as root), to another owner.
  const bool root = ::geteuid() == 0;
  const uid_t uid = root ? 65534 : ::geteuid();
  const gid_t gid = root ? 65534 : ::getegid();
  Elsewhere elsewhere(dir_);
  const fs::path target = elsewhere.path() / "target.rkyv";
  fs::create_symlink(target, path("link.rkyv"));
  const struct {
    std::string out;
    fs::path written;
    mode_t mode;
  } cases[] = {
      {out(), out(), 0640},
      {out(), out(), 0604},
      {out(), out(), 0400},
      {path("link.rkyv").string(), target, 0660},
  };
  for (const auto& c : cases) {
    spit(c.written, "the previous artifact");
    ASSERT_EQ(::chmod(c.written.c_str(), c.mode), 0);
    ASSERT_EQ(::chown(c.written.c_str(), uid, gid), 0);
    ToolRun r = run({"--sql", path("catalogue.sql").string(), "--out", c.out, "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(::stat(c.written.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.out;
    EXPECT_EQ(st.st_uid, uid) << c.out;
    EXPECT_EQ(st.st_gid, gid) << c.out;
    EXPECT_TRUE(slurp(c.written).starts_with("TAMBEROK")) << c.out;
  }
}

TEST_F(ImportTool, OutputThatIsNotARegularFileIsRefusedAndLeftAsItWas) {
  spit(path("catalogue.sql"), catalogue());
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  fs::create_symlink("fifo", path("to-fifo"));
  fs::create_symlink("loop", path("loop"));
  std::vector<std::pair<std::string, std::string>> cases = {
      {"fifo", "it is a FIFO, not a regular file"},
      {"to-fifo", "it is a FIFO, not a regular file"},
      {"loop", "Too many levels of symbolic links"},
  };
  // A node like /dev/null's, where the test may make one (as root).
  if (::mknod(path("device").c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0) {
    cases.emplace_back("device", "it is a character device, not a regular file");
  }
  for (const auto& [name, reason] : cases) {
    const std::string out = path(name).string();
    struct stat before, after;
    ASSERT_EQ(::lstat(out.c_str(), &before), 0);
    ToolRun r = run({"--sql", path("catalogue.sql").string(), "--out", out, "--quiet"});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err, "tamberok-import: error: cannot write " + out + ": " + reason + "\n");
    ASSERT_EQ(::lstat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode) << name;
    EXPECT_EQ(after.st_ino, before.st_ino) << name;
  }
  EXPECT_EQ(fs::read_symlink(path("to-fifo")), "fifo");
  EXPECT_FALSE(has_temporary_file(dir_));
}

TEST_F(ImportTool, OutputThatIsAnInputUnderAnyNameIsRefusedAndTheInputLeftAsItWas) {
  const std::string db = path("vpic.db").string();
  const std::string sql = path("catalogue.sql").string();
  const std::string tsv = path("supplement/ErrorCode.tsv").string();
  make_database(db, catalogue(), false);
  spit(sql, catalogue());
  fs::create_directories(path("supplement"));
  spit(tsv, "0\t0 - VIN decoded clean\n");
  fs::create_symlink(db, path("link.db"));
  fs::create_hard_link(db, path("hard.db"));
  fs::create_symlink("catalogue.sql", path("link.sql"));
  const std::string db_bytes = slurp(db), sql_bytes = slurp(sql), tsv_bytes = slurp(tsv);
  const std::string link = path("link.db").string();
  const std::string reads = ", which the import reads";
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::string message;
  } cases[] = {
      {{"--db", db}, db, "it is the database " + db + reads},
      {{"--db", db}, dir_.string() + "/./vpic.db", "it is the database " + db + reads},
      {{"--db", db}, link, "it is the database " + db + reads},
      {{"--db", link}, db, "it is the database " + link + reads},
      {{"--db", db}, path("hard.db").string(), "it is the database " + db + reads},
      {{"--sql", sql}, path("link.sql").string(), "it is the SQL file " + sql + reads},
      {{"--sql", sql, "--supplement", path("supplement").string()},
       tsv,
       "it is the error-code file " + tsv + reads},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--out", c.out, "--quiet"});
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 1) << c.out;
    EXPECT_EQ(r.err, "tamberok-import: error: cannot write " + c.out + ": " + c.message + "\n");
    EXPECT_TRUE(slurp(db) == db_bytes) << c.out;
    EXPECT_TRUE(slurp(sql) == sql_bytes) << c.out;
    EXPECT_TRUE(slurp(tsv) == tsv_bytes) << c.out;
    EXPECT_TRUE(fs::is_symlink(link) && fs::is_symlink(path("link.sql"))) << c.out;
  }
  EXPECT_EQ(listing(dir_),
            (std::vector<std::string>{"catalogue.sql", "hard.db", "link.db", "link.sql", "stderr",
                                      "stdout", "supplement", "vpic.db"}));
}

TEST_F(ImportTool, InputsThatAreNotRegularFilesAreRefusedBeforeTheyAreOpened) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  fs::create_symlink("fifo", path("to-fifo"));
  fs::create_directories(path("a-folder"));
  fs::create_directories(path("fifo-supplement"));
  ASSERT_EQ(::mkfifo(path("fifo-supplement/ErrorCode.tsv").c_str(), 0600), 0);
  std::vector<std::string> no_table = spoiled("DROP TABLE ErrorCode;");
  no_table.insert(no_table.end(), {"--supplement", path("fifo-supplement").string()});
  const std::string fifo = ": it is a FIFO, not a regular file";
  auto db = [&](const std::string& file) {
    return std::vector<std::string>{"--db", file, "--out", out()};
  };
  expect_refusals({
      {db(path("fifo").string()), "cannot open database " + path("fifo").string() + fifo},
      {db(path("to-fifo").string()), "cannot open database " + path("to-fifo").string() + fifo},
      {db("/dev/null"),
       "cannot open database /dev/null: it is a character device, not a regular "
       "file"},
      {db(path("a-folder").string()),
       "cannot open database " + path("a-folder").string() + ": Is a directory"},
      {{"--sql", path("fifo").string(), "--out", out()},
       "cannot open SQL file " + path("fifo").string() + fifo},
      {no_table, "cannot open " + path("fifo-supplement/ErrorCode.tsv").string() + fifo},
  });
}

TEST_F(ImportTool, ValuesAtTheirLimitsImportAndWmiCodesNoVinCarriesOnlyWarn) {
  spit(path("limits.sql"), catalogue() +
                               "UPDATE Element SET Id = 65535, weight = -32768 WHERE Id = 1;\n"
                               "UPDATE Element SET weight = 32767 WHERE Id = 5;\n"
                               "UPDATE Conversion SET Formula = '#x# * " +
                               std::string(94, '1') +
                               "' WHERE Id = 4;\n"
                               "UPDATE EngineModelPattern SET AttributeId = '" +
                               std::string(100, '3') +
                               "' WHERE Id = 3002;\n"
                               "UPDATE Wmi SET Wmi = '1OY' WHERE Id = 2101;\n"
                               "UPDATE Wmi SET Wmi = 'Q99I00' WHERE Id = 9001;\n"
                               // A 9 third asks for six characters, any other third for three.
                               "UPDATE Wmi SET Wmi = '1H9' WHERE Id = 3300;\n"
                               "UPDATE Wmi SET Wmi = '1FTAB1' WHERE Id = 3120;\n"
                               "UPDATE Make SET Name = 'Tesla ' || char(10) || 'Motors \u00e9 "
                               "\u20ac \U0001F697 \U0010FFFF' WHERE Id = 441;\n"
                               // The first and last of each sequence length and around the
                               // surrogates.
                               "UPDATE Manufacturer SET Name = CAST(X'7FC280DFBFE0A080ED9FBFEE8080"
                               "EFBFBFF0908080F48FBFBF' AS TEXT) WHERE Id = 955;\n");
  ToolRun r = run({"--sql", path("limits.sql").string(), "--out", path("out.rkyv").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  // The first line names the lookup tables the catalogue lacks.
  std::string warnings =
      "tamberok-import: warning: table Wmi: 2 WMI codes hold I, O or Q, which no VIN carries; "
      "kept (1OY, Q99I00)\n"
      "tamberok-import: warning: table Wmi: 2 WMI codes are 3 characters with 9 third or 6 "
      "without, which no VIN carries; kept (1FTAB1, 1H9)\n";
  ASSERT_GE(r.err.size(), warnings.size());
  EXPECT_EQ(r.err.substr(r.err.size() - warnings.size()), warnings);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3);

  std::unique_ptr<ArtifactDb> a = artifact();
  ASSERT_TRUE(a->db().element(65535));
  EXPECT_EQ(a->db().element(65535)->weight, -32768);
  EXPECT_EQ(a->db().element(5)->weight, 32767);
  EXPECT_EQ(a->db().wmi_any("1OY")->id, 2101);
  EXPECT_EQ(a->db().wmi_any("Q99I00")->id, 9001);
  EXPECT_EQ(a->db().wmi_any("1H9")->id, 3300);
  EXPECT_EQ(a->db().wmi_any("1FTAB1")->id, 3120);
  // Control characters are data; UTF-8 of every sequence length reads.
  EXPECT_EQ(a->db().lookup(9, 441), "Tesla \nMotors \u00e9 \u20ac \U0001F697 \U0010FFFF");
  EXPECT_EQ(a->db().lookup(10, 955),
            "\x7F\u0080\u07FF\u0800\uD7FF\uE000\uFFFF\U00010000\U0010FFFF");
}

TEST_F(ImportTool, HelpPrintsTheUsageOnStandardOutput) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"--db", "a.db", "-h", "--frobnicate"}}) {
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 0) << args.back();
    EXPECT_EQ(r.out,
              "usage: tamberok-import (--db FILE | --sql FILE) --out FILE [--supplement DIR] "
              "[--quiet]\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(ImportTool, WrongArgumentsPrintTheUsage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--db", "a.db"},
                                             {"--db", "a.db", "--sql", "a.sql", "--out", "x"},
                                             {"--out"},
                                             {"--frobnicate", "x"}}) {
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: tamberok-import (--db FILE | --sql FILE) --out FILE"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace tamberok
