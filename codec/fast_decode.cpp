#include "codec/fast_decode.h"

#include <cassert>
#include <cstring>
#include <initializer_list>

#include "codec/delta.h"
#include "codec/kx_format.h"
#include "codec/kx_stream.h"
#include "codec/row_writer.h"

#if defined(__SSE2__)
#define KX_X86_SIMD 1
#include <emmintrin.h>
#else
#define KX_X86_SIMD 0
#endif

namespace {

// Window layout: [0, kHistoryBytes) holds the bytes just before the output
// position (zeros before the first output byte, which is what a copy reaching
// before the start reads), then the bytes decoded since, then room.
constexpr std::size_t kHistoryBytes = kMaxDistance;

constexpr std::size_t kMaxTokenOutputBytes = kMaxCopyBytes;
static_assert(kMaxRunBytes <= kMaxTokenOutputBytes, "");
// The most one group can take and give: a flag byte and eight literal runs
// of 40; eight copies of 4096.
constexpr std::size_t kMaxGroupInputBytes = 1 + kGroupTokens * (1 + kMaxRunBytes);
constexpr std::size_t kMaxGroupOutputBytes = kGroupTokens * kMaxTokenOutputBytes;

// Unchecked copies move whole blocks: 8 bytes for up to eight single
// literals, 16 at a time for copies, 48 for a literal run of 9 to 40. So
// they write up to 39 bytes past a token's last output byte.
constexpr std::size_t kVectorBytes = 16;
constexpr std::size_t kLiteralCopyBytes = 8;
constexpr std::size_t kRunCopyBytes = 3 * kVectorBytes;
constexpr std::size_t kWildBytes = kRunCopyBytes;

// A group runs unchecked only with this much input left: the furthest it
// reads is the 48-byte copy of a run whose control byte follows the flag
// byte and seven runs of 40. An 8-byte literal move starts no later than
// the group's last byte (kMaxGroupInputBytes), so it ends no further, and
// the other reads (a copy's two bytes after its control byte, the 4-byte
// read-ahead of the next control byte) end sooner.
constexpr std::size_t kFastInputBytes = 1 + (kGroupTokens - 1) * (1 + kMaxRunBytes) + 1 + kRunCopyBytes;
static_assert(kFastInputBytes >= kMaxGroupInputBytes + kLiteralCopyBytes, "");
// ...and this much window room after the output position.
constexpr std::size_t kFastRoomBytes = kMaxGroupOutputBytes + kWildBytes;
// Token by token near the ends, a slide makes room for the longest copy.
constexpr std::size_t kCarefulRoomBytes = kMaxTokenOutputBytes + kWildBytes;

// Finished bytes go to the bits block every 16 KiB, while they are still in
// the first-level cache of small machines. (On the machine measured, with
// 2 MiB of second-level cache, every size from 4 to 128 KiB gave the same
// times within the noise.)
constexpr std::size_t kFlushBytes = std::size_t{16} << 10;

// A slide happens only once less than kFastRoomBytes (or kCarefulRoomBytes)
// of window is left, so the history it moves lies wholly after the place it
// moves to, and one unchecked group fits after it.
static_assert(kMinDecodeWindowBytes >= 2 * kHistoryBytes + kFastRoomBytes, "slides never overlap");
static_assert(kCarefulRoomBytes <= kFastRoomBytes, "");
static_assert(kDecodeWindowBytes >= kMinDecodeWindowBytes && kDecodeWindowBytes <= (std::size_t{1} << 20),
              "the window stays within the 1 MiB budget");

// --- Tables of the unchecked path -------------------------------------------
//
// On photographs tokens average about two bytes of output, and literals and
// the three copy forms follow each other in no predictable order, so a
// parser that branches on each flag bit and on each form is slow there.
// These tables turn the branches into table reads and arithmetic. On
// the 12-megapixel photograph of bench/ this parser (with the read-ahead of
// DecodeGroups) decodes in 37 ms where one that branches took 80 ms.

// What a flag byte says about its group: the literal tokens before the
// first control token (bits 0-3), the number of control tokens (bits 4-7)
// and, 3 bits for each control token from bit 8 up, the literal tokens after
// it before the next control token or the end of the group. Eight 3-bit
// gaps need 24 bits, so a plan fits 32.
constexpr unsigned kPlanLeadMask = 0x0F;
constexpr unsigned kPlanControlsShift = 4;
constexpr unsigned kPlanControlsMask = 0x0F;
constexpr unsigned kPlanGapsShift = 8;
constexpr unsigned kPlanGapBits = 3;
constexpr unsigned kPlanGapMask = 0x07;

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
    plans.plan[flag] = lead | (controls << kPlanControlsShift) | (gaps << kPlanGapsShift);
  }
  return plans;
}

