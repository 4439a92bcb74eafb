// The SSSE3 kernels of top-down RGB rows (PickRgbKernel, codec/delta.h),
// compiled with -mssse3; a file of its own, so that a program that stores no
// RGB rows links none of it, constants included.
#include "codec/delta.h"

#if defined(__SSSE3__)
#include <tmmintrin.h>

#include "codec/delta_x86.h"

namespace {

// The byte swap of a block as seven shuffles: each output vector takes its
// bytes from its own input vector and the one or two bytes that cross from
// a neighbour (0x80 leaves a byte zero for the OR).
template <bool kDelta>
void RgbSsse3Kernel(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  constexpr char kZero = static_cast<char>(0x80);
  const __m128i spread = _mm_setr_epi8(13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13);
  const __m128i own0 = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, kZero);
  const __m128i next0 = _mm_setr_epi8(kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero,
                                      kZero, kZero, kZero, kZero, 1);
  const __m128i previous1 = _mm_setr_epi8(kZero, 15, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero,
                                          kZero, kZero, kZero, kZero, kZero);
  const __m128i own1 = _mm_setr_epi8(0, kZero, 4, 3, 2, 7, 6, 5, 10, 9, 8, 13, 12, 11, kZero, 15);
  const __m128i next1 = _mm_setr_epi8(kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero,
                                      kZero, kZero, kZero, 0, kZero);
  const __m128i previous2 = _mm_setr_epi8(14, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero, kZero,
                                          kZero, kZero, kZero, kZero, kZero);
  const __m128i own2 = _mm_setr_epi8(kZero, 3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13);
  __m128i last = CarryVector(carry);
  __m128i lanes = _mm_shuffle_epi8(last, spread);
  std::size_t k = 0;
  for (; n - k >= kPixelBlockBytes; k += kPixelBlockBytes) {
    __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
    __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + kVectorBytes));
    __m128i s2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 2 * kVectorBytes));
    if constexpr (kDelta) {
      s0 = _mm_add_epi8(LaneSums(s0), lanes);
      s1 = _mm_add_epi8(LaneSums(s1), _mm_shuffle_epi8(s0, spread));
      s2 = _mm_add_epi8(LaneSums(s2), _mm_shuffle_epi8(s1, spread));
      lanes = _mm_shuffle_epi8(s2, spread);
      last = s2;
    }
    const __m128i out0 = _mm_or_si128(_mm_shuffle_epi8(s0, own0), _mm_shuffle_epi8(s1, next0));
    const __m128i out1 = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(s0, previous1), _mm_shuffle_epi8(s1, own1)),
                                      _mm_shuffle_epi8(s2, next1));
    const __m128i out2 = _mm_or_si128(_mm_shuffle_epi8(s1, previous2), _mm_shuffle_epi8(s2, own2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), out0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k + kVectorBytes), out1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k + 2 * kVectorBytes), out2);
  }
  if constexpr (kDelta) {
    KeepCarry(last, carry);
    RgbDeltaScalar(src + k, dst + k, n - k, carry);
  } else {
    RgbCopyScalar(src + k, dst + k, n - k, carry);
  }
}

}  // namespace

void RgbDeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbSsse3Kernel<true>(src, dst, n, carry);
}

void RgbCopySsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbSsse3Kernel<false>(src, dst, n, carry);
}
#endif
