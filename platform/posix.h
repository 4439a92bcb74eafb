// The stand-in's implementation on POSIX systems, behind the platform
// layer's functions (platform.h): platform/posix_services.cpp forwards to it
// as shipped, and the tests' stand-in (tests/doubles/standin.cpp) forwards
// to the same code with its counts and injected failures around it, so that
// both behave alike by construction.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kx::posix {

// Files are POSIX descriptors; the handle is the descriptor plus one, so
// that handle values stay small (as IsSupported expects of handles) and
// handle 0 is never valid.
int Descriptor(FileHandle file);
FileHandle OpenForRead(FileName name);
std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t n);
// True when the descriptor was open and is now closed.
bool CloseFile(FileHandle file);
std::int64_t FileBytes(FileHandle file);
bool SeekFile(FileHandle file, std::int64_t offset);

// Blocks are allocated with a small header holding their size; the handle
// is the address just after it, which makes blocks fixed, as
// LocalAlloc(LMEM_FIXED) blocks are.
BlockHandle AllocBlock(std::size_t n, bool zeroed);
std::size_t BlockBytes(BlockHandle block);
void FreeBlock(BlockHandle block);

// glibc gives blocks of 32 MiB and more fresh from mmap, where every page
// faults on its first touch; smaller ones often come from memory the
// process has touched before, where a thread would only cost. Where they
// are fresh (a viewer's first picture, or one it still holds), the huge
// pages asked for first make their faults cheap enough that a thread from
// 8 MiB up gained nothing on a 2560 x 1600 photograph (bench/README.md).
inline constexpr std::size_t kPrefaultMinBytes = std::size_t{32} << 20;

// StartPrefault with the threshold given.
bool StartPrefaultFrom(PrefaultJob* job, std::size_t min_bytes);
void FinishPrefault(PrefaultJob* job);

}  // namespace kx::posix
