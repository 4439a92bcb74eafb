// The prefault thread on POSIX threads.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "platform/huge_pages.h"
#include "platform/platform.h"
#include "platform/touch_pages.h"

namespace kx {

namespace {

// glibc gives blocks of 32 MiB and more fresh from mmap, where every page
// faults on its first touch; smaller ones often come from memory the
// process has touched before, where a thread would only cost. Where they
// are fresh (a viewer's first picture, or one it still holds), the huge
// pages asked for below make their faults cheap enough that a thread from
// 8 MiB up gained nothing on a 2560 x 1600 photograph (bench/README.md).
constexpr std::size_t kPrefaultMinBytes = std::size_t{32} << 20;

constexpr std::size_t kPrefaultStackBytes = std::size_t{64} << 10;

void* PrefaultPages(void* param) {
  TouchPages(*static_cast<const PrefaultJob*>(param));
  return nullptr;
}

}  // namespace

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t), "a thread fits the job record");

bool StartPrefault(PrefaultJob* job) {
  job->running = false;
  AdviseHugePages(job->block, job->bytes);
  if (job->bytes < kPrefaultMinBytes) return false;
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

}  // namespace kx
