#include "codec/format/bitmap.h"

#include <cstring>

#include "codec/format/little_endian.h"

namespace kx {

namespace {

constexpr std::uint16_t kBitsPerPixel = 24;
constexpr std::size_t kColourTableBytes = 1024;

}  // namespace

LayoutStatus PlanPicture(std::int32_t width, std::int32_t height, PictureLayout* layout) {
  if (width <= 0 || height <= 0) return LayoutStatus::kEmpty;
  // Both factors are below 2^31, so each product fits in 64 bits; the cap
  // is checked before anything is narrowed to size_t.
  const std::uint64_t row_bytes = std::uint64_t{3} * static_cast<std::uint32_t>(width);
  const std::uint64_t stride_bytes = (row_bytes + 3) / 4 * 4;
  const std::uint64_t bits_bytes = stride_bytes * static_cast<std::uint32_t>(height);
  if (bits_bytes > kMaxPictureBytes) return LayoutStatus::kTooLarge;
  layout->width = width;
  layout->height = height;
  layout->row_bytes = static_cast<std::size_t>(row_bytes);
  layout->stride_bytes = static_cast<std::size_t>(stride_bytes);
  layout->total_bytes = static_cast<std::size_t>(row_bytes * static_cast<std::uint32_t>(height));
  layout->bits_bytes = static_cast<std::size_t>(bits_bytes);
  return LayoutStatus::kOk;
}

HeaderCheck PlanFromHeader(const std::uint8_t* head, std::size_t head_bytes, ImageSize* size, PictureLayout* layout) {
  if (head_bytes < kHeaderBytes) return HeaderCheck::kTruncated;
  if (!HasSignature(head)) return HeaderCheck::kNotKx;
  *size = ReadImageSize(head);
  switch (PlanPicture(size->width, size->height, layout)) {
    case LayoutStatus::kEmpty: return HeaderCheck::kNoPixels;
    case LayoutStatus::kTooLarge: return HeaderCheck::kTooLarge;
    case LayoutStatus::kOk: break;
  }
  return HeaderCheck::kOk;
}

void FillBitmapHeader(std::uint8_t* info, std::int32_t width, std::int32_t height, std::uint32_t size_image_bytes) {
  std::memset(info, 0, kBitmapHeaderBytes + kColourTableBytes);
  StoreLe32(info + 0, kBitmapHeaderBytes);                  // biSize
  StoreLe32(info + 4, static_cast<std::uint32_t>(width));   // biWidth
  StoreLe32(info + 8, static_cast<std::uint32_t>(height));  // biHeight > 0: bottom-up
  StoreLe16(info + 12, 1);                                  // biPlanes
  StoreLe16(info + 14, kBitsPerPixel);                      // biBitCount
  StoreLe32(info + 20, size_image_bytes);                   // biSizeImage
  // biCompression (BI_RGB), the densities and the colour counts stay 0.
}

}  // namespace kx
