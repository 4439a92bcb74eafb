// Raw top-down pixel bytes into the rows of a bottom-up bits block, with the
// delta step undone on the way when the picture asks for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/bitmap.h"
#include "codec/delta.h"

// Where the next raw byte goes: raw row r is stored row height - 1 - r.
struct RowWriter {
  std::uint8_t* bits;
  std::size_t stride_bytes;
  std::size_t row_bytes;
  std::size_t stored_row;    // the stored row being filled, counting down
  std::size_t column_bytes;  // bytes of it already written
  DeltaFn delta;             // null: bytes are stored as they are
  std::uint8_t carry[3];
};

// A writer at the start of the picture laid out by `layout` (PlanPicture
// returned kOk for it), into bits (layout.bits_bytes bytes). `delta` is the
// kernel that undoes the delta step, or null to store bytes as they are.
RowWriter StartRows(const PictureLayout& layout, std::uint8_t* bits, DeltaFn delta);

// Stores the next n raw bytes. Writes only the first row_bytes of each
// stored row, and never past the last byte of stored row 0: the callers hand
// over total_bytes in all, and any excess is dropped.
void WriteRows(RowWriter* rows, const std::uint8_t* raw, std::size_t n);
