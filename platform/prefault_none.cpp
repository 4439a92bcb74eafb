// No prefault thread, for targets without threads (WebAssembly without
// shared memory, for one): the caller's thread touches every page itself as
// it fills the block, as it does under the threshold elsewhere.
#include "platform/platform.h"

namespace kx {

bool StartPrefault(PrefaultJob* job) {
  job->running = false;
  return false;
}

void FinishPrefault(PrefaultJob*) {}

}  // namespace kx
