// Property: any bytes at all, given to the entry points in memory mode, give
// one of the agreed result codes; on success the bitmap's header matches the
// picture's size, the blocks have their sizes, and both are freed. The same
// bytes as a file, opened at an offset the input chooses, give what memory
// mode gives on the bytes from that offset on, or 2 for an offset that
// leaves no whole header.
//
// The input is the file itself, header first. A header whose picture the
// plug-in would accept but which exceeds what the stream's length allows
// (FuzzRawBudget, 64 KiB at most) is made smaller before the call, so that
// every run is quick; headers the plug-in refuses before decoding (empty
// pictures, pictures over its 256 MiB cap) reach it as they are.
//
// The file is a memory file natively (no disk, a few microseconds a write)
// and a temporary file in the Windows builds, which only replay. The
// input's last byte chooses (bits 0-2) whether and at which offset the file
// is opened, and the ANSI or the wide entry points (bit 3). Half the inputs
// are given in memory mode alone: one given both ways decodes twice, and
// the target keeps its rate of thousands a second.
//   0  offset 0;
//   1  the byte before it, 0 to 255: a picture after other data;
//   2  one of the offsets at the ends of len's range (the next byte back
//      chooses): the most negative, one above it, the most negative plus
//      the file's size, -1, the file's size, one past it, the most positive;
//   3  the 8 bytes before it, little-endian, as len holds them;
//   4-7  no file.
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "codec/format/little_endian.h"
#include "fuzz/fuzz_input.h"
#include "platform/wide_char.h"
#include "plugin/spi.h"
#include "tools/host/host.h"

using namespace kx;

#if defined(_WIN32)
#include <filesystem>
#include <fstream>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr int kMaxShrunkWidth = 1024;
constexpr std::uint8_t kOffsetKindMask = 7;
constexpr std::uint8_t kMemoryOnlyKinds = 4;
constexpr std::uint8_t kWideBit = 8;

void ShrinkLargePicture(std::uint8_t* head, std::size_t stream_bytes) {
  const ImageSize size = ReadImageSize(head);
  PictureLayout layout;
  if (PlanPicture(size.width, size.height, &layout) != LayoutStatus::kOk) return;
  const std::size_t budget_bytes = FuzzRawBudget(stream_bytes);
  if (layout.total_bytes <= budget_bytes) return;
  const int width = 1 + (size.width - 1) % kMaxShrunkWidth;
  const std::size_t max_height = budget_bytes / (std::size_t{3} * static_cast<std::size_t>(width));
  const int height = static_cast<std::size_t>(size.height) < max_height ? size.height : static_cast<int>(max_height);
  StoreLe16(head + kWidthAt, static_cast<std::uint16_t>(width));
  StoreLe16(head + kHeightAt, static_cast<std::uint16_t>(height));
}

// What a host saw from one pair of calls.
struct Outcome {
  int info_result;
  PictureInfo info;
  int result;
  std::vector<std::uint8_t> bits;
};

// GetPictureInfo, then GetPicture, checking what holds for every call;
// the bits block's bytes are kept and both blocks freed.
Outcome Load(char* buf, SpiLong len, SpiUint flag, bool wide) {
  Outcome o{};
  const auto* wide_buf = reinterpret_cast<const SpiWchar*>(buf);
  o.info_result = wide ? GetPictureInfoW(wide_buf, len, flag, &o.info) : GetPictureInfo(buf, len, flag, &o.info);
  Check(o.info_result == 0 || o.info_result == 2, "GetPictureInfo result code");
  Check(o.info_result == 2 || o.info.colorDepth == 24, "colour depth");

  SpiHandle info_block = nullptr;
  SpiHandle bits_block = nullptr;
  o.result = wide ? GetPictureW(wide_buf, len, flag, &info_block, &bits_block, nullptr, 0)
                  : GetPicture(buf, len, flag, &info_block, &bits_block, nullptr, 0);
  Check(o.result == 0 || o.result == 2 || o.result == 4, "GetPicture result code");
  Check((o.result == 0) == (info_block != nullptr) && (o.result == 0) == (bits_block != nullptr),
        "blocks handed over exactly on success");
  if (o.result == 0) {
    const auto* header = static_cast<const std::uint8_t*>(HostLockBlock(info_block));
    const auto width = static_cast<std::int32_t>(LoadLe32(header + 4));
    const auto height = static_cast<std::int32_t>(LoadLe32(header + 8));
    Check(width == o.info.width && height == o.info.height, "bitmap size matches the picture's");
    const std::size_t stride_bytes = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    Check(HostBlockBytes(bits_block) == stride_bytes * static_cast<std::size_t>(height), "bits block size");
    Check(HostBlockBytes(info_block) == kInfoBlockBytes, "info block size");
    const auto* bits = static_cast<const std::uint8_t*>(HostLockBlock(bits_block));
    o.bits.assign(bits, bits + HostBlockBytes(bits_block));
    HostFreeBlock(info_block);
    HostFreeBlock(bits_block);
  }
  return o;
}

