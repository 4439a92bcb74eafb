// Counts the threads a whole program starts, for the tests that run a host
// as a program of its own (kxconv): preloaded (LD_PRELOAD), its
// pthread_create (count_thread_starts.cpp) counts them, and as the process
// ends it appends the count as one line to the file KX_THREAD_COUNT_FILE
// names. Every process of a command (the shell's too) adds its line; the
// sum is the command's.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/count_thread_starts.h"

namespace {

__attribute__((destructor)) void WriteCount() {
  const char* const path = std::getenv("KX_THREAD_COUNT_FILE");
  if (path == nullptr) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char line[16];
  const int n = std::snprintf(line, sizeof line, "%d\n", ThreadsStartedSoFar());
  // One write of a few bytes to a file opened for appending: lines of
  // processes ending at once do not mix. A failed write leaves a line
  // missing, which the test sees as a wrong count.
  if (n > 0) {
    [[maybe_unused]] const ssize_t written = write(fd, line, static_cast<std::size_t>(n));
  }
  close(fd);
}

}  // namespace
