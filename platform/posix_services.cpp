// The platform layer's services on POSIX systems, as shipped: the
// implementation of platform/posix.h, nothing added.
#include "platform/posix.h"

namespace kx {

FileHandle OpenForRead(FileName name) { return posix::OpenForRead(name); }
std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t n) { return posix::ReadBytes(file, buffer, n); }
void CloseFile(FileHandle file) { posix::CloseFile(file); }
std::int64_t FileBytes(FileHandle file) { return posix::FileBytes(file); }
bool SeekFile(FileHandle file, std::int64_t offset) { return posix::SeekFile(file, offset); }

BlockHandle AllocFixedBlock(std::size_t n) { return posix::AllocBlock(n, false); }
BlockHandle AllocZeroedBlock(std::size_t n) { return posix::AllocBlock(n, true); }
void* LockBlock(BlockHandle block) { return block; }
void UnlockBlock(BlockHandle) {}
void FreeBlock(BlockHandle block) { posix::FreeBlock(block); }

bool StartPrefault(PrefaultJob* job) { return posix::StartPrefaultFrom(job, posix::kPrefaultMinBytes); }
void FinishPrefault(PrefaultJob* job) { posix::FinishPrefault(job); }

}  // namespace kx
