// The public library's layouts (kx.h): bytes per pixel, strides and buffer
// sizes, the one place they are computed, for callers and for the
// library's own checks of the buffers it is given (decode.cpp, encode.cpp).
#include <cstddef>
#include <cstdint>

#include "kx.h"

namespace {

// The widest side a 16-bit header field can state.
constexpr std::int32_t kMaxHeaderSide = 32767;

bool KnownLayout(int layout) { return layout >= KX_LAYOUT_BGR_BOTTOM_UP && layout <= KX_LAYOUT_BGRA; }

}  // namespace

extern "C" {

size_t kx_layout_pixel_bytes(int layout) {
  if (!KnownLayout(layout)) return 0;
  return layout == KX_LAYOUT_RGBA || layout == KX_LAYOUT_BGRA ? 4 : 3;
}

size_t kx_default_stride(int32_t width, int layout) {
  const std::size_t pixel_bytes = kx_layout_pixel_bytes(layout);
  if (pixel_bytes == 0 || width <= 0 || width > kMaxHeaderSide) return 0;
  const std::size_t row_bytes = pixel_bytes * static_cast<std::size_t>(width);
  return layout == KX_LAYOUT_BGR_BOTTOM_UP ? (row_bytes + 3) / 4 * 4 : row_bytes;
}

uint64_t kx_buffer_bytes(int32_t width, int32_t height, int layout, size_t stride_bytes) {
  const std::size_t pixel_bytes = kx_layout_pixel_bytes(layout);
  if (pixel_bytes == 0 || width <= 0 || height <= 0 || width > kMaxHeaderSide || height > kMaxHeaderSide) return 0;
  const std::uint64_t row_bytes = std::uint64_t{pixel_bytes} * static_cast<std::uint32_t>(width);
  if (stride_bytes < row_bytes) return 0;
  // The one overflow guard of every buffer size the library computes (the
  // decoders' and the encoder's checks call this): a size past 2^64 is 0,
  // which no caller can take for room.
  const std::uint64_t gaps = static_cast<std::uint32_t>(height - 1);
  if (gaps > 0 && std::uint64_t{stride_bytes} > (UINT64_MAX - row_bytes) / gaps) return 0;
  return std::uint64_t{stride_bytes} * gaps + row_bytes;
}

}  // extern "C"
