/* Loaded into tamberok-import with LD_PRELOAD by the tests only. When the
 * tool syncs its temporary artifact, the shim writes one byte to the
 * descriptor named in TAMBEROK_TEST_FSYNC_FD and then waits: the test knows
 * the tool is inside its write and sends the signal it means to test. The
 * wait ends on its own after two minutes, a guard against a test that never
 * sends one. */
#define _GNU_SOURCE
#include <dlfcn.h>
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
