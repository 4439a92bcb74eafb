// The prefault thread on POSIX threads (platform/posix.h).
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "platform/huge_pages.h"
#include "platform/posix.h"
#include "platform/touch_pages.h"

namespace kx::posix {

namespace {

constexpr std::size_t kPrefaultStackBytes = std::size_t{64} << 10;

void* PrefaultPages(void* param) {
  TouchPages(*static_cast<const PrefaultJob*>(param));
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
