#include "codec/reference/row_store.h"

#include <cstring>

#include "codec/decode/row_writer.h"

namespace kx {

void StoreRows(const std::uint8_t* out, std::uint8_t* dst, std::size_t stride_bytes, std::int32_t width,
               std::int32_t height) {
  if (width <= 0 || height <= 0) return;
  const std::size_t row_bytes = std::size_t{3} * static_cast<std::uint32_t>(width);
  for (std::int32_t r = height - 1; r >= 0; --r) {
    std::memcpy(dst, out + static_cast<std::size_t>(r) * row_bytes, row_bytes);
    dst += stride_bytes;
  }
}

void StoreDeltaRows(const std::uint8_t* raw, std::uint8_t* bits, const PictureLayout& layout, bool undo_delta,
                    DeltaKernel kernel) {
  DeltaFn delta = nullptr;
  if (undo_delta) delta = layout.bits_bytes >= kStreamingBytes ? PickStreamingDelta(kernel) : PickDelta(kernel);
  RowWriter rows = StartRows(layout, bits, delta);
  WriteRows(&rows, raw, layout.total_bytes);
  if (delta != nullptr) FinishStreaming(delta);
}

void StoreRgbRows(const std::uint8_t* out, std::uint8_t* dst, std::size_t stride_bytes, std::int32_t width,
                  std::int32_t height) {
  if (width <= 0 || height <= 0) return;
  const std::size_t row_bytes = std::size_t{3} * static_cast<std::uint32_t>(width);
  for (std::int32_t r = 0; r < height; ++r) {
    const std::uint8_t* const raw_row = out + static_cast<std::size_t>(r) * row_bytes;
    std::uint8_t* const row = dst + static_cast<std::size_t>(r) * stride_bytes;
    for (std::size_t k = 0; k < row_bytes; k += 3) {
      row[k] = raw_row[k + 2];
      row[k + 1] = raw_row[k + 1];
      row[k + 2] = raw_row[k];
    }
  }
}

void StoreDeltaRgbRows(const std::uint8_t* raw, std::uint8_t* rgb, std::size_t stride_bytes,
                       const PictureLayout& layout, bool undo_delta, DeltaKernel kernel) {
  RowWriter rows = StartRgbRows(layout, rgb, stride_bytes, PickRgbKernel(kernel, undo_delta));
  WriteRows(&rows, raw, layout.total_bytes);
}

void BitmapToRgbRows(const std::uint8_t* bits, const PictureLayout& layout, std::uint8_t* rgb,
                     std::size_t rgb_stride_bytes) {
  for (std::int32_t r = 0; r < layout.height; ++r) {
    const std::size_t stored_row = static_cast<std::size_t>(layout.height - 1 - r);
    StoreRgbRows(bits + stored_row * layout.stride_bytes, rgb + static_cast<std::size_t>(r) * rgb_stride_bytes, 0,
                 layout.width, 1);
  }
}

}  // namespace kx
