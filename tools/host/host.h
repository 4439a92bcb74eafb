// What a host needs besides the plug-in: opening a file handle to pass to
// IsSupported, and locking, sizing and freeing the blocks it receives.
// On Windows these are the KERNEL32 calls a viewer makes; natively they work
// on the portable stand-in's files and blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wide_char.h"

// A file handle as IsSupported takes it (a value below 0x10000), or 0 when
// the file cannot be opened. The name in the system's ANSI code page
// (natively, the bytes the file system takes), or in UTF-16.
std::uintptr_t HostOpenFile(const char* name);
std::uintptr_t HostOpenFile(const WideChar* name);

// A name between the ANSI code page (natively UTF-8) and UTF-16, each way.
// False when the name has no exact spelling in the other form: a character
// the code page lacks, an unpaired surrogate, bytes that are no UTF-8.
bool HostWideName(const std::string& ansi, WideString* wide);
bool HostAnsiName(const WideString& wide, std::string* ansi);

// The program's arguments in UTF-16. On Windows they come from the wide
// command line, so that names outside the ANSI code page arrive intact;
// natively they are argv converted from UTF-8. False when they cannot be had.
bool HostWideArguments(int argc, char** argv, std::vector<WideString>* arguments);
// Opens `name` for writing as an editor or a download does while it works:
// others may read meanwhile. A handle as HostOpenFile gives, or 0.
std::uintptr_t HostOpenFileForWriting(const char* name);
// An anonymous pipe, both ends as handles HostOpenFile gives.
bool HostMakePipe(std::uintptr_t* read_end, std::uintptr_t* write_end);
// Writes all n bytes; false on failure.
bool HostWriteFile(std::uintptr_t file, const void* bytes, std::uint32_t n);
// Cuts or extends the file `name` to `bytes` bytes; what it grows by reads
// as zeros and, where the file system allows, takes no room on disk.
bool HostSetFileBytes(const char* name, std::int64_t bytes);
bool HostSeekFile(std::uintptr_t file, std::uint32_t offset);
// The current position, or -1 on failure.
std::int64_t HostFilePosition(std::uintptr_t file);
void HostCloseFile(std::uintptr_t file);

// Bytes held right now in the process's local-memory blocks (on Windows, the
// busy entries of the process heap that LocalAlloc draws from; natively, the
// stand-in's live blocks). -1 when it cannot be had.
std::int64_t HostBlockBytesInUse();

// Read-write memory at exactly `address` (page-aligned; on Windows a
// multiple of 64 KiB), or null when that address cannot be had; released
// with HostUnmapAt.
void* HostMapAt(std::uintptr_t address, std::size_t bytes);
void HostUnmapAt(void* at, std::size_t bytes);

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
