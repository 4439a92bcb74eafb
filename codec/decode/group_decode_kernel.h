// The group decoder and the copies it makes, shared by the kernel files:
// included only by fast_decode.cpp (the plain instruction set),
// group_decode_sse2.cpp and group_decode_ssse3.cpp, each compiled with its
// own instruction set. Every function here has internal linkage, so each
// file gets its own copy and the linker can never hand the plain decoder a
// copy compiled for SSE2. The tables are data, shared by all.
#pragma once

#include <cassert>
#include <cstring>
#include <initializer_list>

#include "codec/decode/group_decode.h"
#include "codec/format/kx_stream.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define KX_GROUP_SSE2 1
#else
#define KX_GROUP_SSE2 0
#endif
#if defined(__SSSE3__)
#include <tmmintrin.h>
#define KX_GROUP_SSSE3 1
#else
#define KX_GROUP_SSSE3 0
#endif
#if defined(__AVX2__)
#include <immintrin.h>
#define KX_GROUP_AVX2 1
#else
#define KX_GROUP_AVX2 0
#endif

// --- Tables of the unchecked path -------------------------------------------
//
// On photographs tokens average about two bytes of output, and literals and
// the three copy forms follow each other in no predictable order, so a
// parser that branches on each flag bit and on each form is slow there.
// These tables turn the branches into table reads and arithmetic. On
// the 12-megapixel photograph of bench/ this parser (with the read-ahead of
// DecodeGroupsKernel) decodes in 37 ms where one that branches took 80 ms.
//
// One copy of the tables serves every kernel file. Hidden from other
// modules, so that position-independent code reaches them directly rather
// than through the global offset table: one load less per token.
#if defined(__ELF__)
#pragma GCC visibility push(hidden)
#endif

