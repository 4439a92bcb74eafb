// Top-down rows of 4 bytes per pixel (RGBA, BGRA, alpha 255), as browsers'
// canvases and many toolkits keep pixels: the row store that widens each
// pixel, and its kernels. Like the RGB rows, outside the code the modules
// link.
#include <cstring>
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

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

#if defined(__wasm_simd128__)
// WebAssembly has no processor to ask, so its SIMD build chooses this
// kernel when it is compiled. Four pixels at a time, each in a 32-bit lane
// (its fourth byte zero until alpha is set): the delta step's running sum
// is then a prefix sum over lanes, two shifted adds and the carry, every
// channel in its own byte. It took the widening from 15% of the time of a
// photograph's decode in Node to 7%.
template <bool kUndoDelta, bool kRedFirst>
void WidenPixelsSimd(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  constexpr std::size_t kLoadBytes = 16;  // read per 4 pixels, of which 12 are used
  const v128_t zero = wasm_i32x4_const(0, 0, 0, 0);
  const v128_t opaque = wasm_i32x4_const(-16777216, -16777216, -16777216, -16777216);  // 0xFF000000
  // Index 16 and above give zero bytes.
  const v128_t gather = kRedFirst ? wasm_i8x16_const(2, 1, 0, 16, 5, 4, 3, 16, 8, 7, 6, 16, 11, 10, 9, 16)
                                  : wasm_i8x16_const(0, 1, 2, 16, 3, 4, 5, 16, 6, 7, 8, 16, 9, 10, 11, 16);
  const std::uint32_t low = kRedFirst ? carry[2] : carry[0];
  const std::uint32_t high = kRedFirst ? carry[0] : carry[2];
  const std::uint32_t first = low | std::uint32_t{carry[1]} << 8 | high << 16;
  v128_t sum = wasm_i32x4_splat(static_cast<std::int32_t>(first));
  std::size_t k = 0;
  for (; k + kLoadBytes <= n; k += 12, dst += 16) {
    v128_t pixels = wasm_i8x16_swizzle(wasm_v128_load(src + k), gather);
    if (kUndoDelta) {
      pixels = wasm_i8x16_add(
          pixels, wasm_i8x16_shuffle(zero, pixels, 0, 1, 2, 3, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27));
      pixels = wasm_i8x16_add(pixels,
                              wasm_i8x16_shuffle(zero, pixels, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23));
      pixels = wasm_i8x16_add(pixels, sum);
      sum = wasm_i32x4_shuffle(pixels, pixels, 3, 3, 3, 3);
    }
    wasm_v128_store(dst, wasm_v128_or(pixels, opaque));
  }
  if (kUndoDelta) {
    const auto last = static_cast<std::uint32_t>(wasm_i32x4_extract_lane(sum, 0));
    carry[kRedFirst ? 2 : 0] = static_cast<std::uint8_t>(last);
    carry[1] = static_cast<std::uint8_t>(last >> 8);
    carry[kRedFirst ? 0 : 2] = static_cast<std::uint8_t>(last >> 16);
  }
  WidenPixels<kUndoDelta, kRedFirst>(src + k, dst, n - k, carry);
}
#endif

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

DeltaFn PickWideScalar(bool red_first, bool undo_delta) {
  if (red_first) return undo_delta ? WidenPixels<true, true> : WidenPixels<false, true>;
  return undo_delta ? WidenPixels<true, false> : WidenPixels<false, false>;
}

DeltaFn PickWideKernel(bool red_first, bool undo_delta) {
#if defined(__wasm_simd128__)
  // WebAssembly has no run-time check: a SIMD build is SIMD throughout.
  if (red_first) return undo_delta ? WidenPixelsSimd<true, true> : WidenPixelsSimd<false, true>;
  return undo_delta ? WidenPixelsSimd<true, false> : WidenPixelsSimd<false, false>;
#elif defined(__i386__) || defined(__x86_64__)
  // The shuffles that widen pixels need SSSE3; without it the scalar
  // kernel's loop is as fast as SSE2 shifts and masks would be.
  if (ProcessorHasSsse3()) {
    if (red_first) return undo_delta ? RgbaDeltaSsse3 : RgbaCopySsse3;
    return undo_delta ? BgraDeltaSsse3 : BgraCopySsse3;
  }
#endif
  return PickWideScalar(red_first, undo_delta);
}

RowWriter StartWideRows(const PictureLayout& layout, std::uint8_t* dst, std::size_t stride_bytes, DeltaFn kernel) {
  return StartRowsWith(layout, dst, stride_bytes, false, StoreWidePiece, kernel);
}

}  // namespace kx