constexpr FlagPlans kFlagPlans = MakeFlagPlans();

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

constexpr unsigned kDistanceShift = 16;
constexpr std::uint32_t kLengthMask = 0xFFFF;
constexpr unsigned kPartRowBytes = 256;
constexpr std::uint16_t kShortRow = 0;
constexpr std::uint16_t kMediumRow = kPartRowBytes;
constexpr std::uint16_t kLongRow = 2 * kPartRowBytes;
static_assert(kMaxDistance < (std::size_t{1} << (32 - kDistanceShift)) && kMaxTokenOutputBytes <= kLengthMask, "");

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

constexpr CopyCodes kCopyCodes = MakeCopyCodes();

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

constexpr CopyParts kCopyParts = MakeCopyParts();

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

// --- Copies inside the window -------------------------------------------

// Moves 16 bytes; loads all of them before storing, so source and
// destination may overlap.
inline void Copy16(std::uint8_t* dst, const std::uint8_t* src) {
#if KX_X86_SIMD
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
#else
  std::uint8_t block[kVectorBytes];
  std::memcpy(block, src, kVectorBytes);
  std::memcpy(dst, block, kVectorBytes);
#endif
}

#if KX_X86_SIMD
// A copy at a distance D below its length repeats its first D bytes: build
// 16 bytes of that pattern once, then store it at steps that are a multiple
// of D, so that every store starts at the same point of the pattern.
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
#endif

std::uint8_t* RepeatShortPattern(std::uint8_t* op, std::size_t distance, std::uint8_t* end) {
#if KX_X86_SIMD
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
#else
  // Eight bytes at a time from a multiple of the distance that is at least
  // 8 back: the output repeats with the distance's period from op -
  // distance on, so every such block reads bytes already final. Below 8,
  // the first 8 bytes go one at a time, and the step is the smallest
  // multiple of the distance from 8 up; it reaches back at most to op - 6.
  constexpr std::uint8_t kStepOf[kLiteralCopyBytes] = {0, 8, 8, 9, 8, 10, 12, 14};
  std::size_t step = distance;
  if (distance < kLiteralCopyBytes) {
    for (std::size_t k = 0; k < kLiteralCopyBytes; ++k) op[k] = *(op + k - distance);
    step = kStepOf[distance];
    op += kLiteralCopyBytes;
  }
  for (; op < end; op += kLiteralCopyBytes) std::memcpy(op, op - step, kLiteralCopyBytes);
  return end;
#endif
}

// Copies `length` (>= 1) bytes from `distance` (1..kMaxDistance) back, with
// the meaning of the byte-at-a-time copy. Reads only from op - distance to
// 15 bytes past op - distance + length, and writes only [op, op + length +
// 15): the caller keeps kWildBytes of room after the token and
// kHistoryBytes of window before op.
inline std::uint8_t* CopyMatch(std::uint8_t* op, std::size_t distance, std::size_t length) {
  std::uint8_t* const end = op + length;
  const std::uint8_t* const match = op - distance;
  // Tested in this order because on photographs nearly every copy is no
  // longer than its distance, so the branch is well predicted.
  if (distance >= length || distance >= kVectorBytes) {
    // Each 16-byte block reads only bytes already final: before op, or
    // written by the blocks before it. With distance >= length the first
    // block holds the whole copy, and what it writes past `end` does not
    // count.
    Copy16(op, match);
    for (std::size_t k = kVectorBytes; k < length; k += kVectorBytes) Copy16(op + k, match + k);
    return end;
  }
  return RepeatShortPattern(op, distance, end);
}

// --- The decoder ------------------------------------------------------------

// The output side of a decode: the window, the output position in it, the
// first byte not yet stored, and where in the window the picture would end.
struct Output {
  std::uint8_t* window;
  std::size_t window_bytes;
  std::uint8_t* op;
  std::uint8_t* flushed;
  std::size_t end_offset;  // window offset of raw byte total_bytes; may lie past the window
  RowWriter rows;
};

std::size_t Offset(const Output& out) { return static_cast<std::size_t>(out.op - out.window); }
std::size_t BytesLeft(const Output& out) { return out.end_offset - Offset(out); }

void Flush(Output* out) {
  WriteRows(&out->rows, out->flushed, static_cast<std::size_t>(out->op - out->flushed));
  out->flushed = out->op;
}

