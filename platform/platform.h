// File and local-memory services: the only operating-system calls the
// plug-in makes. On Windows they are KERNEL32 calls; elsewhere a portable
// stand-in with the same properties takes their place.
//
// Properties callers rely on:
//   - a file is opened read-only by name, sharing reading, writing and
//     deletion with others; it is read at its current position, sized,
//     optionally positioned, and closed. The name is the host's, in either
//     form (FileName): only this layer knows how to open each;
//   - memory comes in handle-based blocks that are zero-filled at allocation
//     (AllocZeroedBlock) or not (AllocFixedBlock). Blocks are fixed: the
//     handle is the block's address, so LockBlock returns the handle itself,
//     and a host may use either. FreeBlock releases a block whatever its
//     lock state, as LocalFree does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wide_char.h"

namespace kx {

using FileHandle = void*;
using BlockHandle = void*;

// What OpenForRead returns when the file cannot be opened (INVALID_HANDLE_VALUE).
inline FileHandle InvalidFile() { return reinterpret_cast<FileHandle>(static_cast<std::intptr_t>(-1)); }

// A file name as a host passes it, zero-terminated: bytes in the system's
// ANSI code page (natively, the bytes the file system takes), or UTF-16
// code units. Exactly one of the two is set.
struct FileName {
  const char* ansi;
  const WideChar* wide;
};
inline FileName AnsiFileName(const char* name) { return FileName{name, nullptr}; }
inline FileName WideFileName(const WideChar* name) { return FileName{nullptr, name}; }

// InvalidFile() when the file cannot be opened: it does not exist, is a
// folder, or its name has no spelling the system takes (natively, a UTF-16
// name with an unpaired surrogate).
FileHandle OpenForRead(FileName name);
// Reads up to `n` bytes at the current position with one read, as ReadFile
// does: all that a file has up to n, but from a pipe only what is there now.
// Returns how many were read (0 on any failure).
std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t n);
void CloseFile(FileHandle file);
// The file's size in bytes, or -1 when it cannot be had.
std::int64_t FileBytes(FileHandle file);
// Moves the position to `offset` bytes from the start (any offset a 64-bit
// host can pass); false on failure.
bool SeekFile(FileHandle file, std::int64_t offset);

BlockHandle AllocFixedBlock(std::size_t n);
BlockHandle AllocZeroedBlock(std::size_t n);
void* LockBlock(BlockHandle block);
void UnlockBlock(BlockHandle block);
void FreeBlock(BlockHandle block);

// Faults in the pages of a fresh block on a second thread while the caller
// fills it, so that the two share the cost of the first touch. The block
// holds rows: `row_bytes` at every `stride_bytes` from `block`, the last
// ending at `block + bytes` (one row of `bytes` when the block is all
// picture). Only pages holding a byte of a row are faulted in, and no byte
// between the rows is touched: a caller's padding may lie on pages it has
// protected. It starts at the end the caller fills last: from the lowest
// address up, or from the highest down when `downward` is set. The record
// is the caller's and must stay where it is until FinishPrefault.
struct PrefaultJob {
  void* block;
  std::size_t bytes;
  std::size_t row_bytes;
  std::size_t stride_bytes;
  bool downward;
  bool running;
  std::uintptr_t thread;  // the platform's thread, while running
};
// Starts the thread when the block is large enough for it to pay here (a
// thread costs something to start, and a small block may reuse pages
// already touched); false, and nothing runs, otherwise or when no thread
// can be started.
bool StartPrefault(PrefaultJob* job);
// Waits for the thread to end and releases it; nothing when none runs.
void FinishPrefault(PrefaultJob* job);

// A second thread for the public library's two-core decode, started and
// joined here so that the codec needs no C++ thread library: the Windows
// DLLs that link the library may import only KERNEL32 and msvcrt. The
// record is the caller's and must stay where it is until JoinWorker.
struct WorkerThread {
  void (*run)(void* param);
  void* param;
  std::uintptr_t thread;  // the platform's thread, once started
};
// Starts run(param) on a new thread; false, and nothing runs, where no
// thread can be started (a target without threads, or the system refuses).
bool StartWorker(WorkerThread* worker, void (*run)(void* param), void* param);
// Waits for run to return and releases the thread.
void JoinWorker(WorkerThread* worker);

// An auto-reset signal between two threads: RaiseWake lets one AwaitWake
// return, the one waiting or else the next one to come. A raise with
// nobody waiting is kept (one at most), so a waiter that checked its
// condition before the raise cannot sleep through it.
struct WakeSignal {
  std::uintptr_t handle;
};
// False where the platform cannot make one (then no worker is started).
bool CreateWake(WakeSignal* wake);
void DestroyWake(WakeSignal* wake);
void RaiseWake(WakeSignal* wake);
void AwaitWake(WakeSignal* wake);

// The advice StartPrefault gives a fresh block before it decides on a
// thread (huge pages on Linux; nothing elsewhere), for a caller that has
// another thread touch the block.
void AdviseFreshBlock(void* block, std::size_t bytes);

// Gives the rest of the time slice to another thread ready to run.
void YieldThread();

// How many processors the process may run on (at least 1).
unsigned ProcessorCount();

}  // namespace kx
