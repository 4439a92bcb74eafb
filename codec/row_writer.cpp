#include "codec/row_writer.h"

#include <cstring>

RowWriter StartRows(const PictureLayout& layout, std::uint8_t* bits, DeltaFn delta) {
  RowWriter rows{};
  rows.bits = bits;
  rows.stride_bytes = layout.stride_bytes;
  rows.row_bytes = layout.row_bytes;
  rows.stored_row = static_cast<std::size_t>(layout.height) - 1;
  rows.delta = delta;
  return rows;
}

void WriteRows(RowWriter* rows, const std::uint8_t* raw, std::size_t n) {
  while (n > 0) {
    const std::size_t room_bytes = rows->row_bytes - rows->column_bytes;
    const std::size_t take = n < room_bytes ? n : room_bytes;
    if (take == 0) return;
    std::uint8_t* const dst = rows->bits + rows->stored_row * rows->stride_bytes + rows->column_bytes;
    if (rows->delta != nullptr) {
      rows->delta(raw, dst, take, rows->carry);
    } else {
      std::memcpy(dst, raw, take);
    }
    raw += take;
    n -= take;
    rows->column_bytes += take;
    if (rows->column_bytes == rows->row_bytes && rows->stored_row > 0) {
      --rows->stored_row;
      rows->column_bytes = 0;
    }
  }
}
