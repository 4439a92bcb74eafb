// Top-down rows of 4 bytes per pixel (RGBA, BGRA, alpha 255), as browsers'
// canvases and many toolkits keep pixels: the row store that widens each
// pixel, and its kernels. Like the RGB rows, outside the code the modules
// link.
#include <cstring>

#include "codec/decode/delta.h"
#include "codec/decode/row_writer.h"

namespace kx {

namespace {

constexpr std::size_t kRawPixelBytes = 3;
constexpr std::size_t kWidePixelBytes = 4;
constexpr std::uint8_t kOpaque = 0xFF;

// Raw pixels (blue, green, red) in, 4-byte pixels out, red first when
// kRedFirst; summed lane by lane when kUndoDelta. n is a multiple of 3;
// dst receives n / 3 x 4 bytes.
template <bool kUndoDelta, bool kRedFirst>
void WidenPixels(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  std::uint8_t blue = carry[0];
  std::uint8_t green = carry[1];
  std::uint8_t red = carry[2];
  for (std::size_t k = 0; k < n; k += kRawPixelBytes, dst += kWidePixelBytes) {
    if (kUndoDelta) {
      blue = static_cast<std::uint8_t>(src[k] + blue);
      green = static_cast<std::uint8_t>(src[k + 1] + green);
      red = static_cast<std::uint8_t>(src[k + 2] + red);
    } else {
      blue = src[k];
      green = src[k + 1];
      red = src[k + 2];
    }
    dst[0] = kRedFirst ? red : blue;
    dst[1] = green;
    dst[2] = kRedFirst ? blue : red;
    dst[3] = kOpaque;
  }
  if (kUndoDelta) {
    carry[0] = blue;
    carry[1] = green;
    carry[2] = red;
  }
}

// As the RGB store: the kernels take whole pixels, and the bytes of a pixel
// that a piece cuts in two wait in `pending`. The writer counts raw bytes,
// so the place of a piece in its row is worked out here (4 bytes for every
// 3) rather than taken from the writer's `dst`.
void StoreWidePiece(RowWriter* rows, const std::uint8_t* raw, std::uint8_t*, std::size_t n) {
  const std::size_t pixel_offset = rows->column_bytes % kRawPixelBytes;
  std::uint8_t* dst = rows->row + rows->column_bytes / kRawPixelBytes * kWidePixelBytes;
  std::size_t done = 0;
  if (pixel_offset != 0) {
    const std::size_t missing = kRawPixelBytes - pixel_offset;
    const std::size_t take = n < missing ? n : missing;
    std::memcpy(rows->pending + pixel_offset, raw, take);
    if (take < missing) return;
    rows->kernel(rows->pending, dst, kRawPixelBytes, rows->carry);
    dst += kWidePixelBytes;
    done = missing;
  }
  const std::size_t whole_bytes = (n - done) / kRawPixelBytes * kRawPixelBytes;
  if (whole_bytes > 0) rows->kernel(raw + done, dst, whole_bytes, rows->carry);
  done += whole_bytes;
  std::memcpy(rows->pending, raw + done, n - done);
}

}  // namespace

DeltaFn PickWideKernel(bool red_first, bool undo_delta) {
  if (red_first) return undo_delta ? WidenPixels<true, true> : WidenPixels<false, true>;
  return undo_delta ? WidenPixels<true, false> : WidenPixels<false, false>;
}

RowWriter StartWideRows(const PictureLayout& layout, std::uint8_t* dst, std::size_t stride_bytes, DeltaFn kernel) {
  RowWriter rows{};
  rows.rows_left = static_cast<std::size_t>(layout.height) - 1;
  rows.row = dst;
  rows.step_bytes = static_cast<std::ptrdiff_t>(stride_bytes);
  rows.row_bytes = layout.row_bytes;
  rows.store = StoreWidePiece;
  rows.kernel = kernel;
  return rows;
}

}  // namespace kx
