// Portable stand-in for the KERNEL32 file and local-memory services: the
// implementation (platform/posix.h).
#include "platform/posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/utf16.h"

namespace kx::posix {

namespace {

constexpr std::uint64_t kBlockMagic = 0x4b58424c4f434b31ULL;
// 16 bytes keep the block's address as aligned as malloc's.
struct BlockPrefix {
  std::uint64_t magic;
  std::uint64_t bytes;
};
static_assert(sizeof(BlockPrefix) == 16);

BlockPrefix* Prefix(BlockHandle block) { return static_cast<BlockPrefix*>(block) - 1; }

}  // namespace

int Descriptor(FileHandle file) { return static_cast<int>(reinterpret_cast<std::intptr_t>(file)) - 1; }

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
  return reinterpret_cast<FileHandle>(static_cast<std::intptr_t>(fd) + 1);
}

std::uint32_t ReadBytes(FileHandle file, void* buffer, std::uint32_t n) {
  const int fd = Descriptor(file);
  if (fd < 0) return 0;
  // One read, as ReadFile makes: a regular file gives every byte it has up
  // to n, a pipe or terminal what is there now, without waiting for more.
  ssize_t got = 0;
  do {
    got = ::read(fd, buffer, n);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return 0;
  return static_cast<std::uint32_t>(got);
}

bool CloseFile(FileHandle file) { return ::close(Descriptor(file)) == 0; }

std::int64_t FileBytes(FileHandle file) {
  struct stat st;
  if (::fstat(Descriptor(file), &st) != 0) return -1;
  return st.st_size;
}

bool SeekFile(FileHandle file, std::int64_t offset) {
  return offset >= 0 && ::lseek(Descriptor(file), static_cast<off_t>(offset), SEEK_SET) == offset;
}

BlockHandle AllocBlock(std::size_t n, bool zeroed) {
  if (n > SIZE_MAX - sizeof(BlockPrefix)) return nullptr;
  void* raw = zeroed ? std::calloc(1, sizeof(BlockPrefix) + n) : std::malloc(sizeof(BlockPrefix) + n);
  if (raw == nullptr) return nullptr;
  auto* prefix = static_cast<BlockPrefix*>(raw);
  prefix->magic = kBlockMagic;
  prefix->bytes = n;
  return prefix + 1;
}

std::size_t BlockBytes(BlockHandle block) { return static_cast<std::size_t>(Prefix(block)->bytes); }

void FreeBlock(BlockHandle block) {
  if (block == nullptr) return;
  BlockPrefix* prefix = Prefix(block);
  if (prefix->magic != kBlockMagic) std::abort();  // not a block of ours: fail loudly, never corrupt
  prefix->magic = 0;
  std::free(prefix);
}

}  // namespace kx::posix