namespace kx {

namespace groups {

// What a flag byte says about its group: the literal tokens before the
// first control token (bits 0-3) and, 3 bits for each control token from
// bit 4 up, the literal tokens after it before the next control token or the
// end of the group, closed by a 1 bit after the last control token's gap.
// The gaps, shifted down as the control tokens are done, equal kPlanGapsEnd
// when none is left: the loop needs no count of its own (one register less
// on i686). Eight 3-bit gaps and the end mark need 25 bits, so a plan fits
// 32.
inline constexpr unsigned kPlanLeadMask = 0x0F;
inline constexpr unsigned kPlanGapsShift = 4;
inline constexpr unsigned kPlanGapBits = 3;
inline constexpr unsigned kPlanGapMask = 0x07;
inline constexpr std::uint32_t kPlanGapsEnd = 1;

struct FlagPlans {
  std::uint32_t plan[256];
};

constexpr FlagPlans MakeFlagPlans() {
  FlagPlans plans{};
  for (unsigned flag = 0; flag < 256; ++flag) {
    int bit = kGroupTokens - 1;  // flags are read from the most significant bit
    unsigned lead = 0;
    for (; bit >= 0 && ((flag >> bit) & 1u) == 0; --bit) ++lead;
    unsigned controls = 0;
    std::uint32_t gaps = 0;
    while (bit >= 0) {
      --bit;  // the control token itself
      unsigned gap = 0;
      for (; bit >= 0 && ((flag >> bit) & 1u) == 0; --bit) ++gap;
      gaps |= gap << (kPlanGapBits * controls);
      ++controls;
    }
    gaps |= kPlanGapsEnd << (kPlanGapBits * controls);
    plans.plan[flag] = lead | (gaps << kPlanGapsShift);
  }
  return plans;
}

inline constexpr FlagPlans kFlagPlans = MakeFlagPlans();

// How a control byte b and the two bytes c and d after it give a copy,
// whatever its form, in three additions: the distance lands in the high 16
// bits and the length in the low 16 bits of the sum of `base` (what b
// gives), c_part[row + c] and d_part[row + d]. The rows of kCopyParts hold
// what c and d give each form, zeros where the form does not use the byte
// (a short copy's c and d, a medium copy's d, which is the next token's
// byte); the lengths add up to at most 4096, so they never carry into the
// distance. `bytes` is the token's size (0 marks a literal run, which does
// not go through this table) and `ahead_shift` where the next control byte
// sits in the read-ahead word.
// Eight bytes an entry, so that the index needs no multiply.
//
// Against per-form masks and shifts by a register count, a compare for the
// two long length codes and the token's size worked out from b, this takes
// a copy token from about 54 instructions to 42, and the bench photograph's
// decode from about 40 to 34 ms. Working out the size and the read-ahead
// shift from b with arithmetic instead of reading them here measured 1 to
// 3 ms slower, and reading the next control byte from memory instead of the
// read-ahead word 6 ms slower: the step from one control byte to the next
// bounds the speed, not only the instruction count.
struct CopyCode {
  std::uint32_t base;
  std::uint16_t row;
  std::uint8_t bytes;
  std::uint8_t ahead_shift;
};
static_assert(sizeof(CopyCode) == 8, "");

inline constexpr unsigned kDistanceShift = 16;
inline constexpr std::uint32_t kLengthMask = 0xFFFF;
inline constexpr unsigned kPartRowBytes = 256;
inline constexpr std::uint16_t kShortRow = 0;
inline constexpr std::uint16_t kMediumRow = kPartRowBytes;
inline constexpr std::uint16_t kLongRow = 2 * kPartRowBytes;
static_assert(kMaxDistance < (std::size_t{1} << (32 - kDistanceShift)) && kMaxCopyBytes <= kLengthMask, "");

struct CopyCodes {
  CopyCode code[256];
};

constexpr std::uint32_t Packed(unsigned distance, unsigned length) { return (distance << kDistanceShift) | length; }

constexpr std::uint32_t Packed(const CopyToken& copy) {
  return Packed(static_cast<unsigned>(copy.distance), static_cast<unsigned>(copy.length));
}

// What c or d adds to a copy of `form` (b, c and d each add their own share).
constexpr std::uint32_t Share(const CopyToken& with, const CopyToken& without) {
  return Packed(static_cast<unsigned>(with.distance - without.distance),
                static_cast<unsigned>(with.length - without.length));
}

constexpr std::uint16_t RowOf(TokenForm form) {
  return form == TokenForm::kLongCopy ? kLongRow : (form == TokenForm::kMediumCopy ? kMediumRow : kShortRow);
}

constexpr CopyCodes MakeCopyCodes() {
  CopyCodes codes{};
  for (unsigned b = 0; b < 256; ++b) {
    const TokenForm form = ClassifyControl(b);
    const auto bytes = static_cast<std::uint8_t>(form == TokenForm::kLiteralRun ? 0 : 1 + OperandBytes(form));
    const auto ahead_shift = static_cast<std::uint8_t>(bytes == 0 ? 0 : 8 * (bytes - 1));
    // The control byte's share is the copy with c and d at zero.
    const std::uint32_t base = form == TokenForm::kLiteralRun ? 0 : Packed(DecodeCopy(form, b, 0, 0));
    codes.code[b] = {base, RowOf(form), bytes, ahead_shift};
  }
  return codes;
}

inline constexpr CopyCodes kCopyCodes = MakeCopyCodes();

struct CopyParts {
  std::uint32_t c_part[3 * kPartRowBytes];
  std::uint32_t d_part[3 * kPartRowBytes];
};

// What c and d add to the control byte's share, for each form that reads
// them: in every form each byte adds a share of its own, whatever the others
// are, so one row per form does.
constexpr CopyParts MakeCopyParts() {
  CopyParts parts{};
  for (const TokenForm form : {TokenForm::kMediumCopy, TokenForm::kLongCopy}) {
    const CopyToken zero = DecodeCopy(form, 0, 0, 0);
    for (unsigned x = 0; x < kPartRowBytes; ++x) {
      parts.c_part[RowOf(form) + x] = Share(DecodeCopy(form, 0, x, 0), zero);
      if (OperandBytes(form) > 1) parts.d_part[RowOf(form) + x] = Share(DecodeCopy(form, 0, 0, x), zero);
    }
  }
  return parts;
}

inline constexpr CopyParts kCopyParts = MakeCopyParts();

// The three additions give what DecodeCopy gives: for every control byte
// of a copy form with c and d at 0 and at 0xFF, and at the first and last
// control byte of each form for every c and d the form reads.
constexpr bool CopyFromTablesIs(unsigned b, unsigned c, unsigned d) {
  const TokenForm form = ClassifyControl(b);
  const CopyCode& code = kCopyCodes.code[b];
  const std::uint32_t packed = code.base + kCopyParts.c_part[code.row + c] + kCopyParts.d_part[code.row + d];
  const CopyToken want = DecodeCopy(form, b, c, d);
  return (packed >> kDistanceShift) == want.distance && (packed & kLengthMask) == want.length;
}

constexpr bool CopyTablesAgree() {
  for (unsigned b = 0; b < 256; ++b) {
    if (ClassifyControl(b) == TokenForm::kLiteralRun) continue;
    if (!CopyFromTablesIs(b, 0, 0) || !CopyFromTablesIs(b, 0xFF, 0xFF)) return false;
  }
  for (const unsigned b : {0u, 0x7Eu, kMediumControl, kLongControl - 1, kLongControl, 0xFFu}) {
    for (unsigned x = 0; x < 256; ++x) {
      if (!CopyFromTablesIs(b, x, 0) || !CopyFromTablesIs(b, 0, x)) return false;
    }
  }
  return true;
}
static_assert(CopyTablesAgree(), "the copy tables give what the token forms say");

#if KX_GROUP_SSSE3
// The byte shuffle that repeats the first D bytes of a vector over all 16
// (row D), and the step, a multiple of D, at which such vectors are stored.
struct RepeatShuffles {
  std::uint8_t index[kVectorBytes][kVectorBytes];
  std::uint8_t step[kVectorBytes];
};

constexpr RepeatShuffles MakeRepeatShuffles() {
  RepeatShuffles r{};
  for (unsigned d = 1; d < kVectorBytes; ++d) {
    for (unsigned k = 0; k < kVectorBytes; ++k) r.index[d][k] = static_cast<std::uint8_t>(k % d);
    r.step[d] = static_cast<std::uint8_t>(kVectorBytes - kVectorBytes % d);
  }
  return r;
}

inline constexpr RepeatShuffles kRepeatShuffles = MakeRepeatShuffles();
#endif
#if defined(__ELF__)
#pragma GCC visibility pop
#endif

namespace {

// --- Copies inside the window -------------------------------------------

// Moves 16 bytes; loads all of them before storing, so source and
// destination may overlap.
inline void Copy16(std::uint8_t* dst, const std::uint8_t* src) {
#if KX_GROUP_SSE2
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
#else
  std::uint8_t block[kVectorBytes];
  std::memcpy(block, src, kVectorBytes);
  std::memcpy(dst, block, kVectorBytes);
#endif
}

#if KX_GROUP_AVX2
inline constexpr std::size_t kWideVectorBytes = 2 * kVectorBytes;

// Moves 32 bytes; loads all of them before storing.
inline void Copy32(std::uint8_t* dst, const std::uint8_t* src) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
}
#endif

// Moves 8 bytes (up to eight literals). With SSE2 one 8-byte load and
// store, also on i686, where a plain copy takes two 4-byte ones.
inline void Copy8(std::uint8_t* dst, const std::uint8_t* src) {
#if KX_GROUP_SSE2
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src)));
#else
  std::memcpy(dst, src, kLiteralCopyBytes);