// Stores what is pending and moves the last kHistoryBytes to the front.
// Called only with less than kFastRoomBytes of window left, so op is at
// least 2 x kHistoryBytes in and the two ranges are apart.
void Slide(Output* out) {
  // The history moved lies wholly after the front, and nothing was written
  // past the picture's end.
  assert(Offset(*out) >= 2 * kHistoryBytes);
  assert(out->end_offset >= Offset(*out));
  Flush(out);
  const std::size_t moved_bytes = Offset(*out) - kHistoryBytes;
  std::memcpy(out->window, out->op - kHistoryBytes, kHistoryBytes);
  out->end_offset -= moved_bytes;
  out->op = out->window + kHistoryBytes;
  out->flushed = out->op;
  assert(out->window_bytes - Offset(*out) >= kFastRoomBytes);  // one unchecked group fits after a slide
}

// Whole groups of eight tokens with no checks inside them, as long as, at
// the start of a group, ip <= ip_last and op <= op_last. The caller sets
// those limits so that kFastInputBytes of input and kFastRoomBytes of window
// follow them and the picture's end lies kMaxGroupOutputBytes or more after
// op_last: then no stop rule of the stream can fire inside a group. (ip_end
// and `out` serve the assertions of debug builds only.)
//
// Each control byte is known before the token ahead of it is done: `ahead`
// holds the bytes where the next one must be for each of the three sizes a
// copy token can have, and the size picks it. That keeps a memory read off
// the chain from one token to the next.
inline void DecodeGroups(const std::uint8_t*& ip_ref, std::uint8_t*& op_ref, const std::uint8_t* ip_last,
                         const std::uint8_t* op_last, [[maybe_unused]] const std::uint8_t* ip_end,
                         [[maybe_unused]] const Output& out) {
  const std::uint8_t* ip = ip_ref;
  std::uint8_t* op = op_ref;
  // What every unchecked read and write below rests on: at least one group
  // runs; its reads stay inside the input; its copies reach no further back
  // than the window's start, and its writes, wild bytes included, no further
  // than the window's end; and no group reaches the picture's end.
  assert(ip <= ip_last && op <= op_last);
  assert(static_cast<std::size_t>(ip_end - ip_last) >= kFastInputBytes);
  assert(static_cast<std::size_t>(op - out.window) >= kHistoryBytes);
  assert(out.window_bytes - static_cast<std::size_t>(op_last - out.window) >= kFastRoomBytes);
  assert(static_cast<std::size_t>(op_last - out.window) + kMaxGroupOutputBytes <= out.end_offset);
  if (ip > ip_last || op > op_last) return;
  unsigned next = ip[0];  // the flag byte
  for (;;) {
    const std::uint32_t plan = kFlagPlans.plan[next];
    ++ip;
    // Literal tokens go eight bytes at a time, however many there are.
    const unsigned lead = plan & kPlanLeadMask;
    std::memcpy(op, ip, kLiteralCopyBytes);
    op += lead;
    ip += lead;
    next = ip[0];
    std::uint32_t gaps = plan >> kPlanGapsShift;
    for (unsigned controls = (plan >> kPlanControlsShift) & kPlanControlsMask; controls > 0; --controls) {
      const unsigned b = next;
      const unsigned literals = gaps & kPlanGapMask;
      gaps >>= kPlanGapBits;
      std::uint32_t ahead;
      std::memcpy(&ahead, ip + literals + 1, sizeof ahead);
      const CopyCode& code = kCopyCodes.code[b];
      if (code.bytes == 0) {  // a literal run
        const std::size_t length = RunLength(b);
        Copy16(op, ip + 1);
        Copy16(op + kVectorBytes, ip + 1 + kVectorBytes);
        Copy16(op + 2 * kVectorBytes, ip + 1 + 2 * kVectorBytes);
        op += length;
        ip += 1 + length;
        std::memcpy(op, ip, kLiteralCopyBytes);
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
      op = CopyMatch(op, distance, length);
      std::memcpy(op, ip, kLiteralCopyBytes);
      op += literals;
      ip += literals;
      next = (ahead >> code.ahead_shift) & 0xFFu;
    }
    if (ip > ip_last || op > op_last) break;
  }
  ip_ref = ip;
  op_ref = op;
}

// Token by token with every stop rule of DecompressPixels, from a group
// boundary to the end. Input is read exactly; output may still be written
// up to kWildBytes past the last token, inside the window.
void DecodeCareful(const std::uint8_t* ip, const std::uint8_t* const ip_end, Output* out) {
  std::uint32_t flags = 0;
  for (;;) {
    if (BytesLeft(*out) == 0) return;
    if ((flags & kFlagsLeft) == 0) flags = *ip++ | kFlagLoadMark;
    if (ip >= ip_end) return;
    if (out->window_bytes - Offset(*out) < kCarefulRoomBytes) Slide(out);
    assert(out->window_bytes - Offset(*out) >= kCarefulRoomBytes);  // room for the longest copy and its wild bytes
    const std::size_t left_bytes = BytesLeft(*out);
    std::uint8_t* op = out->op;
    if ((flags & kCurrentFlag) == 0) {
      *op++ = *ip++;
    } else {
      const unsigned b = *ip++;
      const TokenForm form = ClassifyControl(b);
      if (form == TokenForm::kLiteralRun) {
        const std::size_t input_bytes = static_cast<std::size_t>(ip_end - ip);
        std::size_t length = RunLength(b);
        if (length > input_bytes) length = input_bytes;
        if (length > left_bytes) length = left_bytes;
        std::memcpy(op, ip, length);
        ip += length;
        out->op = op + length;
        flags <<= 1;
        if (ip >= ip_end) return;
        continue;
      }
      const unsigned operand_bytes = OperandBytes(form);
      if (static_cast<std::size_t>(ip_end - ip) < operand_bytes) return;  // a copy missing c or d writes nothing
      const unsigned c = operand_bytes > 0 ? ip[0] : 0u;
      const unsigned d = operand_bytes > 1 ? ip[1] : 0u;
      ip += operand_bytes;
      const CopyToken copy = DecodeCopy(form, b, c, d);
      op = CopyMatch(op, copy.distance, copy.length < left_bytes ? copy.length : left_bytes);
    }
    out->op = op;
    flags <<= 1;
    if (ip >= ip_end) return;
  }
}

void DecodeStream(const std::uint8_t* src, std::size_t src_bytes, Output* out) {
  const std::uint8_t* ip = src + kHeaderBytes;
  const std::uint8_t* const ip_end = src + src_bytes;
  for (;;) {
    if (BytesLeft(*out) < kMaxGroupOutputBytes) break;
    if (static_cast<std::size_t>(ip_end - ip) < kFastInputBytes) break;
    if (out->window_bytes - Offset(*out) < kFastRoomBytes) Slide(out);
    if (out->op - out->flushed >= static_cast<std::ptrdiff_t>(kFlushBytes)) Flush(out);
    // Groups run unchecked while op stays at or below the lowest of three
    // limits (the picture's end, the window's end, the next flush) and ip at
    // or below the input's limit. Each was checked above to lie at or after
    // the current position, so at least one group runs.
    std::size_t last_offset = out->end_offset - kMaxGroupOutputBytes;
    const std::size_t room_offset = out->window_bytes - kFastRoomBytes;
    if (room_offset < last_offset) last_offset = room_offset;
    const std::size_t flush_offset = static_cast<std::size_t>(out->flushed - out->window) + kFlushBytes;
    if (flush_offset < last_offset) last_offset = flush_offset;
    std::uint8_t* const op_last = out->window + last_offset;
    const std::uint8_t* const ip_last = ip_end - kFastInputBytes;
    std::uint8_t* op = out->op;
    DecodeGroups(ip, op, ip_last, op_last, ip_end, *out);
    out->op = op;
  }
  DecodeCareful(ip, ip_end, out);
}

}  // namespace

