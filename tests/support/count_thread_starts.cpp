#include "tests/support/count_thread_starts.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

namespace {

std::atomic<int> g_threads_started{0};

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

}  // namespace

// The process's pthread_create: the program's (or the preloaded library's)
// definition comes first in the lookup of every library and module, which
// reach it through their PLT (std::thread through libstdc++'s).
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                                                     void* (*start)(void*), void* argument) noexcept {
  static const auto real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  g_threads_started.fetch_add(1);
  return real(thread, attributes, start, argument);
}

int ThreadsStartedSoFar() { return g_threads_started.load(); }
