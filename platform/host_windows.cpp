#include <windows.h>

#include "platform/host.h"

std::uintptr_t HostOpenFile(const char* name) {
  HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<std::uintptr_t>(file);
}

bool HostSeekFile(std::uintptr_t file, std::uint32_t offset) {
  return SetFilePointer(reinterpret_cast<HANDLE>(file), static_cast<LONG>(offset), nullptr, FILE_BEGIN) !=
         INVALID_SET_FILE_POINTER;
}

std::int64_t HostFilePosition(std::uintptr_t file) {
  const DWORD position = SetFilePointer(reinterpret_cast<HANDLE>(file), 0, nullptr, FILE_CURRENT);
  return position == INVALID_SET_FILE_POINTER ? -1 : static_cast<std::int64_t>(position);
}

void HostCloseFile(std::uintptr_t file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

std::int64_t HostBlockBytesInUse() {
  HANDLE heap = GetProcessHeap();
  if (!HeapLock(heap)) return -1;
  std::int64_t busy_bytes = 0;
  PROCESS_HEAP_ENTRY entry{};
  while (HeapWalk(heap, &entry)) {
    if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) busy_bytes += entry.cbData;
  }
  HeapUnlock(heap);
  return busy_bytes;
}

void* HostLockBlock(void* block) { return LocalLock(block); }
std::size_t HostBlockBytes(void* block) { return LocalSize(block); }
void HostFreeBlock(void* block) { LocalFree(block); }

void* HostLoadModule(const char* path) { return LoadLibraryA(path); }
void* HostFindExport(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void HostUnloadModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

namespace {
struct ThreadStart {
  void (*fn)(void*, int);
  void* context;
  int index;
};
DWORD WINAPI ThreadMain(LPVOID param) {
  const auto* start = static_cast<const ThreadStart*>(param);
  start->fn(start->context, start->index);
  return 0;
}
}  // namespace

bool HostRunParallel(int count, void (*fn)(void*, int), void* context) {
  constexpr int kMaxThreads = 64;
  if (count <= 0 || count > kMaxThreads) return false;
  ThreadStart starts[kMaxThreads];
  HANDLE threads[kMaxThreads];
  int started = 0;
  for (; started < count; ++started) {
    starts[started] = ThreadStart{fn, context, started};
    threads[started] = CreateThread(nullptr, 0, ThreadMain, &starts[started], 0, nullptr);
    if (threads[started] == nullptr) break;
  }
  if (started > 0) WaitForMultipleObjects(static_cast<DWORD>(started), threads, TRUE, INFINITE);
  for (int k = 0; k < started; ++k) CloseHandle(threads[k]);
  return started == count;
}