#endif
}

#if KX_GROUP_SSSE3
// A copy at a distance D below 16 and below its length repeats its first D
// bytes: one shuffle spreads them over 16, which are then stored at steps
// that are a multiple of D, so that every store starts at the same point of
// the pattern. The load reads op - D to op + 15 - D; only its first D bytes
// (all before op, so final) are used.
inline std::uint8_t* RepeatShortPattern(std::uint8_t* op, std::size_t distance, std::uint8_t* end) {
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(op - distance));
  const __m128i index = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRepeatShuffles.index[distance]));
  const __m128i pattern = _mm_shuffle_epi8(first, index);
  const std::size_t step = kRepeatShuffles.step[distance];
  do {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(op), pattern);
    op += step;
  } while (op < end);
  return end;
}
#elif KX_GROUP_SSE2
// The same with SSE2 alone: the pattern is built with shifts and ors, so
// each distance needs its own code.
template <unsigned D>
std::uint8_t* RepeatPattern(std::uint8_t* op, std::uint8_t* end) {
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(op - D));
  __m128i pattern = _mm_and_si128(first, _mm_srli_si128(_mm_set1_epi8(-1), 16 - D));
  pattern = _mm_or_si128(pattern, _mm_slli_si128(pattern, D));
  if constexpr (std::size_t{2} * D < kVectorBytes) pattern = _mm_or_si128(pattern, _mm_slli_si128(pattern, 2 * D));
  if constexpr (std::size_t{4} * D < kVectorBytes) pattern = _mm_or_si128(pattern, _mm_slli_si128(pattern, 4 * D));
  if constexpr (std::size_t{8} * D < kVectorBytes) pattern = _mm_or_si128(pattern, _mm_slli_si128(pattern, 8 * D));
  constexpr std::size_t kStep = kVectorBytes - kVectorBytes % D;
  do {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(op), pattern);
    op += kStep;
  } while (op < end);
  return end;
}

