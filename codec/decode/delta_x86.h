// SSE2 pieces shared by the delta kernels of delta_sse2.cpp and
// delta_ssse3.cpp. Included only by those two files, each compiled with its
// own instruction set: everything here has internal linkage, so each file
// gets its own copy, and the linker can never hand the SSE2 kernel a copy
// compiled for SSSE3.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "codec/decode/delta.h"

namespace kx {

namespace {

constexpr std::size_t kVectorBytes = 16;
// The RGB kernels go 16 pixels at a time: three vectors, the first starting
// at a pixel's first byte.
constexpr std::size_t kPixelBlockBytes = 3 * kVectorBytes;

// Byte lanes are 3 apart: shifting by 3, 6 and 12 bytes and adding gives,
// in each byte, the sum of its lane from the start of the vector.
inline __m128i LaneSums(__m128i v) {
  v = _mm_add_epi8(v, _mm_slli_si128(v, 3));
  v = _mm_add_epi8(v, _mm_slli_si128(v, 6));
  return _mm_add_epi8(v, _mm_slli_si128(v, 12));
}

// The carry sits in bytes 13..15 of a vector between blocks, where the last
// vector stored leaves it.
inline __m128i CarryVector(const std::uint8_t* carry) {
  return _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<char>(carry[0]), static_cast<char>(carry[1]),
                       static_cast<char>(carry[2]));
}

inline void KeepCarry(__m128i last, std::uint8_t* carry) {
  const unsigned bytes_12_13 = static_cast<unsigned>(_mm_extract_epi16(last, 6));
  const unsigned bytes_14_15 = static_cast<unsigned>(_mm_extract_epi16(last, 7));
  carry[0] = static_cast<std::uint8_t>(bytes_12_13 >> 8);
  carry[1] = static_cast<std::uint8_t>(bytes_14_15);
  carry[2] = static_cast<std::uint8_t>(bytes_14_15 >> 8);
}

// Streaming stores write whole lines without reading them first and bypass
// the cache. StoreDeltaRows uses them for bitmaps too large for the caches,
// where they save reading each line of the destination (on the bench's
// 36 MB bitmaps: 2.9 to 3.2 ms against 3.5 to 3.8). The decoder does not: into a
// bitmap already in memory they gained nothing measurable, and into the
// fresh block GetPicture hands over, whose pages the stores touch first,
// they made the flat picture take 23 ms instead of 11 to 15. They need
// 16-byte aligned addresses, so the first bytes of a row segment go one at
// a time.
template <bool kStream>
inline void StoreVector(std::uint8_t* dst, __m128i v) {
  if constexpr (kStream) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), v);
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
  }
}

// The bytes before dst's first 16-byte boundary, summed one at a time when
// streaming. Returns how many.
template <bool kStream>
inline std::size_t AlignHead(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  if constexpr (!kStream) return 0;
  const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(dst) & (kVectorBytes - 1);
  const std::size_t head = misalignment == 0 ? 0 : kVectorBytes - misalignment;
  const std::size_t head_bytes = head < n ? head : n;
  DeltaScalar(src, dst, head_bytes, carry);
  return head_bytes;
}

// The loop of the RGB kernels: whole blocks of 16 pixels, each summed by
// the instruction set's `Blocks` (when the delta step is asked for) and
// swapped to red, green, blue, then the pixels after the last whole block
// one at a time. Blocks(carry) starts from the carry, Sum and Swap work on
// the three vectors of a block, and KeepCarry gives back the last sums.
template <bool kDelta, typename Blocks>
inline void RgbKernel(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  Blocks blocks(carry);
  std::size_t k = 0;
  for (; n - k >= kPixelBlockBytes; k += kPixelBlockBytes) {
    __m128i v[3];
    for (std::size_t i = 0; i < 3; ++i) {
      v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + i * kVectorBytes));
    }
    if constexpr (kDelta) blocks.Sum(v);
    blocks.Swap(v);
    for (std::size_t i = 0; i < 3; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k + i * kVectorBytes), v[i]);
  }
  if constexpr (kDelta) {
    blocks.KeepCarry(carry);
    RgbDeltaScalar(src + k, dst + k, n - k, carry);
  } else {
    RgbCopyScalar(src + k, dst + k, n - k, carry);
  }
}

}  // namespace

}  // namespace kx
