// Native module loading for hosts; blocks and files come from the stand-in.
#include <dlfcn.h>
#include <sys/mman.h>

#include <thread>
#include <vector>

#include "platform/host.h"

void* HostLoadModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* HostFindExport(void* module, const char* name) { return dlsym(module, name); }
void HostUnloadModule(void* module) { dlclose(module); }

void* HostMapAt(std::uintptr_t address, std::size_t bytes) {
  void* const want = reinterpret_cast<void*>(address);
  void* const got = mmap(want, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (got == MAP_FAILED) return nullptr;
  if (got != want) {  // kernels before 4.17 take the address as a hint only
    munmap(got, bytes);
    return nullptr;
  }
  return got;
}
void HostUnmapAt(void* at, std::size_t bytes) { munmap(at, bytes); }

bool HostRunParallel(int count, void (*fn)(void*, int), void* context) {
  std::vector<std::thread> threads;
  if (count > 0) threads.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) threads.emplace_back(fn, context, k);
  for (std::thread& t : threads) t.join();
  return count > 0;
}
