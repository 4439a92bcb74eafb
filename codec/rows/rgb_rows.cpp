// Top-down RGB rows: the row store that turns each pixel's bytes around, its
// scalar kernels and their choice, and the decoder's entry point for this
// layout. A file of its own, with the SIMD kernels in rgb_sse2.cpp and
// rgb_ssse3.cpp, outside the code the modules link: the plug-in never stores
// RGB rows, and the 64-bit module's unwind tables would keep any function
// linked into it.
#include <cstring>

#include "codec/decode/delta.h"
#include "codec/decode/fast_decode.h"
#include "codec/decode/row_writer.h"
#include "codec/format/kx_format.h"

namespace kx {

namespace {

// The kernels take whole pixels, and a piece may start or end inside one:
// its bytes wait in `pending` until the piece that completes the pixel
// arrives. Pixels never cross rows (a row is 3 x width bytes), so neither
// does a pending one.
void StoreRgbPiece(RowWriter* rows, const std::uint8_t* raw, std::uint8_t* dst, std::size_t n) {
  const std::size_t pixel_offset = rows->column_bytes % 3;  // bytes of the current pixel already handed over
  std::size_t done = 0;
  if (pixel_offset != 0) {
    const std::size_t missing = 3 - pixel_offset;
    const std::size_t take = n < missing ? n : missing;
    std::memcpy(rows->pending + pixel_offset, raw, take);
    if (take < missing) return;
    rows->kernel(rows->pending, dst - pixel_offset, 3, rows->carry);
    done = missing;
  }
  const std::size_t whole_bytes = (n - done) / 3 * 3;
  if (whole_bytes > 0) rows->kernel(raw + done, dst + done, whole_bytes, rows->carry);
  done += whole_bytes;
  std::memcpy(rows->pending, raw + done, n - done);
}

}  // namespace

void RgbDeltaScalar(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  std::uint8_t blue = carry[0];
  std::uint8_t green = carry[1];
  std::uint8_t red = carry[2];
  for (std::size_t k = 0; k < n; k += 3) {
    blue = static_cast<std::uint8_t>(src[k] + blue);
    green = static_cast<std::uint8_t>(src[k + 1] + green);
    red = static_cast<std::uint8_t>(src[k + 2] + red);
    dst[k] = red;
    dst[k + 1] = green;
    dst[k + 2] = blue;
  }
  carry[0] = blue;
  carry[1] = green;
  carry[2] = red;
}

void RgbCopyScalar(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t*) {
  for (std::size_t k = 0; k < n; k += 3) {
    const std::uint8_t blue = src[k];
    dst[k + 1] = src[k + 1];
    dst[k] = src[k + 2];
    dst[k + 2] = blue;
  }
}

DeltaFn PickRgbKernel(DeltaKernel kernel, bool undo_delta) {
#if defined(__i386__) || defined(__x86_64__)
  if (kernel == DeltaKernel::kScalar) return undo_delta ? RgbDeltaScalar : RgbCopyScalar;
  if (kernel != DeltaKernel::kSse2 && ProcessorHasSsse3()) return undo_delta ? RgbDeltaSsse3 : RgbCopySsse3;
  if (ProcessorHasSse2()) return undo_delta ? RgbDeltaSse2 : RgbCopySse2;
#else
  (void)kernel;
#endif
  return undo_delta ? RgbDeltaScalar : RgbCopyScalar;
}

RowWriter StartRgbRows(const PictureLayout& layout, std::uint8_t* rgb, std::size_t stride_bytes, DeltaFn kernel) {
  return StartRowsWith(layout, rgb, stride_bytes, false, StoreRgbPiece, kernel);
}

std::size_t DecodeToRgbRows(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout& layout,
                            std::uint8_t* rgb, std::size_t stride_bytes, std::uint8_t* window, std::size_t window_bytes,
                            DeltaKernel kernel) {
  if (stride_bytes < layout.row_bytes) return 0;
  const DeltaFn store = PickRgbKernel(kernel, AsksForDelta(src, src_bytes));
  return DecodeIntoRows(src, src_bytes, layout.total_bytes, StartRgbRows(layout, rgb, stride_bytes, store), window,
                        window_bytes, kernel);
}

}  // namespace kx
