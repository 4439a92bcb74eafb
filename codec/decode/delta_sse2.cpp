// The SSE2 delta kernel. On i686 this file alone is compiled with -msse2;
// PickDelta calls it only on processors that report SSE2.
#include "codec/decode/delta.h"

#if defined(__SSE2__)
#include "codec/decode/delta_x86.h"

namespace kx {

namespace {

// The carry enters as the first three bytes of the next vector before its
// lane sums. One dependent chain of about 8 operations per 16 bytes.
template <bool kStream>
void DeltaSse2Kernel(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  std::size_t k = AlignHead<kStream>(src, dst, n, carry);
  __m128i last = CarryVector(carry);
  for (; n - k >= kVectorBytes; k += kVectorBytes) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
    last = LaneSums(_mm_add_epi8(raw, _mm_srli_si128(last, 13)));
    StoreVector<kStream>(dst + k, last);
  }
  KeepCarry(last, carry);
  DeltaScalar(src + k, dst + k, n - k, carry);
}

}  // namespace

void DeltaSse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  DeltaSse2Kernel<false>(src, dst, n, carry);
}

void DeltaSse2Streaming(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  DeltaSse2Kernel<true>(src, dst, n, carry);
}

void FenceStreamingStores() { _mm_sfence(); }

}  // namespace kx
#endif
