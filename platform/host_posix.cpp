// Native module loading for hosts; blocks and files come from the stand-in.
#include <dlfcn.h>

#include <thread>
#include <vector>

#include "platform/host.h"

void* HostLoadModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* HostFindExport(void* module, const char* name) { return dlsym(module, name); }
void HostUnloadModule(void* module) { dlclose(module); }

bool HostRunParallel(int count, void (*fn)(void*, int), void* context) {
  std::vector<std::thread> threads;
  if (count > 0) threads.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) threads.emplace_back(fn, context, k);
  for (std::thread& t : threads) t.join();
  return count > 0;
}
