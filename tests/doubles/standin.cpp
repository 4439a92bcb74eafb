// The portable stand-in as tests and test hosts link it: the product's
// (platform/posix.cpp, platform/prefault_posix.cpp), behaving exactly as it
// does, with counts of what is live and injected failures
// (tests/doubles/standin.h), and the native host helpers that open files
// and size blocks the stand-in's way (tools/host/host.h). Never in a
// shipped library: check_no_test_symbols refuses one that holds it.
//
// Files are POSIX descriptors; the handle is the descriptor plus one, so
// that handle values stay small (as IsSupported expects of handles) and
// handle 0 is never valid. Blocks are calloc'd with a small header holding
// their size; the handle is the address just after it, which makes blocks
// fixed, as LocalAlloc(LMEM_FIXED) blocks are.
#include "tests/doubles/standin.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/huge_pages.h"
#include "platform/platform.h"
#include "platform/touch_pages.h"
#include "platform/utf16.h"
#include "tools/host/host.h"

namespace kx {

namespace {

constexpr std::uint64_t kBlockMagic = 0x4b58424c4f434b31ULL;
// 16 bytes keep the block's address as aligned as malloc's.
struct BlockPrefix {
  std::uint64_t magic;
  std::uint64_t bytes;
};
static_assert(sizeof(BlockPrefix) == 16);

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
// The product's threshold (platform/prefault_posix.cpp), until a test sets
// another.
constexpr std::size_t kPrefaultMinBytes = std::size_t{32} << 20;
std::atomic<std::size_t> g_prefault_min_bytes{kPrefaultMinBytes};

constexpr std::size_t kPrefaultStackBytes = std::size_t{64} << 10;

void* PrefaultPages(void* param) {
  TouchPages(*static_cast<const PrefaultJob*>(param));
  return nullptr;
}

bool TakeFault(std::atomic<int>& left) {
  int n = left.load();
  while (n >= 0) {
    if (n == 0) return true;
    if (left.compare_exchange_weak(n, n - 1)) return false;
  }
  return false;
}

int Descriptor(FileHandle file) { return static_cast<int>(reinterpret_cast<std::intptr_t>(file)) - 1; }

BlockPrefix* Prefix(BlockHandle block) { return static_cast<BlockPrefix*>(block) - 1; }

BlockHandle Allocate(std::size_t n, bool zeroed) {
  if (TakeFault(g_allocations_left)) return nullptr;
  if (n > SIZE_MAX - sizeof(BlockPrefix)) return nullptr;
  void* raw = zeroed ? std::calloc(1, sizeof(BlockPrefix) + n) : std::malloc(sizeof(BlockPrefix) + n);
  if (raw == nullptr) return nullptr;
  auto* prefix = static_cast<BlockPrefix*>(raw);
  prefix->magic = kBlockMagic;
  prefix->bytes = n;
  ++g_live_blocks;
  const std::uint64_t live = g_live_bytes += n;
  std::uint64_t peak = g_peak_bytes.load();
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return prefix + 1;
}

}  // namespace

FileHandle OpenForRead(FileName name) {
  // A wide name is opened by its UTF-8 spelling. PATH_MAX bytes hold any
  // name open() accepts; a longer one could not be opened anyway.
  char utf8[PATH_MAX];
  const char* bytes = name.ansi;
  if (name.wide != nullptr) {
    if (!Utf16ToUtf8(name.wide, utf8, sizeof utf8)) return InvalidFile();
    bytes = utf8;
  }
  if (bytes == nullptr) return InvalidFile();  // no name at all, as CreateFile takes it
  const int fd = ::open(bytes, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return InvalidFile();
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // as on Windows, a folder is not a file
    ::close(fd);
    return InvalidFile();
  }
  ++g_open_files;
  return reinterpret_cast<FileHandle>(static_cast<std::intptr_t>(fd) + 1);
}

std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t n) {
  const std::uint32_t limit = g_read_limit.load();
  if (limit != 0 && n > limit) n = limit;
  const int fd = Descriptor(file);
  if (fd < 0) return 0;
  // One read, as ReadFile makes: a regular file gives every byte it has up
  // to n, a pipe or terminal what is there now, without waiting for more.
  ssize_t got = 0;
  do {
    got = ::read(fd, buffer, n);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return 0;
  g_bytes_read += static_cast<std::uint64_t>(got);
  return static_cast<std::uint32_t>(got);
}

void CloseFile(FileHandle file) {
  if (::close(Descriptor(file)) == 0) --g_open_files;
}

std::int64_t FileBytes(FileHandle file) {
  struct stat st;
  if (::fstat(Descriptor(file), &st) != 0) return -1;
  return st.st_size;
}

bool SeekFile(FileHandle file, std::int64_t offset) {
  return offset >= 0 && ::lseek(Descriptor(file), static_cast<off_t>(offset), SEEK_SET) == offset;
}

BlockHandle AllocFixedBlock(std::size_t n) { return Allocate(n, false); }
BlockHandle AllocZeroedBlock(std::size_t n) { return Allocate(n, true); }

void* LockBlock(BlockHandle block) {
  if (block == nullptr || TakeFault(g_locks_left)) return nullptr;
  return block;
}

void UnlockBlock(BlockHandle) {}

void FreeBlock(BlockHandle block) {
  if (block == nullptr) return;
  BlockPrefix* prefix = Prefix(block);
  if (prefix->magic != kBlockMagic) std::abort();  // not a block of ours: fail loudly, never corrupt
  prefix->magic = 0;
  g_live_bytes -= prefix->bytes;
  std::free(prefix);
  --g_live_blocks;
}

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t), "a thread fits the job record");

bool StartPrefault(PrefaultJob* job) {
  job->running = false;
  AdviseHugePages(job->block, job->bytes);
  if (job->bytes < g_prefault_min_bytes.load()) return false;
  if (g_fail_prefaults.load()) return false;
  // A small stack, as in the modules: the thread needs a few hundred bytes.
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kPrefaultStackBytes);
  pthread_t thread{};
  const int started = pthread_create(&thread, &attributes, PrefaultPages, job);
  pthread_attr_destroy(&attributes);
  if (started != 0) return false;
  job->running = true;
  job->thread = static_cast<std::uintptr_t>(thread);
  ++g_prefaults_started;
  ++g_prefaults_live;
  return true;
}

void FinishPrefault(PrefaultJob* job) {
  if (!job->running) return;
  pthread_join(static_cast<pthread_t>(job->thread), nullptr);
  job->running = false;
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
  g_prefault_min_bytes = kPrefaultMinBytes;
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
  const int fd = Descriptor(reinterpret_cast<FileHandle>(file));
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
  return ::lseek(Descriptor(reinterpret_cast<FileHandle>(file)), 0, SEEK_CUR);
}

void HostCloseFile(std::uintptr_t file) { CloseFile(reinterpret_cast<FileHandle>(file)); }

std::int64_t HostBlockBytesInUse() { return static_cast<std::int64_t>(g_live_bytes.load()); }
void* HostLockBlock(void* block) { return block; }
std::size_t HostBlockBytes(void* block) { return block == nullptr ? 0 : Prefix(block)->bytes; }
void HostFreeBlock(void* block) { FreeBlock(block); }
