// Whole-picture row stores: a raw top-down picture already in memory into a
// bottom-up bits block, or into top-down RGB rows. The straightforward path (DecompressPixels, then
// StoreRows) that tests, tools and benchmarks compare the module's decoder
// with; the module itself stores rows only through DecodeToBitmap and does
// not contain these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"
#include "codec/format/bitmap.h"

namespace kx {

// StoreDeltaRows streams bitmaps from this size up, larger than the caches of the machines the plug-in runs on.
inline constexpr std::size_t kStreamingBytes = std::size_t{4} << 20;

// Copies the raw top-down rows of `out` (height rows of 3 x width bytes, no
// gaps) into `dst` bottom-up, one row every stride_bytes. The padding bytes
// of each stored row are not written. Nothing for a width or height <= 0.
void StoreRows(const std::uint8_t* out, std::uint8_t* dst, std::size_t stride_bytes, std::int32_t width,
               std::int32_t height);

// UndoDelta (when undo_delta is set) and StoreRows in one pass: the raw
// top-down picture raw[0, total_bytes) is left as it is, and its rows,
// summed, land bottom-up in bits. The same writes as DecodeToBitmap.
// Bitmaps of kStreamingBytes and more are written with streaming stores.
void StoreDeltaRows(const std::uint8_t* raw, std::uint8_t* bits, const PictureLayout& layout, bool undo_delta,
                    DeltaKernel kernel = DeltaKernel::kBest);

// Copies the raw top-down rows of `out` into `dst` top-down, one row every
// stride_bytes, each pixel's bytes swapped from blue, green, red to red,
// green, blue, one byte at a time. The padding bytes are not written.
void StoreRgbRows(const std::uint8_t* out, std::uint8_t* dst, std::size_t stride_bytes, std::int32_t width,
                  std::int32_t height);

// UndoDelta (when undo_delta is set) and StoreRgbRows in one pass through
// the RGB kernels: the same writes as DecodeToRgbRows.
void StoreDeltaRgbRows(const std::uint8_t* raw, std::uint8_t* rgb, std::size_t stride_bytes,
                       const PictureLayout& layout, bool undo_delta, DeltaKernel kernel = DeltaKernel::kBest);

// A bits block (layout.bits_bytes, bottom-up, blue, green, red) as top-down
// RGB rows rgb_stride_bytes apart: for comparing what the two layouts give
// for one picture. The padding bytes are not written.
void BitmapToRgbRows(const std::uint8_t* bits, const PictureLayout& layout, std::uint8_t* rgb,
                     std::size_t rgb_stride_bytes);

}  // namespace kx
