// The delta step's kernels, one file per instruction set, and the choice
// between them at run time; likewise the kernels of top-down RGB rows.
//
// The module is compiled for the plain i686 instruction set, so that it loads
// and runs on any 32-bit x86 processor; only delta_sse2.cpp, delta_ssse3.cpp,
// rgb_sse2.cpp and rgb_ssse3.cpp are compiled with their extensions, and
// their code runs only after the processor has said it has them. On x86-64, SSE2 is part of
// the base instruction set and only SSSE3 needs asking for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"

namespace kx {

// Adds the running sum of each byte lane to n bytes from src, writing dst.
// carry[0..2] are the last three sums before src[0], oldest first, and come
// back as the last three after src[n - 1]. Reads src[0, n) and writes
// dst[0, n) only; src and dst may be the same but must not overlap otherwise.
using DeltaFn = void (*)(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);

// The kernel for `kernel`, or the best one below it that the processor runs.
DeltaFn PickDelta(DeltaKernel kernel);
// The same with streaming stores, for bitmaps larger than the caches.
// Streaming stores are weakly ordered: FinishStreaming, once after the last
// call, makes them visible before the bitmap is handed on (one fence per
// picture, not one per row).
DeltaFn PickStreamingDelta(DeltaKernel kernel);
void FinishStreaming(DeltaFn delta);

// The kernels of top-down RGB rows (StartRgbRows, codec/decode/row_writer.h): raw
// pixels of blue, green, red bytes in, red, green, blue out, summed as the
// delta step asks (undo_delta) or as they are. They take whole pixels only:
// n is a multiple of 3 and src, dst point at a pixel's first byte; carry is
// the delta kernels' one, in the raw order (the last pixel's blue, green and
// red sums), and untouched without the delta step. The same bounds and
// overlap rule as DeltaFn.
DeltaFn PickRgbKernel(DeltaKernel kernel, bool undo_delta);

// What the processor runs, asked with cpuid every time (the answer is not
// kept: the module holds no state between calls).
bool ProcessorHasSse2();
bool ProcessorHasSsse3();
// AVX2, and an operating system that keeps the 32-byte registers.
bool ProcessorHasAvx2();

void DeltaScalar(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void RgbDeltaScalar(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void RgbCopyScalar(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);

// Defined only where the compiler targets x86 (delta_sse2.cpp, delta_ssse3.cpp,
// rgb_sse2.cpp, rgb_ssse3.cpp).
void DeltaSse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void DeltaSse2Streaming(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void DeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void DeltaSsse3Streaming(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void RgbDeltaSse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void RgbCopySse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void RgbDeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void RgbCopySsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry);
void FenceStreamingStores();

}  // namespace kx
