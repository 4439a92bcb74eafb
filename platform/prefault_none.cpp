// No prefault thread and no worker, for targets without threads
// (WebAssembly without shared memory, for one): the caller's thread touches
// every page itself as it fills the block, as it does under the threshold
// elsewhere, and the library decodes on it alone.
#include "platform/platform.h"

namespace kx {

bool StartPrefault(PrefaultJob* job) {
  job->running = false;
  return false;
}

void FinishPrefault(PrefaultJob*) {}

bool StartWorker(WorkerThread* worker, void (*run)(void* param), void* param) {
  worker->run = run;
  worker->param = param;
  return false;
}
void JoinWorker(WorkerThread*) {}
bool CreateWake(WakeSignal*) { return false; }
void DestroyWake(WakeSignal*) {}
void RaiseWake(WakeSignal*) {}
void AwaitWake(WakeSignal*) {}
void AdviseFreshBlock(void*, std::size_t) {}
void YieldThread() {}
unsigned ProcessorCount() { return 1; }

}  // namespace kx
