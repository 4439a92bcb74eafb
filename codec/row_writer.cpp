#include "codec/row_writer.h"

#include <cstring>

namespace {

void StoreBitmapPiece(RowWriter* rows, const std::uint8_t* raw, std::uint8_t* dst, std::size_t n) {
  if (rows->kernel != nullptr) {
    rows->kernel(raw, dst, n, rows->carry);
  } else {
    std::memcpy(dst, raw, n);
  }
}

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

RowWriter StartRows(const PictureLayout& layout, std::uint8_t* bits, DeltaFn delta) {
  RowWriter rows{};
  rows.rows_left = static_cast<std::size_t>(layout.height) - 1;
  rows.row = bits + rows.rows_left * layout.stride_bytes;
  rows.step_bytes = -static_cast<std::ptrdiff_t>(layout.stride_bytes);
  rows.row_bytes = layout.row_bytes;
  rows.store = StoreBitmapPiece;
  rows.kernel = delta;
  return rows;
}

RowWriter StartRgbRows(const PictureLayout& layout, std::uint8_t* rgb, std::size_t stride_bytes, DeltaFn kernel) {
  RowWriter rows{};
  rows.rows_left = static_cast<std::size_t>(layout.height) - 1;
  rows.row = rgb;
  rows.step_bytes = static_cast<std::ptrdiff_t>(stride_bytes);
  rows.row_bytes = layout.row_bytes;
  rows.store = StoreRgbPiece;
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
