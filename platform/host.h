// What a host needs besides the plug-in: opening a file handle to pass to
// IsSupported, and locking, sizing and freeing the blocks it receives.
// On Windows these are the KERNEL32 calls a viewer makes; natively they work
// on the portable stand-in's files and blocks.
#pragma once

#include <cstddef>
#include <cstdint>

// A file handle as IsSupported takes it (a value below 0x10000), or 0 when
// the file cannot be opened.
std::uintptr_t HostOpenFile(const char* name);
bool HostSeekFile(std::uintptr_t file, std::uint32_t offset);
// The current position, or -1 on failure.
std::int64_t HostFilePosition(std::uintptr_t file);
void HostCloseFile(std::uintptr_t file);

// Bytes held right now in the process's local-memory blocks (on Windows, the
// busy entries of the process heap that LocalAlloc draws from; natively, the
// stand-in's live blocks). -1 when it cannot be had.
std::int64_t HostBlockBytesInUse();

void* HostLockBlock(void* block);
std::size_t HostBlockBytes(void* block);
void HostFreeBlock(void* block);

// Loads a plug-in module by path (LoadLibrary, or dlopen natively) and finds
// its exports by name. Null on failure.
void* HostLoadModule(const char* path);
void* HostFindExport(void* module, const char* name);
void HostUnloadModule(void* module);

// Runs fn(context, k) for k in [0, count) on `count` threads at once and
// waits for all of them; false if a thread could not be started.
bool HostRunParallel(int count, void (*fn)(void* context, int index), void* context);
