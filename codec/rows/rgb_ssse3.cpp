// The SSSE3 kernels of top-down RGB rows (PickRgbKernel, codec/decode/delta.h),
// compiled with -mssse3; a file of its own, so that a program that stores no
// RGB rows links none of it, constants included.
#include "codec/decode/delta.h"

#if defined(__SSSE3__)
#include <tmmintrin.h>

#include "codec/decode/delta_x86.h"

namespace kx {

namespace {

constexpr char kZero = static_cast<char>(0x80);  // a shuffle index that gives 0

// The byte swap of a block as seven shuffles: each output vector takes its
// bytes from its own input vector and the one or two bytes that cross from
// a neighbour, OR-ed together. The sums are the SSSE3 delta kernel's: lane
// sums that do not wait for the carry, and one shuffle that spreads the
// last three sums over the next vector.
class Ssse3Blocks {
 public:
  explicit Ssse3Blocks(const std::uint8_t* carry)
      : spread_(_mm_setr_epi8(13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13)),
        last_(CarryVector(carry)) {}

  void Sum(__m128i* v) {
    for (int i = 0; i < 3; ++i) {
      last_ = _mm_add_epi8(LaneSums(v[i]), _mm_shuffle_epi8(last_, spread_));
      v[i] = last_;
    }
  }

  static void Swap(__m128i* v) {
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
    const __m128i out0 = _mm_or_si128(_mm_shuffle_epi8(v[0], own0), _mm_shuffle_epi8(v[1], next0));
    const __m128i out1 = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v[0], previous1), _mm_shuffle_epi8(v[1], own1)),
                                      _mm_shuffle_epi8(v[2], next1));
    const __m128i out2 = _mm_or_si128(_mm_shuffle_epi8(v[1], previous2), _mm_shuffle_epi8(v[2], own2));
    v[0] = out0;
    v[1] = out1;
    v[2] = out2;
  }

  void KeepCarry(std::uint8_t* carry) const { kx::KeepCarry(last_, carry); }

 private:
  __m128i spread_;
  __m128i last_;
};

}  // namespace

void RgbDeltaSsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbKernel<true, Ssse3Blocks>(src, dst, n, carry);
}

void RgbCopySsse3(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbKernel<false, Ssse3Blocks>(src, dst, n, carry);
}

}  // namespace kx
#endif
