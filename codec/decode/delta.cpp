#include "codec/decode/delta.h"

#if defined(__i386__) || defined(__x86_64__)
#define KX_X86 1
#include <cpuid.h>
#else
#define KX_X86 0
#endif

namespace kx {

void DeltaScalar(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::uint8_t* carry) {
  std::uint8_t a = carry[0];
  std::uint8_t b = carry[1];
  std::uint8_t c = carry[2];
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t sum = static_cast<std::uint8_t>(src[k] + a);
    dst[k] = sum;
    a = b;
    b = c;
    c = sum;
  }
  carry[0] = a;
  carry[1] = b;
  carry[2] = c;
}

#if KX_X86
namespace {

// Leaf 1 of cpuid: feature bits in ecx and edx. __get_cpuid first checks
// that the instruction and the leaf exist. (Not __builtin_cpu_supports: it
// needs the C runtime's start-up, which the module does not run.)
bool CpuidLeaf1(unsigned* ecx, unsigned* edx) {
  unsigned eax = 0;
  unsigned ebx = 0;
  return __get_cpuid(1, &eax, &ebx, ecx, edx) != 0;
}

}  // namespace

bool ProcessorHasSse2() {
#if defined(__SSE2__)
  return true;
#else
  unsigned ecx = 0;
  unsigned edx = 0;
  return CpuidLeaf1(&ecx, &edx) && (edx & bit_SSE2) != 0;
#endif
}

bool ProcessorHasSsse3() {
  unsigned ecx = 0;
  unsigned edx = 0;
  return CpuidLeaf1(&ecx, &edx) && (edx & bit_SSE2) != 0 && (ecx & bit_SSSE3) != 0;
}

bool ProcessorHasAvx2() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (!CpuidLeaf1(&ecx, &edx) || (ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  // XCR0 bits 1 and 2: the system saves the SSE and the upper AVX halves on
  // a task switch; without them an AVX instruction faults.
  unsigned xcr0_low = 0;
  unsigned xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0u));
  constexpr unsigned kSseAndAvxState = 0x6;
  if ((xcr0_low & kSseAndAvxState) != kSseAndAvxState) return false;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX2) != 0;
}

DeltaFn PickDelta(DeltaKernel kernel) {
  if (kernel == DeltaKernel::kScalar) return DeltaScalar;
  if (kernel != DeltaKernel::kSse2 && ProcessorHasSsse3()) return DeltaSsse3;
  return ProcessorHasSse2() ? DeltaSse2 : DeltaScalar;
}

DeltaFn PickStreamingDelta(DeltaKernel kernel) {
  if (kernel == DeltaKernel::kScalar) return DeltaScalar;
  if (kernel != DeltaKernel::kSse2 && ProcessorHasSsse3()) return DeltaSsse3Streaming;
  return ProcessorHasSse2() ? DeltaSse2Streaming : DeltaScalar;
}

void FinishStreaming(DeltaFn delta) {
  if (delta == DeltaSse2Streaming || delta == DeltaSsse3Streaming) FenceStreamingStores();
}

#else
bool ProcessorHasSse2() { return false; }
bool ProcessorHasSsse3() { return false; }
bool ProcessorHasAvx2() { return false; }
DeltaFn PickDelta(DeltaKernel) { return DeltaScalar; }
DeltaFn PickStreamingDelta(DeltaKernel) { return DeltaScalar; }
void FinishStreaming(DeltaFn) {}
#endif

bool DeltaKernelAvailable(DeltaKernel kernel) {
  switch (kernel) {
    case DeltaKernel::kSse2: return ProcessorHasSse2();
    case DeltaKernel::kSsse3: return ProcessorHasSsse3();
    case DeltaKernel::kAvx2: return ProcessorHasAvx2();
    case DeltaKernel::kBest:
    case DeltaKernel::kScalar: break;
  }
  return true;
}

}  // namespace kx
