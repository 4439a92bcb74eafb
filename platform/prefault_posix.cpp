// The prefault thread on POSIX threads (platform/posix.h).
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "platform/huge_pages.h"
#include "platform/posix.h"
#include "platform/touch_pages.h"

namespace kx::posix {

namespace {

constexpr std::size_t kPrefaultStackBytes = std::size_t{64} << 10;

// Linux 5.14 and later fault pages in for writing without writing to them;
// the C library's headers may be older than the kernel.
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

// The kernel faults the pages in, so that this thread never accesses a
// byte the caller's thread writes: touching them from here, even with an
// atomic OR of zero, would race with the decoder's plain stores. Where the
// kernel cannot, nothing is faulted in and the decoder touches every page
// itself. Runs of adjacent pages go in one call of at most a huge page, so
// that the thread still moves from the end the caller fills last.
void PopulatePages(const PrefaultJob& job) {
#if defined(MADV_POPULATE_WRITE)
  constexpr std::size_t kRunMaxBytes = std::size_t{2} << 20;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const auto page_bytes = static_cast<std::size_t>(page_size);
  std::uintptr_t run_begin = 0;
  std::uintptr_t run_end = 0;
  const auto flush = [&run_begin, &run_end]() {
    if (run_end == run_begin) return true;
    const int populated = madvise(reinterpret_cast<void*>(run_begin), run_end - run_begin, MADV_POPULATE_WRITE);
    run_begin = run_end = 0;
    return populated == 0;
  };
  bool populating = true;
  ForEachRowPage(job, page_bytes, [&](std::uintptr_t page, std::size_t) {
    const bool adjacent = run_end != run_begin && (job.downward ? page + page_bytes == run_begin : page == run_end);
    if (!adjacent || run_end - run_begin >= kRunMaxBytes) {
      populating = flush();
      if (!populating) return false;
      run_begin = page;
      run_end = page + page_bytes;
    } else if (job.downward) {
      run_begin = page;
    } else {
      run_end = page + page_bytes;
    }
    return true;
  });
  if (populating) flush();
#else
  static_cast<void>(job);
#endif
}

void* PrefaultPages(void* param) {
  PopulatePages(*static_cast<const PrefaultJob*>(param));
  return nullptr;
}

}  // namespace

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t), "a thread fits the job record");

bool StartPrefaultFrom(PrefaultJob* job, std::size_t min_bytes) {
  job->running = false;
  AdviseHugePages(job->block, job->bytes);
  if (job->bytes < min_bytes) return false;
  // A small stack, as in the modules: the thread needs a few hundred bytes.
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kPrefaultStackBytes);
  pthread_t thread{};
  const int started = pthread_create(&thread, &attributes, PrefaultPages, job);
  pthread_attr_destroy(&attributes);
  if (started != 0) return false;
  job->running = true;
  job->thread = static_cast<std::uintptr_t>(thread);
  return true;
}

void FinishPrefault(PrefaultJob* job) {
  if (!job->running) return;
  pthread_join(static_cast<pthread_t>(job->thread), nullptr);
  job->running = false;
}

}  // namespace kx::posix
