// The SSE2 kernels of top-down RGB rows (PickRgbKernel, codec/delta.h). On
// i686 this file alone besides delta_sse2.cpp is compiled with -msse2; a
// file of its own, so that a program that stores no RGB rows links none of
// it, constants included.
#include "codec/delta.h"

#if defined(__SSE2__)
#include "codec/delta_x86.h"

namespace {

// Bytes k of a vector with k % 3 == lane.
inline __m128i LaneMask(int lane) {
  const char a = lane == 0 ? -1 : 0;
  const char b = lane == 1 ? -1 : 0;
  const char c = lane == 2 ? -1 : 0;
  return _mm_setr_epi8(a, b, c, a, b, c, a, b, c, a, b, c, a, b, c, a);
}

// One output vector of the byte swap: green stays, red comes from two bytes
// ahead, blue from two bytes behind; the masks say where each lands.
inline __m128i PickLanes(__m128i v, __m128i ahead, __m128i behind, __m128i green_at, __m128i red_at,
                         __m128i blue_at) {
  return _mm_or_si128(_mm_or_si128(_mm_and_si128(v, green_at), _mm_and_si128(ahead, red_at)),
                      _mm_and_si128(behind, blue_at));
}

// Without a byte shuffle, the swap is shifts by two bytes and masks; the
// three vectors of a block start 0, 1 and 2 bytes into a pixel, so each
// takes the lane masks in its own order. The two bytes a shift brings in
// from the next or previous vector of the block are the only ones crossing.
template <bool kDelta>
void RgbSse2Kernel(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  const __m128i lane0 = LaneMask(0);
  const __m128i lane1 = LaneMask(1);
  const __m128i lane2 = LaneMask(2);
  __m128i last = CarryVector(carry);
  std::size_t k = 0;
  for (; n - k >= kPixelBlockBytes; k += kPixelBlockBytes) {
    __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
    __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + kVectorBytes));
    __m128i s2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 2 * kVectorBytes));
    if constexpr (kDelta) {
      s0 = LaneSums(_mm_add_epi8(s0, _mm_srli_si128(last, 13)));
      s1 = LaneSums(_mm_add_epi8(s1, _mm_srli_si128(s0, 13)));
      s2 = LaneSums(_mm_add_epi8(s2, _mm_srli_si128(s1, 13)));
      last = s2;
    }
    const __m128i ahead0 = _mm_or_si128(_mm_srli_si128(s0, 2), _mm_slli_si128(s1, 14));
    const __m128i ahead1 = _mm_or_si128(_mm_srli_si128(s1, 2), _mm_slli_si128(s2, 14));
    const __m128i ahead2 = _mm_srli_si128(s2, 2);
    const __m128i behind0 = _mm_slli_si128(s0, 2);
    const __m128i behind1 = _mm_or_si128(_mm_slli_si128(s1, 2), _mm_srli_si128(s0, 14));
    const __m128i behind2 = _mm_or_si128(_mm_slli_si128(s2, 2), _mm_srli_si128(s1, 14));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), PickLanes(s0, ahead0, behind0, lane1, lane0, lane2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k + kVectorBytes),
                     PickLanes(s1, ahead1, behind1, lane0, lane2, lane1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k + 2 * kVectorBytes),
                     PickLanes(s2, ahead2, behind2, lane2, lane1, lane0));
  }
  if constexpr (kDelta) {
    KeepCarry(last, carry);
    RgbDeltaScalar(src + k, dst + k, n - k, carry);
  } else {
    RgbCopyScalar(src + k, dst + k, n - k, carry);
  }
}

}  // namespace

void RgbDeltaSse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbSse2Kernel<true>(src, dst, n, carry);
}

void RgbCopySse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbSse2Kernel<false>(src, dst, n, carry);
}
#endif
