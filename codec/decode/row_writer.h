// Raw top-down pixel bytes into the rows of a picture, with the delta step
// undone on the way when the picture asks for it. Two layouts:
//   - the bits block of a bitmap: rows bottom-up, pixel bytes as they come
//     (blue, green, red);
//   - top-down RGB rows, as image libraries keep pixels: row 0 is the top of
//     the picture, each pixel red, green, blue, rows a caller-given stride
//     apart.
// Each layout has its own start function and its own store of a piece of a
// row, reached through the writer: a program that starts only bottom-up
// rows (the module) links none of the RGB code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/delta.h"
#include "codec/format/bitmap.h"

namespace kx {

struct RowWriter;

// Stores the n raw bytes at raw (at most what is left of the current row)
// at dst, the place of the first of them in the row.
using StorePieceFn = void (*)(RowWriter* rows, const std::uint8_t* raw, std::uint8_t* dst, std::size_t n);

struct RowWriter {
  std::uint8_t* row;          // the row being filled
  std::ptrdiff_t step_bytes;  // from one row to the next: -stride bottom-up, +stride top-down
  std::size_t rows_left;      // rows after the one being filled
  std::size_t row_bytes;
  std::size_t column_bytes;  // bytes of the current row already handed over
  StorePieceFn store;
  DeltaFn kernel;  // bottom-up: the delta kernel, or null to store bytes as they are
  std::uint8_t carry[3];
  std::uint8_t pending[3];  // top-down RGB: raw bytes of a pixel that a piece cut in two
};

// A writer at the start of the picture laid out by `layout` (PlanPicture
// returned kOk for it), into bits (layout.bits_bytes bytes): raw row r is
// stored row height - 1 - r. `delta` is the kernel that undoes the delta
// step, or null to store bytes as they are.
RowWriter StartRows(const PictureLayout& layout, std::uint8_t* bits, DeltaFn delta);

// A writer of any layout: raw row r goes to dst + r x stride_bytes, or to
// dst + (height - 1 - r) x stride_bytes when bottom_up, through `store`
// with `kernel`. The other Start functions are this with their own store.
RowWriter StartRowsWith(const PictureLayout& layout, std::uint8_t* dst, std::size_t stride_bytes, bool bottom_up,
                        StorePieceFn store, DeltaFn kernel);

// A writer of bitmap rows (blue, green, red as they come) at a caller's
// stride: bottom-up as StartRows, or top-down, raw row r at bits + r x
// stride_bytes. stride_bytes >= layout.row_bytes; bits holds (height - 1) x
// stride_bytes + row_bytes bytes.
RowWriter StartStridedRows(const PictureLayout& layout, std::uint8_t* bits, std::size_t stride_bytes, bool bottom_up,
                           DeltaFn delta);

// A writer of top-down rows of 4 bytes per pixel: red, green, blue, 255 or
// blue, green, red, 255, raw row r at dst + r x stride_bytes. stride_bytes
// >= 4 x width; dst holds (height - 1) x stride_bytes + 4 x width bytes.
// `kernel` comes from PickWideKernel. Defined in rgba_rows.cpp, which the
// modules do not link.
RowWriter StartWideRows(const PictureLayout& layout, std::uint8_t* dst, std::size_t stride_bytes, DeltaFn kernel);
// The kernels of those rows: like the RGB ones (codec/delta.h) they take
// whole raw pixels, n bytes, and write n / 3 x 4. PickWideKernel asks the
// processor for SSSE3; PickWideScalar is the plain one.
DeltaFn PickWideKernel(bool red_first, bool undo_delta);
DeltaFn PickWideScalar(bool red_first, bool undo_delta);
void RgbaDeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void RgbaCopySsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void BgraDeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void BgraCopySsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);

// A writer of top-down RGB rows: raw row r goes to rgb + r x stride_bytes,
// its pixels' bytes swapped from blue, green, red to red, green, blue.
// stride_bytes >= layout.row_bytes; rgb holds (height - 1) x stride_bytes +
// row_bytes bytes (the last row needs no padding). `kernel` comes from
// PickRgbKernel.
RowWriter StartRgbRows(const PictureLayout& layout, std::uint8_t* rgb, std::size_t stride_bytes, DeltaFn kernel);

// Stores the next n raw bytes, in pieces of any size. Writes only the first
// row_bytes of each row, each of those bytes once, and nothing past the
// last row: the callers hand over total_bytes in all, and any excess is
// dropped.
void WriteRows(RowWriter* rows, const std::uint8_t* raw, std::size_t n);

}  // namespace kx
