// A module that breaks the rule check_module_isa.sh enforces: besides the
// codec with its SIMD kernels, it holds one more function compiled for SSE2.
#include <emmintrin.h>

#include <cstdint>

#include "codec/decode/fast_decode.h"

using namespace kx;

extern "C" __declspec(dllexport) void AddBytes(std::uint8_t* a, const std::uint8_t* b) {
  const __m128i sum = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(a), sum);
}

// Keeps the decoder, and through it the kernels, in the module.
extern "C" __declspec(dllexport) std::size_t
    Decode(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout* layout, std::uint8_t* bits,
           std::uint8_t* window) {
  return DecodeToBitmap(src, src_bytes, *layout, bits, window, kDecodeWindowBytes);
}

extern "C" int __stdcall DllMain(void*, unsigned long, void*) { return 1; }
