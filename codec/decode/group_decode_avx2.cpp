// The group decoder compiled for AVX2, where a copy of up to 32 bytes takes
// one move, and the choice between it and the SSSE3 kernel; PickGroups calls
// them only on processors (and systems) that report AVX2.
#include "codec/decode/group_decode.h"

#if defined(__AVX2__)
#include "codec/decode/group_decode_kernel.h"

namespace kx {

namespace {

// The 32-byte copies pay where copies are long and cost where nearly all
// are a few bytes (a 32-byte move splits a cache line twice as often). On
// the token decoder alone, paired against the SSSE3 kernel, 32-byte copies
// throughout took 0.81 times the time on the 2560 x 1600 photograph at
// levels 6 and 9 (3.4 and 3.7 output bytes per stream byte; a tenth of its
// copies are longer than 16 bytes, in no predictable order, which the
// 16-byte kernel pays for in mispredicted branches) and 0.97 on rendered
// art, but 1.05 to 1.07 on the 5640 x 3172 photograph and the photograph
// stand-in (1.2 and 1.25 bytes per byte, copies of 2 to 5 bytes) and 1.03
// on the first photograph at level 1 (2.5). So the first kSampleBytes or so
// of each call (about 1/16 of the 16 KiB it gets) go through the SSSE3
// kernel, and the rest through the 32-byte copies only where that sample
// gave at least kWideOutputPerInput output bytes per stream byte: 0.85 to
// 0.91 times on the first photograph at levels 6 and 9, 1.00 to 1.01 on the
// others (a threshold of 2 cost the short-copy pictures 2 to 3 %). Whole
// groups run either way, so the choice changes no byte of output.
constexpr std::ptrdiff_t kSampleBytes = 1024;
constexpr std::ptrdiff_t kWideOutputPerInput = 3;

}  // namespace

void DecodeGroupsAvx2(GroupSpan* span) { groups::DecodeGroupsKernel<true>(span); }

void DecodeGroupsAvx2WhereLong(GroupSpan* span) {
  const std::uint8_t* const ip_start = span->ip;
  const std::uint8_t* const op_start = span->op;
  // An earlier limit for the groups is always safe: they stop sooner.
  GroupSpan sample = *span;
  if (span->op_last - op_start > kSampleBytes) sample.op_last = op_start + kSampleBytes;
  DecodeGroupsSsse3(&sample);
  span->ip = sample.ip;
  span->op = sample.op;
  if (span->ip > span->ip_last || span->op > span->op_last) return;
  if (span->op - op_start >= kWideOutputPerInput * (span->ip - ip_start)) {
    DecodeGroupsAvx2(span);
  } else {
    DecodeGroupsSsse3(span);
  }
}

}  // namespace kx
#endif
