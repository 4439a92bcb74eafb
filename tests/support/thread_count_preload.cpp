// Counts the threads a whole program starts, for the tests that run a host
// as a program of its own (kxconv): preloaded (LD_PRELOAD), it interposes
// on pthread_create and, as the process ends, appends the count as one
// line to the file KX_THREAD_COUNT_FILE names. Every process of a command
// (the shell's too) adds its line; the sum is the command's.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int> g_threads_started{0};

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

__attribute__((destructor)) void WriteCount() {
  const char* const path = std::getenv("KX_THREAD_COUNT_FILE");
  if (path == nullptr) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char line[16];
  const int n = std::snprintf(line, sizeof line, "%d\n", g_threads_started.load());
  // One write of a few bytes to a file opened for appending: lines of
  // processes ending at once do not mix. A failed write leaves a line
  // missing, which the test sees as a wrong count.
  if (n > 0) {
    [[maybe_unused]] const ssize_t written = write(fd, line, static_cast<std::size_t>(n));
  }
  close(fd);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                                                     void* (*start)(void*), void* argument) noexcept {
  static const auto real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  g_threads_started.fetch_add(1);
  return real(thread, attributes, start, argument);
}