std::uint8_t* RepeatShortPattern(std::uint8_t* op, std::size_t distance, std::uint8_t* end) {
  switch (distance) {
    case 1: return RepeatPattern<1>(op, end);
    case 2: return RepeatPattern<2>(op, end);
    case 3: return RepeatPattern<3>(op, end);
    case 4: return RepeatPattern<4>(op, end);
    case 5: return RepeatPattern<5>(op, end);
    case 6: return RepeatPattern<6>(op, end);
    case 7: return RepeatPattern<7>(op, end);
    case 8: return RepeatPattern<8>(op, end);
    case 9: return RepeatPattern<9>(op, end);
    case 10: return RepeatPattern<10>(op, end);
    case 11: return RepeatPattern<11>(op, end);
    case 12: return RepeatPattern<12>(op, end);
    case 13: return RepeatPattern<13>(op, end);
    case 14: return RepeatPattern<14>(op, end);
    default: return RepeatPattern<15>(op, end);
  }
}
#else
// Eight bytes at a time from a multiple of the distance that is at least
// 8 back: the output repeats with the distance's period from op -
// distance on, so every such block reads bytes already final. Below 8,
// the first 8 bytes go one at a time, and the step is the smallest
// multiple of the distance from 8 up; it reaches back at most to op - 6.
std::uint8_t* RepeatShortPattern(std::uint8_t* op, std::size_t distance, std::uint8_t* end) {
  constexpr std::uint8_t kStepOf[kLiteralCopyBytes] = {0, 8, 8, 9, 8, 10, 12, 14};
  std::size_t step = distance;
  if (distance < kLiteralCopyBytes) {
    for (std::size_t k = 0; k < kLiteralCopyBytes; ++k) op[k] = *(op + k - distance);
    step = kStepOf[distance];
    op += kLiteralCopyBytes;
  }
  for (; op < end; op += kLiteralCopyBytes) std::memcpy(op, op - step, kLiteralCopyBytes);
  return end;
}
#endif

