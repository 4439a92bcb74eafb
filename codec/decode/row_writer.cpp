#include "codec/decode/row_writer.h"

#include <cstring>

namespace kx {

namespace {

void StoreBitmapPiece(RowWriter* rows, const std::uint8_t* raw, std::uint8_t* dst, std::size_t n) {
  if (rows->kernel != nullptr) {
    rows->kernel(raw, dst, n, rows->carry);
  } else {
    std::memcpy(dst, raw, n);
  }
}

}  // namespace

RowWriter StartRows(const PictureLayout& layout, std::uint8_t* bits, DeltaFn delta) {
  return StartStridedRows(layout, bits, layout.stride_bytes, true, delta);
}

RowWriter StartStridedRows(const PictureLayout& layout, std::uint8_t* bits, std::size_t stride_bytes, bool bottom_up,
                           DeltaFn delta) {
  return StartRowsWith(layout, bits, stride_bytes, bottom_up, StoreBitmapPiece, delta);
}

RowWriter StartRowsWith(const PictureLayout& layout, std::uint8_t* dst, std::size_t stride_bytes, bool bottom_up,
                        StorePieceFn store, DeltaFn kernel) {
  RowWriter rows{};
  rows.rows_left = static_cast<std::size_t>(layout.height) - 1;
  rows.row = bottom_up ? dst + rows.rows_left * stride_bytes : dst;
  rows.step_bytes = bottom_up ? -static_cast<std::ptrdiff_t>(stride_bytes) : static_cast<std::ptrdiff_t>(stride_bytes);
  rows.row_bytes = layout.row_bytes;
  rows.store = store;
  rows.kernel = kernel;
  return rows;
}

void WriteRows(RowWriter* rows, const std::uint8_t* raw, std::size_t n) {
  while (n > 0) {
    const std::size_t room_bytes = rows->row_bytes - rows->column_bytes;
    const std::size_t take = n < room_bytes ? n : room_bytes;
    if (take == 0) return;
    rows->store(rows, raw, rows->row + rows->column_bytes, take);
    raw += take;
    n -= take;
    rows->column_bytes += take;
    if (rows->column_bytes == rows->row_bytes && rows->rows_left > 0) {
      rows->row += rows->step_bytes;
      --rows->rows_left;
      rows->column_bytes = 0;
    }
  }
}

}  // namespace kx
