// The SSSE3 kernels of 4-byte rows (PickWideKernel, codec/row_writer.h),
// compiled with -mssse3; a file of its own, so that a program that stores
// no such rows links none of it.
#include "codec/decode/delta.h"
#include "codec/decode/row_writer.h"

#if defined(__SSSE3__)
#include <tmmintrin.h>

#include "codec/decode/delta_x86.h"

namespace kx {

namespace {

constexpr char kZero = static_cast<char>(0x80);  // a shuffle index that gives 0

// One output vector: four pixels of 3 bytes from the start of `v`, each
// widened to 4 with its red and blue in the order asked for; alpha is OR-ed
// in after.
template <bool kRedFirst>
inline __m128i Widen(__m128i v) {
  const __m128i order = kRedFirst ? _mm_setr_epi8(2, 1, 0, kZero, 5, 4, 3, kZero, 8, 7, 6, kZero, 11, 10, 9, kZero)
                                  : _mm_setr_epi8(0, 1, 2, kZero, 3, 4, 5, kZero, 6, 7, 8, kZero, 9, 10, 11, kZero);
  return _mm_shuffle_epi8(v, order);
}

// 16 pixels a turn: three vectors of raw bytes, summed lane by lane as the
// SSSE3 delta kernel sums them (the last three sums spread over the next
// vector), then cut into four runs of four pixels and widened. The pixels
// after the last whole block go one at a time.
template <bool kDelta, bool kRedFirst>
void WideKernel(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  const __m128i spread = _mm_setr_epi8(13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13);
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  __m128i last = CarryVector(carry);
  std::size_t k = 0;
  for (; n - k >= kPixelBlockBytes; k += kPixelBlockBytes, dst += 4 * kVectorBytes) {
    __m128i v[3];
    for (std::size_t i = 0; i < 3; ++i) {
      v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + i * kVectorBytes));
      if constexpr (kDelta) {
        last = _mm_add_epi8(LaneSums(v[i]), _mm_shuffle_epi8(last, spread));
        v[i] = last;
      }
    }
    const __m128i runs[4] = {v[0], _mm_alignr_epi8(v[1], v[0], 12), _mm_alignr_epi8(v[2], v[1], 8),
                             _mm_srli_si128(v[2], 4)};
    for (std::size_t i = 0; i < 4; ++i) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * kVectorBytes),
                       _mm_or_si128(Widen<kRedFirst>(runs[i]), alpha));
    }
  }
  if constexpr (kDelta) KeepCarry(last, carry);
  PickWideScalar(kRedFirst, kDelta)(src + k, dst, n - k, carry);
}

}  // namespace

void RgbaDeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  WideKernel<true, true>(src, dst, n, carry);
}
void RgbaCopySsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  WideKernel<false, true>(src, dst, n, carry);
}
void BgraDeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  WideKernel<true, false>(src, dst, n, carry);
}
void BgraCopySsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  WideKernel<false, false>(src, dst, n, carry);
}

}  // namespace kx
#endif
