/* Loaded into tamberok-import with LD_PRELOAD by the tests only: it holds
 * the tool at a known point of its run, and tells the test, which then sends
 * the signal it means to test.
 *
 * fsync() of the temporary artifact, when TAMBEROK_TEST_FSYNC_FD names a
 * descriptor: the shim writes one byte to it and then waits for the signal
 * that ends the tool.
 *
 * open() of a file whose name holds TAMBEROK_TEST_OPEN_NAME, when
 * TAMBEROK_TEST_OPEN_FD names a socket, the first time: once the file is
 * open, the shim writes one byte to the socket and then waits until the
 * test writes one back, or until a signal waits for the thread that opened
 * the file (one it holds back, passed on to it by another thread).
 *
 * Each wait ends on its own after two minutes, a guard against a test that
 * never sends what it waits for. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int is_temporary_artifact(int fd) {
  char link[64];
  char path[4096];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof(path) - 1);
  if (n <= 0) return 0;
  path[n] = '\0';
  return strstr(path, ".tmp-") != NULL;
}

int fsync(int fd) {
  int (*real_fsync)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  const char* report = getenv("TAMBEROK_TEST_FSYNC_FD");
  if (report != NULL && is_temporary_artifact(fd)) {
    int out = atoi(report);
    if (write(out, "w", 1) == 1) {
      close(out);
      for (int second = 0; second < 120; ++second) sleep(1);
    }
  }
  return real_fsync(fd);
}

typedef int (*OpenFunction)(const char*, int, ...);

/* A signal pending for this thread alone (SigPnd; ShdPnd is the process's,
 * which any thread that does not hold it back may still take). */
static int signal_waits_for_this_thread(OpenFunction open_file) {
  int fd = open_file("/proc/thread-self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[8192];
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  const char* line = strstr(text, "\nSigPnd:");
  return line != NULL && strtoull(line + strlen("\nSigPnd:"), NULL, 16) != 0;
}

static void pause_after_open(const char* path, OpenFunction open_file) {
  static int paused = 0;
  const char* name = getenv("TAMBEROK_TEST_OPEN_NAME");
  const char* socket = getenv("TAMBEROK_TEST_OPEN_FD");
  if (paused || name == NULL || socket == NULL) return;
  const char* base = strrchr(path, '/');
  if (strstr(base != NULL ? base + 1 : path, name) == NULL) return;
  paused = 1;
  int fd = atoi(socket);
  if (write(fd, "o", 1) != 1) return;
  for (int waited_ms = 0; waited_ms < 120000; ++waited_ms) {
    struct pollfd reply = {fd, POLLIN, 0};
    if (poll(&reply, 1, 1) == 1 || signal_waits_for_this_thread(open_file)) return;
  }
}

static int open_and_pause(const char* symbol, const char* path, int flags, mode_t mode) {
  OpenFunction real_open = (OpenFunction)dlsym(RTLD_NEXT, symbol);
  int fd = real_open(path, flags, mode);
  if (fd >= 0) pause_after_open(path, real_open);
  return fd;
}

static mode_t mode_argument(int flags, va_list args) {
  int takes_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return takes_mode ? (mode_t)va_arg(args, int) : 0;
}

/* The tool calls open(); SQLite, built for large files, open64(). */
int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_and_pause("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return open_and_pause("open64", path, flags, mode);
}
