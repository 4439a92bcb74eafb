// Property: any bytes at all, given to the entry points in memory mode, give
// one of the agreed result codes; on success the bitmap's header matches the
// picture's size, the blocks have their sizes, and both are freed.
//
// The input is the file itself, header first. A header whose picture the
// plug-in would accept but which exceeds what the stream's length allows
// (FuzzRawBudget, 64 KiB at most) is made smaller before the call, so that
// every run is quick; headers the plug-in refuses before decoding (empty
// pictures, pictures over its 256 MiB cap) reach it as they are.
#include <cstring>
#include <vector>

#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "codec/format/little_endian.h"
#include "fuzz/fuzz_input.h"
#include "plugin/spi.h"
#include "tools/host/host.h"

using namespace kx;

namespace {

constexpr int kMaxShrunkWidth = 1024;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that reading past len is caught.
  std::vector<std::uint8_t> input(data, data + size);
  if (size >= kHeaderBytes) ShrinkLargePicture(input.data(), size - kHeaderBytes);
  char* const buf = reinterpret_cast<char*>(input.data());
  const SpiLong len = static_cast<SpiLong>(size);

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
    const auto width = static_cast<std::int32_t>(LoadLe32(header + 4));
    const auto height = static_cast<std::int32_t>(LoadLe32(header + 8));
    Check(width == info.width && height == info.height, "bitmap size matches the picture's");
    const std::size_t stride_bytes = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    Check(HostBlockBytes(bits_block) == stride_bytes * static_cast<std::size_t>(height), "bits block size");
    Check(HostBlockBytes(info_block) == kInfoBlockBytes, "info block size");
    HostFreeBlock(info_block);
    HostFreeBlock(bits_block);
  }
  return 0;
}