std::size_t DecodeIntoRows(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                           const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes) {
  if (window_bytes < kMinDecodeWindowBytes) return 0;
  Output out{};
  out.window = window;
  out.window_bytes = window_bytes;
  out.op = window + kHistoryBytes;
  out.flushed = out.op;
  out.end_offset = kHistoryBytes + total_bytes;
  out.rows = rows;
  std::memset(window, 0, kHistoryBytes);

  if (src_bytes > kHeaderBytes) DecodeStream(src, src_bytes, &out);
  Flush(&out);
  const std::size_t left_bytes = BytesLeft(out);
  const std::size_t produced_bytes = total_bytes - left_bytes;

  // What the stream did not produce is zero before the delta step.
  const std::size_t zero_bytes = left_bytes < window_bytes ? left_bytes : window_bytes;
  std::memset(window, 0, zero_bytes);
  for (std::size_t k = left_bytes; k > 0;) {
    const std::size_t n = k < zero_bytes ? k : zero_bytes;
    WriteRows(&out.rows, window, n);
    k -= n;
  }
  return produced_bytes;
}

std::size_t DecodeToBitmap(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout& layout,
                           std::uint8_t* bits, std::uint8_t* window, std::size_t window_bytes, DeltaKernel kernel) {
  const DeltaFn delta = AsksForDelta(src, src_bytes) ? PickDelta(kernel) : nullptr;
  return DecodeIntoRows(src, src_bytes, layout.total_bytes, StartRows(layout, bits, delta), window, window_bytes);
}
