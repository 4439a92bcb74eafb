// Fast decoder of the KX pixel stream, straight into the bits block (or into
// top-down RGB rows).
//
// DecodeToBitmap gives exactly what DecompressPixels followed by StoreRows
// (codec/reference/decompress.h, codec/reference/row_store.h) give, byte for byte and for any
// input, without a picture-sized scratch buffer: it decodes into a small
// window that keeps the last kMaxDistance bytes of output (all a
// back-reference can reach) and, every few kilobytes, moves the finished
// bytes into their rows of the bits block, undoing the delta step on the way.
//
// Contract, for any src bytes whatsoever:
//   - src is read only in [0, src_bytes);
//   - bits is written only in the first row_bytes of each of the height
//     stored rows (stride_bytes apart); every one of those bytes is written,
//     so the block need not be cleared, and the padding after each row is
//     never touched;
//   - window is read and written only in [0, window_bytes); what it holds on
//     entry does not matter and what it holds on return is unspecified;
//   - layout is one that PlanPicture returned kOk for, and bits holds at
//     least layout.bits_bytes bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/format/bitmap.h"

namespace kx {

struct RowWriter;  // codec/decode/row_writer.h

// The window the plug-in gives DecodeToBitmap, whatever the picture's size.
// 256 KiB makes the 16 KiB slide of the history happen once every 190 KiB
// or so of output, and stays far below the 1 MiB a picture may use besides
// its input and bitmap. (Windows of 128 KiB to 1 MiB decoded the bench
// pictures equally fast within the noise.)
inline constexpr std::size_t kDecodeWindowBytes = std::size_t{256} << 10;

// The smallest window DecodeToBitmap accepts: twice the history (a slide
// copies the last kMaxDistance bytes to the front, which must not overlap
// them) and one group of eight 4096-byte copies with the margin of its wide
// copies, rounded up. Smaller windows slide more often; tests use this one
// for that.
inline constexpr std::size_t kMinDecodeWindowBytes = std::size_t{72} << 10;

// Which instruction set the decoder's kernels use: the delta step and row
// stores (codec/decode/delta.h, codec/rows/rgb_rows.cpp) and the unchecked groups
// (codec/decode/group_decode.h). kBest
// asks the processor: AVX2 where it exists, else SSSE3, else SSE2, else
// plain C++ (kScalar; the only kernels off x86). Only the group decoder has
// an AVX2 kernel (32-byte copies), which kBest uses where a stream's copies
// are long and kAvx2 everywhere; with either, the delta step and row stores
// use SSSE3. Asking for a set the processor lacks gives the best one below
// it. Every kernel gives the same bytes.
enum class DeltaKernel { kBest, kScalar, kSse2, kSsse3, kAvx2 };

// True when the processor runs `kernel` (kBest and kScalar always).
bool DeltaKernelAvailable(DeltaKernel kernel);

// Decodes the KX image `src` (header and stream, src_bytes bytes) into the
// bits block laid out by `layout`, with `window` as the only work memory.
// Returns how many raw bytes the stream itself produced, as DecompressPixels
// does. A window below kMinDecodeWindowBytes decodes and writes nothing and
// returns 0.
std::size_t DecodeToBitmap(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout& layout,
                           std::uint8_t* bits, std::uint8_t* window, std::size_t window_bytes,
                           DeltaKernel kernel = DeltaKernel::kBest);

// The same decode into top-down RGB rows, for image libraries: row r of the
// picture (r = 0 at the top) starts at rgb + r x stride_bytes and holds its
// width pixels as red, green, blue; StoreRgbRows (codec/reference/row_store.h) of
// DecompressPixels' output gives the same bytes. The contract above holds
// with rgb for bits: only the first row_bytes of each row are written, all
// of them; rgb holds (height - 1) x stride_bytes + layout.row_bytes bytes,
// so the last row needs no padding. A window below kMinDecodeWindowBytes or
// a stride below layout.row_bytes decodes and writes nothing and returns 0.
// Defined with the RGB row store in rgb_rows.cpp, which the modules do not
// link.
std::size_t DecodeToRgbRows(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout& layout,
                            std::uint8_t* rgb, std::size_t stride_bytes, std::uint8_t* window, std::size_t window_bytes,
                            DeltaKernel kernel = DeltaKernel::kBest);

// The decode behind both entry points, into whatever layout `rows` was
// started for (StartRows, StartRgbRows) for a picture of total_bytes raw
// bytes; the contract above holds for the rows the writer was given. A
// window below kMinDecodeWindowBytes decodes and writes nothing and
// returns 0. `kernel` picks the group decoder's instruction set (the row
// writer brings its own store kernel).
std::size_t DecodeIntoRows(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                           const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes, DeltaKernel kernel);

// Where the decoder hands its finished bytes when another thread stores
// them (codec/decode/two_core_decode.h). hand_over receives the next n
// finished bytes, in order, at their place in the window, which the decoder
// leaves as they are until they are stored. Before it writes over window
// bytes it has handed over, the decoder calls reclaim with the range it is
// about to write: it returns once no byte handed over in [begin, end) is
// still to be stored. After each slide the decoder reclaims the window front
// to back, a piece ahead of what it writes, so that the storing side may
// fall up to a window behind without stopping it. drain returns once every
// byte handed over has been stored; the decoder drains before it returns,
// and before it goes token by token near the end.
struct PieceSink {
  void* context;
  void (*hand_over)(void* context, const std::uint8_t* raw, std::size_t n);
  void (*reclaim)(void* context, const std::uint8_t* begin, const std::uint8_t* end);
  void (*drain)(void* context);
};

// DecodeIntoRows with the pieces going to `sink` (null: stored here
// through *rows). *rows is the writer the sink stores through; the decoder
// itself uses it only after the last drain, for what the stream did not
// produce.
std::size_t DecodeIntoRowsVia(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes, RowWriter* rows,
                              std::uint8_t* window, std::size_t window_bytes, DeltaKernel kernel,
                              const PieceSink* sink);

}  // namespace kx
