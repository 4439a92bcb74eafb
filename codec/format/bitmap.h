// The output bitmap: a 24-bit bottom-up device-independent bitmap in two
// blocks, an information block that starts with a BITMAPINFOHEADER and a bits
// block of rows padded to a multiple of 4 bytes. (Rows are stored by
// DecodeToBitmap, codec/decode/fast_decode.h, and for whole raw pictures by the
// stores of codec/reference/row_store.h.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/format/kx_format.h"

namespace kx {

inline constexpr std::size_t kBitmapHeaderBytes = 40;
// The header, room for a 256-entry colour table a 24-bit bitmap does not use,
// and 4 spare bytes: some hosts read that far.
inline constexpr std::size_t kInfoBlockBytes = 1068;

// Largest bits block (and raw picture) the plug-in will allocate. The largest
// picture a reader accepts, 8192 x 8192, needs 192 MiB; headers beyond that
// come from no writer, and refusing them up front keeps every size far below
// 2^31, so a 32-bit host gets the same answer as a 64-bit one instead of
// an attempt to allocate most of its address space.
inline constexpr std::uint64_t kMaxPictureBytes = std::uint64_t{256} << 20;

// Sizes of one picture, all computed in 64-bit arithmetic from the header's
// 16-bit fields, so none can overflow.
struct PictureLayout {
  std::int32_t width;
  std::int32_t height;
  std::size_t row_bytes;     // 3 x width
  std::size_t stride_bytes;  // row_bytes rounded up to a multiple of 4
  std::size_t total_bytes;   // raw pixels: row_bytes x height
  std::size_t bits_bytes;    // bits block: stride_bytes x height
};

enum class LayoutStatus { kOk, kEmpty, kTooLarge };

// Plans the bitmap of a width x height picture. kEmpty for a width or height
// of 0 or less; kTooLarge when the bits block would exceed kMaxPictureBytes.
LayoutStatus PlanPicture(std::int32_t width, std::int32_t height, PictureLayout* layout);

// What every reader asks of a header before it decodes: the signature, and a
// width and height above 0 whose bitmap stays within kMaxPictureBytes. The
// coding byte and the recognition test's limits are not repeated: a host
// asks the recognition test first, and pictures beyond it still decode when
// asked. Reads head[0, 16) only, none when head_bytes is smaller; *size is
// set from kNoPixels on, *layout on kOk.
HeaderCheck PlanFromHeader(const std::uint8_t* head, std::size_t head_bytes, ImageSize* size, PictureLayout* layout);

// Writes the BITMAPINFOHEADER into info[0, 40) and zeroes info[40, 1064):
// 24 bits, uncompressed, bottom-up, biSizeImage = size_image_bytes.
void FillBitmapHeader(std::uint8_t* info, std::int32_t width, std::int32_t height, std::uint32_t size_image_bytes);

}  // namespace kx
