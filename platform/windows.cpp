// KERNEL32 implementation of the plug-in's file and memory services.
#include <windows.h>

#include "platform/platform.h"
#include "platform/touch_pages.h"

namespace kx {

FileHandle OpenForRead(FileName name) {
  // Share everything: a viewer often still holds the handle it showed
  // IsSupported, and an editor or a download may still hold the file open
  // for writing, or be about to rename or delete it. The plug-in reads what
  // it needs right away and closes the file; bytes changed meanwhile make a
  // damaged picture at worst, never an unsafe one.
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // The wide form reaches every name the file system holds, "\\?\" paths
  // beyond 260 characters included; the ANSI form only names the system's
  // code page can spell.
  if (name.wide != nullptr) {
    return CreateFileW(name.wide, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return CreateFileA(name.ansi, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t n) {
  DWORD count = 0;
  if (!ReadFile(file, buffer, n, &count, nullptr)) return 0;
  return count;
}

void CloseFile(FileHandle file) { CloseHandle(file); }

// GetFileSize and SetFilePointer give 0xFFFFFFFF both for failure and for a
// low half that happens to be all ones (a file of 4 GiB - 1 bytes, an offset
// of 8 GiB - 1): only the last error tells them apart, so it is cleared
// first rather than left from an earlier call.
std::int64_t FileBytes(FileHandle file) {
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return (static_cast<std::int64_t>(high) << 32) | low;
}

bool SeekFile(FileHandle file, std::int64_t offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

BlockHandle AllocFixedBlock(std::size_t n) { return LocalAlloc(LMEM_FIXED, n); }
BlockHandle AllocZeroedBlock(std::size_t n) { return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, n); }
void* LockBlock(BlockHandle block) { return LocalLock(block); }
void UnlockBlock(BlockHandle block) { LocalUnlock(block); }
void FreeBlock(BlockHandle block) { LocalFree(block); }

namespace {

// The thread needs a few hundred bytes of stack; a small reservation keeps
// it from taking a megabyte of the host's address space.
constexpr SIZE_T kPrefaultStackBytes = 64 * 1024;
// Large blocks come fresh from the system (the heap allocates them apart),
// so every page faults on its first touch, about 0.4 ms per MiB under Wine
// on the machine measured; starting and joining a thread there costs 1.6 ms
// at best and 4 ms on a busy machine (far less on Windows itself), against
// the faults of the pages the decoder has not reached yet. Started from
// 8 MiB (bench/README.md), it made a 2560 x 1600 photograph (11.7 MiB) 9%
// faster at best and 5 to 11% slower in the median of paired runs, so it
// starts at 16 MiB.
constexpr std::size_t kPrefaultMinBytes = std::size_t{16} << 20;

DWORD WINAPI PrefaultPages(LPVOID param) {
  TouchPages(*static_cast<const PrefaultJob*>(param));
  return 0;
}

}  // namespace

bool StartPrefault(PrefaultJob* job) {
  job->running = false;
  if (job->bytes < kPrefaultMinBytes) return false;
  const HANDLE thread =
      CreateThread(nullptr, kPrefaultStackBytes, PrefaultPages, job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  job->running = thread != nullptr;
  job->thread = reinterpret_cast<std::uintptr_t>(thread);
  return job->running;
}

void FinishPrefault(PrefaultJob* job) {
  if (!job->running) return;
  const auto thread = reinterpret_cast<HANDLE>(job->thread);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  job->running = false;
}

}  // namespace kx

namespace kx {

namespace {

// The storing thread runs the row writers, which need a few kilobytes of
// stack; a small reservation keeps it from taking a megabyte of the host's
// address space.
constexpr SIZE_T kWorkerStackBytes = 256 * 1024;

DWORD WINAPI RunWorker(LPVOID param) {
  const auto* worker = static_cast<const WorkerThread*>(param);
  worker->run(worker->param);
  return 0;
}

}  // namespace

bool StartWorker(WorkerThread* worker, void (*run)(void* param), void* param) {
  worker->run = run;
  worker->param = param;
  const HANDLE thread =
      CreateThread(nullptr, kWorkerStackBytes, RunWorker, worker, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  worker->thread = reinterpret_cast<std::uintptr_t>(thread);
  return thread != nullptr;
}

void JoinWorker(WorkerThread* worker) {
  const auto thread = reinterpret_cast<HANDLE>(worker->thread);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// An auto-reset event has the signal's semantics exactly: a SetEvent with
// nobody waiting stays set until the next wait takes it.
bool CreateWake(WakeSignal* wake) {
  const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  wake->handle = reinterpret_cast<std::uintptr_t>(event);
  return event != nullptr;
}

void DestroyWake(WakeSignal* wake) { CloseHandle(reinterpret_cast<HANDLE>(wake->handle)); }
void RaiseWake(WakeSignal* wake) { SetEvent(reinterpret_cast<HANDLE>(wake->handle)); }
void AwaitWake(WakeSignal* wake) { WaitForSingleObject(reinterpret_cast<HANDLE>(wake->handle), INFINITE); }

void AdviseFreshBlock(void*, std::size_t) {}

void YieldThread() { SwitchToThread(); }

unsigned ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 1 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1u;
}

}  // namespace kx
