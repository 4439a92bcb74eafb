// The prefault thread where a build has no threads (WebAssembly without
// shared memory): nothing starts, and the decoder faults its pages in as it
// writes, which is what a failed start gives everywhere else.
#include "platform/platform.h"

bool StartPrefault(PrefaultJob* job) {
  job->running = false;
  return false;
}

void FinishPrefault(PrefaultJob*) {}