// Copies `length` (>= 1) bytes from `distance` (1..kMaxDistance) back, with
// the meaning of the byte-at-a-time copy. Reads only from op - distance to
// 31 bytes past op - distance + length, and writes only [op, op + length +
// 31): the caller keeps kWildBytes of room after the token and
// kMaxDistance bytes of window before op. kWide (AVX2 only) moves 32-byte
// blocks.
template <bool kWide>
inline std::uint8_t* CopyMatchIn(std::uint8_t* op, std::size_t distance, std::size_t length) {
  std::uint8_t* const end = op + length;
  const std::uint8_t* const match = op - distance;
#if KX_GROUP_AVX2
  if constexpr (kWide) {
    // One 32-byte block holds every copy up to 32 bytes, so that a copy of
    // 17 to 32 bytes takes no branch of its own (DecodeGroupsAvx2WhereLong says where
    // that pays). A block reads only bytes already final when the distance
    // is at least 32 or at least the length.
    if (distance >= length || distance >= kWideVectorBytes) {
      Copy32(op, match);
      for (std::size_t k = kWideVectorBytes; k < length; k += kWideVectorBytes) Copy32(op + k, match + k);
      return end;
    }
    // Distances of 16 to 31 below the length: 16-byte blocks each read
    // bytes already final, before op or stored by the blocks before it.
    if (distance >= kVectorBytes) {
      for (std::size_t k = 0; k < length; k += kVectorBytes) Copy16(op + k, match + k);
      return end;
    }
    return RepeatShortPattern(op, distance, end);
  }
#else
  static_assert(!kWide, "32-byte blocks need AVX2");
#endif
  // Tested in this order because on photographs nearly every copy is no
  // longer than its distance, so the branch is well predicted.
  if (distance >= length || distance >= kVectorBytes) {
    // Each 16-byte block reads only bytes already final: before op, or
    // written by the blocks before it. With distance >= length the first
    // block holds the whole copy, and what it writes past `end` does not
    // count. Longer copies go 32 bytes a turn: half the turns, and on
    // rendered art (lengths spread from 3 to 256) about 4% less time.
    Copy16(op, match);
    for (std::size_t k = kVectorBytes; k < length; k += 2 * kVectorBytes) {
      Copy16(op + k, match + k);
      Copy16(op + k + kVectorBytes, match + k + kVectorBytes);
    }
    return end;
  }
  return RepeatShortPattern(op, distance, end);
}

inline std::uint8_t* CopyMatch(std::uint8_t* op, std::size_t distance, std::size_t length) {
  return CopyMatchIn<false>(op, distance, length);
}

// --- Whole groups -------------------------------------------------------

// Decodes whole groups as long as, at the start of a group, ip <= ip_last
// and op <= op_last (see GroupSpan for what the caller guarantees). At least
// one group runs.
//
// Each control byte is known before the token ahead of it is done: `ahead`
// holds the bytes where the next one must be for each of the three sizes a
// copy token can have, and the size picks it. That keeps a memory read off
// the chain from one token to the next.
template <bool kWide = false>
inline void DecodeGroupsKernel(GroupSpan* span) {
  const std::uint8_t* ip = span->ip;
  std::uint8_t* op = span->op;
  const std::uint8_t* const ip_last = span->ip_last;
  const std::uint8_t* const op_last = span->op_last;
  assert(ip <= ip_last && op <= op_last);
  unsigned next = ip[0];  // the flag byte
  for (;;) {
    const std::uint32_t plan = kFlagPlans.plan[next];
    ++ip;
    // Literal tokens go eight bytes at a time, however many there are.
    const unsigned lead = plan & kPlanLeadMask;
    Copy8(op, ip);
    op += lead;
    ip += lead;
    next = ip[0];
    for (std::uint32_t gaps = plan >> kPlanGapsShift; gaps != kPlanGapsEnd;) {
      const unsigned b = next;
      const unsigned literals = gaps & kPlanGapMask;
      gaps >>= kPlanGapBits;
      std::uint32_t ahead;
      std::memcpy(&ahead, ip + literals + 1, sizeof ahead);
      const CopyCode& code = kCopyCodes.code[b];
      if (code.bytes == 0) {  // a literal run
        const std::size_t length = (b >> 2) + kRunBase;
        Copy16(op, ip + 1);
        Copy16(op + kVectorBytes, ip + 1 + kVectorBytes);
        Copy16(op + 2 * kVectorBytes, ip + 1 + 2 * kVectorBytes);
        op += length;
        ip += 1 + length;
        Copy8(op, ip);
        op += literals;
        ip += literals;
        next = ip[0];
        continue;
      }
      const unsigned c = ip[1];
      const unsigned d = ip[2];
      const std::uint32_t packed = code.base + kCopyParts.c_part[code.row + c] + kCopyParts.d_part[code.row + d];
      const std::size_t distance = packed >> kDistanceShift;
      const std::size_t length = packed & kLengthMask;
      ip += code.bytes;
      op = CopyMatchIn<kWide>(op, distance, length);
      Copy8(op, ip);
      op += literals;
      ip += literals;
      next = (ahead >> code.ahead_shift) & 0xFFu;
    }
    if (ip > ip_last || op > op_last) break;
  }
  span->ip = ip;
  span->op = op;
}

}  // namespace
}  // namespace groups

}  // namespace kx
