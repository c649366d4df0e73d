#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  if (fd.get() < 0) return std::nullopt;
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
    if (::stat(input.path.c_str(), &st) == 0 && st.st_dev == target.st_dev &&
        st.st_ino == target.st_ino) {
      throw ImportError("cannot write " + out + ": it is " + input.name + " " + input.path +
                        ", which the import reads");
    }
  }
}

}  // namespace tamberok::import
