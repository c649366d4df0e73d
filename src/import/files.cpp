#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "vpic_reader.h"

namespace tamberok::import {

namespace {

const char* kind_of_file(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// Closes the descriptor whichever way the read ends.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<std::string> real_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string real = resolved;
  std::free(resolved);
  return real;
}

// The name writing `out` gives the file, with every link and folder on the
// way resolved; none when that cannot be told (the write then says why).
std::optional<std::string> written_name(const std::string& out) {
  LinkEnd end = follow_links(out);
  if (end.error != 0) return std::nullopt;
  if (end.found) return real_path(end.path);
  std::filesystem::path name(end.path);
  std::optional<std::string> folder =
      real_path(name.has_parent_path() ? name.parent_path().string() : ".");
  if (!folder) return std::nullopt;
  return (std::filesystem::path(*folder) / name.filename()).string();
}

}  // namespace

std::string not_regular_reason(mode_t mode) {
  if (S_ISREG(mode)) return "";
  if (S_ISDIR(mode)) return std::strerror(EISDIR);
  return std::string("it is ") + kind_of_file(mode) + ", not a regular file";
}

std::optional<std::string> read_regular_file(const std::string& path, const std::string& what) {
  // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is
  // then refused below.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 && errno == ENOENT) return std::nullopt;
  if (fd.get() < 0) {
    throw ImportError("cannot read " + what + path + ": " + std::strerror(errno));
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    throw ImportError("cannot open " + what + path + ": " + std::strerror(errno));
  }
  std::string reason = not_regular_reason(st.st_mode);
  if (!reason.empty()) throw ImportError("cannot open " + what + path + ": " + reason);
  std::string bytes;
  bytes.reserve(static_cast<size_t>(st.st_size));
  char buffer[1 << 16];
  while (true) {
    ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ImportError("cannot read " + what + path + ": " + std::strerror(errno));
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

void refuse_output_among_inputs(const std::string& out, const std::vector<Input>& inputs) {
  struct stat target;
  if (::stat(out.c_str(), &target) != 0) return;  // nothing there yet, or writing will say why
  for (const Input& input : inputs) {
    struct stat st;
    if (::stat(input.path.c_str(), &st) == 0 && same_file(st, target)) {
      throw ImportError("cannot write " + out + ": it is " + input.name + " " + input.path +
                        ", which the import reads");
    }
  }
}

LinkEnd follow_links(const std::string& path) {
  constexpr int LINKS_MAX = 40;  // as the kernel's own limit on a lookup
  LinkEnd end;
  end.path = path;
  for (int links = 0;; ++links) {
    if (::lstat(end.path.c_str(), &end.st) != 0) {
      if (errno != ENOENT) end.error = errno;
      return end;
    }
    if (!S_ISLNK(end.st.st_mode)) {
      end.found = true;
      return end;
    }
    if (links == LINKS_MAX) {
      end.error = ELOOP;
      return end;
    }
    std::error_code ec;
    std::filesystem::path link = std::filesystem::read_symlink(end.path, ec);
    if (ec) {
      end.error = ec.value();
      return end;
    }
    end.path = (std::filesystem::path(end.path).parent_path() / link).string();
  }
}

void refuse_output_among_database_files(const std::string& out, const std::string& db) {
  std::optional<std::string> file = real_path(db);
  if (!file) return;  // reading it says why
  std::optional<std::string> name = written_name(out);
  struct stat target;
  const bool exists = ::stat(out.c_str(), &target) == 0;
  const std::pair<const char*, const char*> kept[] = {
      {"-journal", "rollback journal"},
      {"-wal", "write-ahead log"},
      {"-shm", "shared-memory index"},
  };
  for (const auto& [suffix, what] : kept) {
    std::string side = *file + suffix;
    struct stat st;
    if ((name && *name == side) ||
        (exists && ::stat(side.c_str(), &st) == 0 && same_file(st, target))) {
      throw ImportError("cannot write " + out + ": it is " + side + ", where SQLite keeps the " +
                        what + " of the database " + db + " while the import reads it");
    }
  }
}

}  // namespace tamberok::import
