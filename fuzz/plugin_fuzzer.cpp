// Property: any bytes at all, given to the entry points in memory mode, give
// one of the agreed result codes; on success the bitmap's header matches the
// picture's size, the blocks have their sizes, and both are freed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/kx_format.h"
#include "platform/host.h"
#include "fuzz/fuzz_input.h"
#include "plugin/spi.h"

namespace {

// Pictures whose raw size lies between this and the plug-in's own cap are
// accepted and decoded, which takes long; the fuzzer skips them.
constexpr std::uint64_t kMaxFuzzedPictureBytes = std::uint64_t{8} << 20;
constexpr std::uint64_t kPluginCapBytes = std::uint64_t{256} << 20;

std::int32_t Le32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that reading past len is caught.
  std::vector<std::uint8_t> input(data, data + size);
  char* const buf = reinterpret_cast<char*>(input.data());
  const SpiLong len = static_cast<SpiLong>(size);

  if (size >= kHeaderBytes) {
    const ImageSize image = ReadImageSize(input.data());
    const std::uint64_t raw_bytes = std::uint64_t(image.width > 0 ? image.width : 0) *
                                    std::uint64_t(image.height > 0 ? image.height : 0) * 3;
    if (raw_bytes > kMaxFuzzedPictureBytes && raw_bytes * 4 / 3 <= kPluginCapBytes) return 0;
  }

  PictureInfo info{};
  const int info_result = GetPictureInfo(buf, len, 1, &info);
  Check(info_result == 0 || info_result == 2, "GetPictureInfo result code");
  Check(info_result == 2 || info.colorDepth == 24, "colour depth");

  SpiHandle info_block = nullptr;
  SpiHandle bits_block = nullptr;
  const int result = GetPicture(buf, len, 1, &info_block, &bits_block, nullptr, 0);
  Check(result == 0 || result == 2 || result == 4, "GetPicture result code");
  Check((result == 0) == (info_block != nullptr) && (result == 0) == (bits_block != nullptr),
        "blocks handed over exactly on success");
  if (result == 0) {
    const auto* header = static_cast<const std::uint8_t*>(HostLockBlock(info_block));
    const std::int32_t width = Le32(header + 4);
    const std::int32_t height = Le32(header + 8);
    Check(width == info.width && height == info.height, "bitmap size matches the picture's");
    const std::size_t stride_bytes = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    Check(HostBlockBytes(bits_block) == stride_bytes * static_cast<std::size_t>(height), "bits block size");
    Check(HostBlockBytes(info_block) == 1068, "info block size");
    HostFreeBlock(info_block);
    HostFreeBlock(bits_block);
  }
  return 0;
}
