// The portable stand-in as tests and test hosts link it: the product's
// own implementation (platform/posix.h), with counts of what is live and
// injected failures around it (tests/doubles/standin.h), and the native
// host helpers that open files and size blocks the stand-in's way
// (tools/host/host.h). Never in a shipped library: check_no_test_symbols
// refuses one that holds it.
#include "tests/doubles/standin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix.h"
#include "tools/host/host.h"

namespace kx {

namespace {

std::atomic<int> g_open_files{0};
std::atomic<int> g_live_blocks{0};
std::atomic<std::uint64_t> g_live_bytes{0};
std::atomic<std::uint64_t> g_peak_bytes{0};
std::atomic<int> g_allocations_left{-1};  // -1: no failure injected
std::atomic<int> g_locks_left{-1};
std::atomic<std::uint32_t> g_read_limit{0};  // 0: no limit
std::atomic<std::uint64_t> g_bytes_read{0};
std::atomic<int> g_prefaults_started{0};
std::atomic<int> g_prefaults_live{0};
std::atomic<bool> g_fail_prefaults{false};
// The product's threshold until a test sets another.
std::atomic<std::size_t> g_prefault_min_bytes{posix::kPrefaultMinBytes};

bool TakeFault(std::atomic<int>& left) {
  int n = left.load();
  while (n >= 0) {
    if (n == 0) return true;
    if (left.compare_exchange_weak(n, n - 1)) return false;
  }
  return false;
}

BlockHandle Allocate(std::size_t n, bool zeroed) {
  if (TakeFault(g_allocations_left)) return nullptr;
  BlockHandle block = posix::AllocBlock(n, zeroed);
  if (block == nullptr) return nullptr;
  ++g_live_blocks;
  const std::uint64_t live = g_live_bytes += n;
  std::uint64_t peak = g_peak_bytes.load();
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return block;
}

}  // namespace

FileHandle OpenForRead(FileName name) {
  FileHandle file = posix::OpenForRead(name);
  if (file != InvalidFile()) ++g_open_files;
  return file;
}

std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t n) {
  const std::uint32_t limit = g_read_limit.load();
  if (limit != 0 && n > limit) n = limit;
  const std::uint32_t got = posix::ReadBytes(file, buffer, n);
  g_bytes_read += got;
  return got;
}

void CloseFile(FileHandle file) {
  if (posix::CloseFile(file)) --g_open_files;
}

std::int64_t FileBytes(FileHandle file) { return posix::FileBytes(file); }
bool SeekFile(FileHandle file, std::int64_t offset) { return posix::SeekFile(file, offset); }

BlockHandle AllocFixedBlock(std::size_t n) { return Allocate(n, false); }
BlockHandle AllocZeroedBlock(std::size_t n) { return Allocate(n, true); }

void* LockBlock(BlockHandle block) {
  if (block == nullptr || TakeFault(g_locks_left)) return nullptr;
  return block;
}

void UnlockBlock(BlockHandle) {}

void FreeBlock(BlockHandle block) {
  if (block == nullptr) return;
  g_live_bytes -= posix::BlockBytes(block);
  posix::FreeBlock(block);
  --g_live_blocks;
}

bool StartPrefault(PrefaultJob* job) {
  if (g_fail_prefaults.load()) {
    job->running = false;
    return false;
  }
  if (!posix::StartPrefaultFrom(job, g_prefault_min_bytes.load())) return false;
  ++g_prefaults_started;
  ++g_prefaults_live;
  return true;
}

void FinishPrefault(PrefaultJob* job) {
  if (!job->running) return;
  posix::FinishPrefault(job);
  --g_prefaults_live;
}

}  // namespace kx

// The controls and the host helpers are the tests' own, outside the
// product's namespace.
using namespace kx;

int StandInOpenFiles() { return g_open_files.load(); }
int StandInLiveBlocks() { return g_live_blocks.load(); }
std::uint64_t StandInPeakBlockBytes() { return g_peak_bytes.load(); }
void StandInResetPeakBlockBytes() { g_peak_bytes = g_live_bytes.load(); }
void StandInFailAllocationsAfter(int skip) { g_allocations_left = skip; }
void StandInFailLocksAfter(int skip) { g_locks_left = skip; }
void StandInLimitReads(std::uint32_t max_bytes) { g_read_limit = max_bytes; }
std::uint64_t StandInBytesRead() { return g_bytes_read.load(); }
int StandInPrefaultsStarted() { return g_prefaults_started.load(); }
int StandInLivePrefaults() { return g_prefaults_live.load(); }
void StandInFailPrefaults(bool fail) { g_fail_prefaults = fail; }
void StandInSetPrefaultMinBytes(std::size_t bytes) { g_prefault_min_bytes = bytes; }
void StandInResetFaults() {
  g_fail_prefaults = false;
  g_prefault_min_bytes = posix::kPrefaultMinBytes;
  g_allocations_left = -1;
  g_locks_left = -1;
  g_read_limit = 0;
}

std::uintptr_t HostOpenFile(const char* name) {
  FileHandle file = OpenForRead(AnsiFileName(name));
  return file == InvalidFile() ? 0 : reinterpret_cast<std::uintptr_t>(file);
}

std::uintptr_t HostOpenFile(const WideChar* name) {
  FileHandle file = OpenForRead(WideFileName(name));
  return file == InvalidFile() ? 0 : reinterpret_cast<std::uintptr_t>(file);
}

std::uintptr_t HostOpenFileForWriting(const char* name) {
  const int fd = ::open(name, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ++g_open_files;
  return static_cast<std::uintptr_t>(fd) + 1;
}

bool HostMakePipe(std::uintptr_t* read_end, std::uintptr_t* write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  g_open_files += 2;
  *read_end = static_cast<std::uintptr_t>(fds[0]) + 1;
  *write_end = static_cast<std::uintptr_t>(fds[1]) + 1;
  return true;
}

bool HostWriteFile(std::uintptr_t file, const void* bytes, std::uint32_t n) {
  const int fd = posix::Descriptor(reinterpret_cast<FileHandle>(file));
  std::uint32_t done = 0;
  while (done < n) {
    const ssize_t put = ::write(fd, static_cast<const char*>(bytes) + done, n - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::uint32_t>(put);
  }
  return true;
}

bool HostSetFileBytes(const char* name, std::int64_t bytes) { return ::truncate(name, static_cast<off_t>(bytes)) == 0; }

bool HostSeekFile(std::uintptr_t file, std::uint32_t offset) {
  return SeekFile(reinterpret_cast<FileHandle>(file), offset);
}

std::int64_t HostFilePosition(std::uintptr_t file) {
  return ::lseek(posix::Descriptor(reinterpret_cast<FileHandle>(file)), 0, SEEK_CUR);
}

void HostCloseFile(std::uintptr_t file) { CloseFile(reinterpret_cast<FileHandle>(file)); }

std::int64_t HostBlockBytesInUse() { return static_cast<std::int64_t>(g_live_bytes.load()); }
void* HostLockBlock(void* block) { return block; }
std::size_t HostBlockBytes(void* block) { return block == nullptr ? 0 : posix::BlockBytes(block); }
void HostFreeBlock(void* block) { FreeBlock(block); }
