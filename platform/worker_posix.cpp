// The two-core decode's thread and wake-up signal on POSIX threads
// (platform.h), for the library and the tests' stand-in alike.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/huge_pages.h"
#include "platform/platform.h"

namespace kx {

namespace {

// The storing thread runs the row writers, whose deepest kernel needs a few
// kilobytes; the sanitizers' frames need several times more.
constexpr std::size_t kWorkerStackBytes = std::size_t{256} << 10;

void* RunWorker(void* param) {
  const auto* worker = static_cast<const WorkerThread*>(param);
  worker->run(worker->param);
  return nullptr;
}

struct Signal {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  bool raised;
};

Signal* SignalOf(const WakeSignal* wake) { return reinterpret_cast<Signal*>(wake->handle); }

}  // namespace

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t), "a thread fits the worker record");

bool StartWorker(WorkerThread* worker, void (*run)(void* param), void* param) {
  worker->run = run;
  worker->param = param;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  pthread_t thread{};
  const int started = pthread_create(&thread, &attributes, RunWorker, worker);
  pthread_attr_destroy(&attributes);
  if (started != 0) return false;
  worker->thread = static_cast<std::uintptr_t>(thread);
  return true;
}

void JoinWorker(WorkerThread* worker) { pthread_join(static_cast<pthread_t>(worker->thread), nullptr); }

bool CreateWake(WakeSignal* wake) {
  auto* signal = static_cast<Signal*>(std::malloc(sizeof(Signal)));
  if (signal == nullptr) return false;
  if (pthread_mutex_init(&signal->lock, nullptr) != 0) {
    std::free(signal);
    return false;
  }
  if (pthread_cond_init(&signal->changed, nullptr) != 0) {
    pthread_mutex_destroy(&signal->lock);
    std::free(signal);
    return false;
  }
  signal->raised = false;
  wake->handle = reinterpret_cast<std::uintptr_t>(signal);
  return true;
}

void DestroyWake(WakeSignal* wake) {
  Signal* const signal = SignalOf(wake);
  pthread_cond_destroy(&signal->changed);
  pthread_mutex_destroy(&signal->lock);
  std::free(signal);
}

void RaiseWake(WakeSignal* wake) {
  Signal* const signal = SignalOf(wake);
  pthread_mutex_lock(&signal->lock);
  signal->raised = true;
  pthread_cond_signal(&signal->changed);
  pthread_mutex_unlock(&signal->lock);
}

void AwaitWake(WakeSignal* wake) {
  Signal* const signal = SignalOf(wake);
  pthread_mutex_lock(&signal->lock);
  while (!signal->raised) pthread_cond_wait(&signal->changed, &signal->lock);
  signal->raised = false;
  pthread_mutex_unlock(&signal->lock);
}

void AdviseFreshBlock(void* block, std::size_t bytes) { AdviseHugePages(block, bytes); }

void YieldThread() { sched_yield(); }

unsigned ProcessorCount() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 1 ? static_cast<unsigned>(count) : 1u;
}

}  // namespace kx
