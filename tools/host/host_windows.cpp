// windows.h first: shellapi.h needs what it defines.
#include <windows.h>

#include <shellapi.h>

#include "tools/host/host.h"

std::uintptr_t HostOpenFile(const char* name) {
  HANDLE file =
      CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<std::uintptr_t>(file);
}

std::uintptr_t HostOpenFile(const WideChar* name) {
  HANDLE file =
      CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<std::uintptr_t>(file);
}

bool HostWideName(const std::string& ansi, WideString* wide) {
  wide->clear();
  if (ansi.empty()) return true;
  const int chars = static_cast<int>(ansi.size());
  const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), chars, nullptr, 0);
  if (units <= 0) return false;
  wide->resize(static_cast<std::size_t>(units));
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), chars, wide->data(), units) == units;
}

bool HostAnsiName(const WideString& wide, std::string* ansi) {
  ansi->clear();
  if (wide.empty()) return true;
  // Best-fit mappings (an "a" for an accented letter the code page lacks)
  // would name another file: refuse them, and any default character.
  const bool utf8 = GetACP() == CP_UTF8;  // that code page has no defaults, only invalid input
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* const used_default_out = utf8 ? nullptr : &used_default;
  const int units = static_cast<int>(wide.size());
  const int bytes = WideCharToMultiByte(CP_ACP, flags, wide.data(), units, nullptr, 0, nullptr, used_default_out);
  if (bytes <= 0 || used_default) return false;
  ansi->resize(static_cast<std::size_t>(bytes));
  return WideCharToMultiByte(CP_ACP, flags, wide.data(), units, ansi->data(), bytes, nullptr, used_default_out) ==
             bytes &&
         !used_default;
}

bool HostWideArguments(int argc, char** /*argv: spelled in the ANSI code page*/, std::vector<WideString>* arguments) {
  int count = 0;
  LPWSTR* const wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return false;
  arguments->assign(wide, wide + count);
  LocalFree(wide);
  return count == argc;
}

std::uintptr_t HostOpenFileForWriting(const char* name) {
  HANDLE file =
      CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<std::uintptr_t>(file);
}

bool HostMakePipe(std::uintptr_t* read_end, std::uintptr_t* write_end) {
  HANDLE read_handle = nullptr;
  HANDLE write_handle = nullptr;
  if (!CreatePipe(&read_handle, &write_handle, nullptr, 0)) return false;
  *read_end = reinterpret_cast<std::uintptr_t>(read_handle);
  *write_end = reinterpret_cast<std::uintptr_t>(write_handle);
  return true;
}

bool HostWriteFile(std::uintptr_t file, const void* bytes, std::uint32_t n) {
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(file), bytes, n, &written, nullptr) && written == n;
}

bool HostSetFileBytes(const char* name, std::int64_t bytes) {
  HANDLE file =
      CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  size.QuadPart = bytes;
  const bool done = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return done;
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

void* HostMapAt(std::uintptr_t address, std::size_t bytes) {
  void* const want = reinterpret_cast<void*>(address);
  void* const got = VirtualAlloc(want, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (got != nullptr && got != want) {
    VirtualFree(got, 0, MEM_RELEASE);
    return nullptr;
  }
  return got;
}
void HostUnmapAt(void* at, std::size_t) { VirtualFree(at, 0, MEM_RELEASE); }

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
