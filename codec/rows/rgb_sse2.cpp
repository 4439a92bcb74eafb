// The SSE2 kernels of top-down RGB rows (PickRgbKernel, codec/decode/delta.h). On
// i686 this file alone besides delta_sse2.cpp is compiled with -msse2; a
// file of its own, so that a program that stores no RGB rows links none of
// it, constants included.
#include "codec/decode/delta.h"

#if defined(__SSE2__)
#include "codec/decode/delta_x86.h"

namespace kx {

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
inline __m128i PickLanes(__m128i v, __m128i ahead, __m128i behind, __m128i green_at, __m128i red_at, __m128i blue_at) {
  return _mm_or_si128(_mm_or_si128(_mm_and_si128(v, green_at), _mm_and_si128(ahead, red_at)),
                      _mm_and_si128(behind, blue_at));
}

// Without a byte shuffle, the swap is shifts by two bytes and masks; the
// three vectors of a block start 0, 1 and 2 bytes into a pixel, so each
// takes the lane masks in its own order. The two bytes a shift brings in
// from the next or previous vector of the block are the only ones crossing.
// The sums are the SSE2 delta kernel's, one vector after the other.
class Sse2Blocks {
 public:
  explicit Sse2Blocks(const std::uint8_t* carry)
      : lane0_(LaneMask(0)), lane1_(LaneMask(1)), lane2_(LaneMask(2)), last_(CarryVector(carry)) {}

  void Sum(__m128i* v) {
    for (int i = 0; i < 3; ++i) {
      last_ = LaneSums(_mm_add_epi8(v[i], _mm_srli_si128(last_, 13)));
      v[i] = last_;
    }
  }

  void Swap(__m128i* v) const {
    const __m128i ahead0 = _mm_or_si128(_mm_srli_si128(v[0], 2), _mm_slli_si128(v[1], 14));
    const __m128i ahead1 = _mm_or_si128(_mm_srli_si128(v[1], 2), _mm_slli_si128(v[2], 14));
    const __m128i ahead2 = _mm_srli_si128(v[2], 2);
    const __m128i behind0 = _mm_slli_si128(v[0], 2);
    const __m128i behind1 = _mm_or_si128(_mm_slli_si128(v[1], 2), _mm_srli_si128(v[0], 14));
    const __m128i behind2 = _mm_or_si128(_mm_slli_si128(v[2], 2), _mm_srli_si128(v[1], 14));
    v[0] = PickLanes(v[0], ahead0, behind0, lane1_, lane0_, lane2_);
    v[1] = PickLanes(v[1], ahead1, behind1, lane0_, lane2_, lane1_);
    v[2] = PickLanes(v[2], ahead2, behind2, lane2_, lane1_, lane0_);
  }

  void KeepCarry(std::uint8_t* carry) const { kx::KeepCarry(last_, carry); }

 private:
  __m128i lane0_;
  __m128i lane1_;
  __m128i lane2_;
  __m128i last_;
};

}  // namespace

void RgbDeltaSse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbKernel<true, Sse2Blocks>(src, dst, n, carry);
}

void RgbCopySse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  RgbKernel<false, Sse2Blocks>(src, dst, n, carry);
}

}  // namespace kx
#endif