// Memory mode on an exact-size copy, so that reading past len is caught.
Outcome LoadFromMemory(const std::uint8_t* bytes, std::size_t size) {
  std::vector<std::uint8_t> copy(bytes, bytes + size);
  return Load(reinterpret_cast<char*>(copy.data()), static_cast<SpiLong>(size), 1, false);
}

// The file the file-mode calls open, rewritten for every input; its name
// in the ANSI form.
#if defined(_WIN32)
const std::string& FilePath() {
  static const std::string path = (std::filesystem::temp_directory_path() / "kx_plugin_fuzzer.kx").string();
  return path;
}
void WriteInputFile(const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  Check(out.good(), "the input file is written");
}
#else
int MemoryFile() {
  static const int fd = memfd_create("kx_plugin_fuzzer", MFD_CLOEXEC);
  Check(fd >= 0, "a memory file");
  return fd;
}
const std::string& FilePath() {
  static const std::string path = "/proc/self/fd/" + std::to_string(MemoryFile());
  return path;
}
void WriteInputFile(const std::vector<std::uint8_t>& bytes) {
  const int fd = MemoryFile();
  Check(ftruncate(fd, 0) == 0, "the memory file is emptied");
  Check(bytes.empty() || pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()),
        "the memory file is written");
}
#endif

SpiLong OffsetFrom(FuzzInput* in, std::uint8_t kind, std::size_t file_bytes) {
  constexpr SpiLong kMin = std::numeric_limits<SpiLong>::min();
  constexpr SpiLong kMax = std::numeric_limits<SpiLong>::max();
  const auto size = static_cast<SpiLong>(file_bytes);
  switch (kind) {
    case 0: return 0;
    case 1: return in->BackByte();
    case 2: {
      const SpiLong ends[] = {kMin, kMin + 1, kMin + size, -1, size, size + 1, kMax};
      return ends[in->BackByte() % (sizeof ends / sizeof ends[0])];
    }
    default: {
      std::uint8_t raw[8];
      for (std::uint8_t& b : raw) b = in->BackByte();
      return static_cast<SpiLong>(LoadLe64(raw));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  const std::uint8_t tail = in.BackByte();
  const std::uint8_t kind = tail & kOffsetKindMask;
  const bool with_file = kind < kMemoryOnlyKinds;
  const SpiLong offset = with_file ? OffsetFrom(&in, kind, size) : 0;
  const bool wide = (tail & kWideBit) != 0;
  const bool inside = offset >= 0 && static_cast<std::uint64_t>(offset) <= size &&
                      size - static_cast<std::size_t>(offset) >= kHeaderBytes;
  // The bytes from the offset on (from the start for a refused offset) are
  // what memory mode is given, with their header made small; the file holds
  // the whole input so changed.
  const std::size_t at = inside ? static_cast<std::size_t>(offset) : 0;
  std::vector<std::uint8_t> file(data, data + size);
  if (size - at >= kHeaderBytes) ShrinkLargePicture(file.data() + at, size - at - kHeaderBytes);
  const Outcome memory = LoadFromMemory(file.data() + at, size - at);
  if (!with_file) return 0;

  WriteInputFile(file);
  std::vector<char> name(FilePath().begin(), FilePath().end());
  name.push_back('\0');
  std::vector<WideChar> wide_name(name.begin(), name.end());  // the name is ASCII
  char* const buf = wide ? reinterpret_cast<char*>(wide_name.data()) : name.data();
  const Outcome from_file = Load(buf, offset, 0, wide);
  if (!inside) {
    Check(from_file.info_result == 2 && from_file.result == 2, "an offset without a header after it gives 2");
    return 0;
  }
  Check(from_file.info_result == memory.info_result && from_file.result == memory.result,
        "file mode gives memory mode's results");
  Check(from_file.bits == memory.bits, "file mode gives memory mode's bitmap");
  Check(from_file.info_result != 0 ||
            (from_file.info.width == memory.info.width && from_file.info.height == memory.info.height),
        "file mode gives memory mode's size");
  return 0;
}
