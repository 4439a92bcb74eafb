// Level 1, the fast parser: one probe of a table of 4-byte values per
// position.
//
// Two tables of 16-bit entries: the last position with each hash of 4
// bytes, and the last position with each value of 2 bytes (for short
// copies). An entry is the low 16 bits of the position's address in the
// stretch's buffer, and every entry starts as the buffer's first byte. The
// distance back from a position is the difference of the two, modulo 2^16:
// exact for an entry within the window (2^14 bytes), and for an older one
// some earlier position in the buffer, whose bytes are compared like any
// other's. So a candidate is loaded without a test and never before the
// buffer.
//
// The far table has 2^13 slots (16 KiB), so that with the window's bytes it
// stays in the first-level cache: on the benchmark's photograph 2^14 slots
// made the file 0.9% smaller and the level 8% slower, 2^16 slots 2.1%
// smaller and 9% slower.
#include <cstring>

#include "writer/encode_internal.h"

namespace kx {

namespace writer {

namespace {

// The fast level steps over positions where nothing matched: one more byte
// per step after every 2^kSkipShift misses in a row, as noise gives.
constexpr unsigned kSkipShift = 5;
constexpr std::size_t kFastInsertStrideBytes = 4;

constexpr unsigned kFastHashBits = 13;
constexpr std::size_t kFastSlots = std::size_t{1} << kFastHashBits;
constexpr std::size_t kPairSlots = std::size_t{1} << 16;
// Pairs inside a copy that ends before them go to slots past the pairs'
// own: their own slot or'ed with this.
constexpr std::size_t kNoPairSlot = kPairSlots;
static_assert(2 * kPairSlots * sizeof(std::uint16_t) <= kHeadTableBytes, "");

std::size_t FastSlot(std::uint32_t four) { return (four * 0x9E3779B1u) >> (32 - kFastHashBits); }

std::uint16_t AddressBits(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(at));
}

// The distance back to the entry in `slot`, modulo 2^16; `at` takes its place.
std::size_t SwapEntry(std::uint8_t* table, std::size_t slot, const std::uint8_t* at) {
  const std::uint16_t here = AddressBits(at);
  const std::uint16_t entry = Load16(table, slot);
  Store16(table, slot, here);
  return static_cast<std::uint16_t>(here - entry);
}

std::uint8_t* PairTable(const Stretch& s) { return s.head + kHeadTableBytes; }

void EnterFast(const Stretch& s, const std::uint8_t* at) { Store16(s.head, FastSlot(LoadLe32(at)), AddressBits(at)); }
void EnterPair(const Stretch& s, const std::uint8_t* at) { Store16(PairTable(s), LoadLe16(at), AddressBits(at)); }

// Enters positions a copy of `covered` bytes at p covers: every fourth and
// its last one, since the next copy often starts where this one left off.
// (Entering none of them made the benchmark's illustration 9% larger.)
// Reads 4 bytes at each, at most to the stretch's end.
void EnterCovered(const Stretch& s, std::size_t p, std::size_t covered) {
  const std::size_t last = p + covered - 1;
  for (std::size_t q = p + 1; q < last && q + sizeof(std::uint32_t) <= s.end; q += kFastInsertStrideBytes) {
    EnterFast(s, At(s, q));
  }
  if (covered > 1 && last + sizeof(std::uint32_t) <= s.end) {
    EnterFast(s, At(s, last));
    EnterPair(s, At(s, last));
  }
}

// Parses [p, stop) one position at a time with every read bounded, and
// steps over positions where nothing matched ever faster; with `one_match`
// it leaves after the first copy. The literals before each copy, from
// literal_start on, go as runs. Returns the next position to parse.
std::size_t ParseFastCarefully(const Stretch& s, TokenWriter* out, std::size_t literal_start, std::size_t p,
                               std::size_t stop, std::size_t misses, bool one_match) {
  while (p < stop && p + sizeof(std::uint32_t) <= s.end) {
    const std::uint8_t* at = At(s, p);
    const std::size_t distance = SwapEntry(s.head, FastSlot(LoadLe32(at)), at);
    EnterPair(s, at);
    Match m{0, 0};
    if (distance - 1 < kWindowBytes && LoadLe32(at - distance) == LoadLe32(at)) {
      m = Match{MatchBytes(at - distance, at, Limit(s, p)), distance};
    }
    if (m.bytes == 0) m = FindShortAt(s, p);
    if (m.bytes == 0) {
      p += 1 + (misses++ >> kSkipShift);
      continue;
    }
    EmitLiterals(out, At(s, literal_start), p - literal_start);
    const std::size_t covered = EmitMatch(out, m);
    EnterCovered(s, p, covered);
    p += covered;
    literal_start = p;
    misses = 0;
    if (one_match) return p;
  }
  const std::size_t to = p + sizeof(std::uint32_t) > s.end ? s.end : p;
  EmitLiterals(out, At(s, literal_start), to - literal_start);
  return to;
}

// The fast loop reads up to 8 bytes at a position and at its candidates,
// and stores 4 bytes where a token of 1 to 3 goes. It stops this many bytes
// before the stretch's end, so that every read is of the stretch's bytes and
// every store lands inside the room the rest of the stretch's stream takes
// anyway.
constexpr std::size_t kFastTailBytes = 32;
// This many single literals in a row send the parse to the careful loop,
// which steps over noise and sends it as runs.
constexpr std::size_t kFastMissesToSkip = 32;
// A far candidate repeating this many bytes or more is measured and sent
// off the fast loop.
constexpr std::size_t kFastLongBytes = 7;

// The writer's state in the fast loop: the next group's flag byte is
// reserved as soon as the group before it is full, and holds 0 until a
// copy or run sets its bit, so that no token looks at whether it starts a
// group.
struct FastOut {
  std::uint8_t* at;
  std::uint8_t* flag;
  std::size_t tokens;  // the group's are tokens % 8
  std::uint8_t* end;   // the writer's bound: nothing is stored from here on
};

FastOut FromWriter(const TokenWriter& w) {
  FastOut f{w.dst + w.at, w.dst + w.flag_at, w.tokens, w.dst + w.capacity_bytes};
  if (w.tokens_in_group == kTokensPerFlag) {
    assert(f.at < f.end);
    f.flag = f.at++;
    *f.flag = 0;
  } else {
    *f.flag = static_cast<std::uint8_t>(w.flags);
  }
  return f;
}

void ToWriter(const FastOut& f, TokenWriter* w) {
  // A reserved flag byte with no token behind it is given back.
  const auto in_group = static_cast<unsigned>(f.tokens % kTokensPerFlag);
  w->at = static_cast<std::size_t>((in_group == 0 ? f.flag : f.at) - w->dst);
  w->flag_at = static_cast<std::size_t>(f.flag - w->dst);
  w->tokens_in_group = in_group == 0 ? kTokensPerFlag : in_group;
  w->flags = *f.flag;
  w->tokens = f.tokens;
}

// `a` when `c`, else `b`, computed without a branch: the compiler turns a
// plain conditional into one when it guesses the condition predictable,
// which on noisy pictures it is not.
template <typename T>
T Pick(bool c, T a, T b) {
  return b ^ ((a ^ b) & (T{0} - static_cast<T>(c)));
}

void Copy16(std::uint8_t* to, const std::uint8_t* from) { std::memcpy(to, from, 16); }
void Copy8(std::uint8_t* to, const std::uint8_t* from) { std::memcpy(to, from, 8); }

// Ends a token of the fast loop: a full group reserves the next flag byte.
void EndFastToken(std::uint8_t** out_at, std::uint8_t** flag, std::size_t* tokens) {
  const std::size_t full = (++*tokens % kTokensPerFlag) == 0 ? 1 : 0;
  **out_at = 0;
  *flag += (*out_at - *flag) & (0 - static_cast<std::ptrdiff_t>(full));
  *out_at += full;
}

// Runs the fast loop from `at` until `stop`, until kFastMissesToSkip
// positions in a row match nothing, or until a far candidate of
// kFastLongBytes or more (its distance in *long_distance, otherwise left
// 0). Returns where it stopped; the literals from *literal_start there are
// not sent yet.
//
// A position that matches nothing costs its search alone: the literals
// wait until the next copy, which sends them first. Which copy is taken,
// and its form and bytes, are chosen without branches, since in a noisy
// picture a branch on what matched is a coin toss.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
const std::uint8_t*
RunFast(const std::uint8_t* at, const std::uint8_t* stop, std::uint8_t* tables, FastOut* out,
        const std::uint8_t** literal_start, std::size_t* long_distance) {
  // The pair table follows the far one (ParseStretch's layout of the work
  // memory): one register reaches both.
  std::uint8_t* const far_table = tables;
  std::uint8_t* const pair_table = tables + kHeadTableBytes;
  std::uint8_t* out_at = out->at;
  std::uint8_t* flag = out->flag;
  std::size_t tokens = out->tokens;
  std::uint8_t* const end = out->end;
  const std::uint8_t* literals = *literal_start;
  while (at < stop) {
    const std::uint64_t v = LoadLe64(at);
    const auto four = static_cast<std::uint32_t>(v);
    const std::size_t far_distance = SwapEntry(far_table, FastSlot(four), at);
    const std::size_t near_distance = SwapEntry(pair_table, four & 0xFFFF, at);
    const std::uint64_t far_bits = LoadLe64(at - far_distance) ^ v;
    const std::uint32_t near_bits = LoadLe32(at - near_distance) ^ four;
    // Nonzero when the candidate is out of reach or does not repeat the
    // first 4 (far) or 2 (near) bytes; their product is a single test.
    const std::uint64_t far_miss = ((far_distance - 1) >> 14) | static_cast<std::uint32_t>(far_bits);
    const std::uint64_t near_miss = ((near_distance - 1) >> 5) | (near_bits & 0xFFFF);
    static_assert(kMaxDistance == std::size_t{1} << 14 && kShortMaxDistance == std::size_t{1} << 5, "");
    if (far_miss * near_miss != 0) {
      ++at;
      if (static_cast<std::size_t>(at - literals) == kFastMissesToSkip) break;
      continue;
    }
    // Bytes each candidate repeats: 4 to 7 for a far copy, 2 to 4 for a
    // near one; 1 for none.
    const std::size_t far_equal = LowZeroBytes(far_bits | (std::uint64_t{1} << 56));
    const std::size_t near_equal = LowZeroBytes(near_bits | (std::uint64_t{1} << 32));
    const std::size_t far_bytes = Pick<std::size_t>(far_miss == 0, far_equal, 1);
    const std::size_t near_bytes = Pick<std::size_t>(near_miss == 0, near_equal, 1);
    // A far copy costs 0, 1 or 2 bytes more than a near one (in the short,
    // medium or long form): it is taken when it covers more bytes than that
    // beyond the near one.
    const bool far_short = (far_distance <= kShortMaxDistance) & (far_bytes <= kShortMaxBytes);
    const bool medium_form = far_distance <= kMediumMaxDistance;
    const std::size_t extra = 2 - static_cast<std::size_t>(medium_form) - static_cast<std::size_t>(far_short);
    const bool take_far = far_bytes > near_bytes + extra;
    const std::size_t bytes = Pick(take_far, far_bytes, near_bytes);
    if (bytes >= kFastLongBytes) {
      *long_distance = far_distance;
      break;
    }
    // The literals waiting: up to 8 as single tokens, at most one flag byte
    // among them; more as one run.
    const auto waiting = static_cast<std::size_t>(at - literals);
    if (waiting <= kTokensPerFlag) {
      const std::size_t room = kTokensPerFlag - tokens % kTokensPerFlag;
      const std::size_t crossing = waiting >= room ? 1 : 0;
      assert(out_at + room + 1 + 8 <= end);  // the wild stores of both halves
      Copy8(out_at, literals);
      Copy8(out_at + room + 1, literals + room);
      out_at[room] = 0;
      flag += (out_at + room - flag) & (0 - static_cast<std::ptrdiff_t>(crossing));
      out_at += waiting + crossing;
      tokens += waiting;
    } else {
      *flag = static_cast<std::uint8_t>(*flag | (0x80u >> (tokens % kTokensPerFlag)));
      assert(out_at + 1 + 32 <= end);  // the control byte and two wild 16-byte stores
      *out_at = static_cast<std::uint8_t>(((waiting - kRunBase) << 2) | kRunMark);
      Copy16(out_at + 1, literals);
      Copy16(out_at + 1 + 16, literals + 16);
      out_at += 1 + waiting;
      assert(out_at < end);  // the next flag byte, reserved
      EndFastToken(&out_at, &flag, &tokens);
    }
    // The pairs the copy covers, for the short copies after it: a near copy
    // mostly covers 2 bytes, a far one 4 or more.
    const std::size_t covered_slot = take_far ? 0 : kNoPairSlot;
    Store16(pair_table, (v >> 8) & 0xFFFF, AddressBits(at + 1));
    Store16(pair_table, ((v >> 16) & 0xFFFF) | covered_slot, AddressBits(at + 2));
    Store16(pair_table, ((v >> 24) & 0xFFFF) | covered_slot, AddressBits(at + 3));
    const auto n = static_cast<std::uint32_t>(bytes);
    const auto far_d = static_cast<std::uint32_t>(far_distance - 1);
    const auto short_d = static_cast<std::uint32_t>(Pick(take_far, far_distance, near_distance) - 1);
    const bool short_form = !take_far | far_short;
    const std::uint32_t short_body = (short_d << 2) | (n - kShortBase);
    const std::uint32_t medium_body = kMediumControl | (far_d >> 4) | ((far_d & 0x0F) << 12) | ((n - kMediumBase) << 8);
    const std::uint32_t long_body = kLongControl | (far_d >> 8) | ((far_d & 0xFF) << 8) | ((n - kLongBase) << 16);
    const std::uint32_t body = Pick(short_form, short_body, Pick(medium_form, medium_body, long_body));
    const std::size_t body_bytes = Pick<std::size_t>(short_form, 1, 3 - static_cast<std::size_t>(medium_form));
    *flag = static_cast<std::uint8_t>(*flag | (0x80u >> (tokens % kTokensPerFlag)));
    assert(out_at + sizeof body <= end);
    StoreLe32(out_at, body);
    out_at += body_bytes;
    assert(out_at < end);  // the next flag byte, reserved
    EndFastToken(&out_at, &flag, &tokens);
    at += bytes;
    literals = at;
  }
  *out = FastOut{out_at, flag, tokens, end};
  *literal_start = literals;
  return at;
}

}  // namespace

void ParseFast(const Stretch& s) {
  // Every entry starts as the buffer's first byte.
  const std::uint16_t first = AddressBits(s.buffer);
  for (std::size_t k = 0; k < kFastSlots; ++k) Store16(s.head, k, first);
  for (std::size_t k = 0; k < kPairSlots; ++k) Store16(PairTable(s), k, first);
  for (std::size_t q = s.window_begin; q < s.begin; ++q) EnterFast(s, At(s, q));
  for (std::size_t q = s.begin - s.window_begin < kShortMaxDistance ? s.window_begin : s.begin - kShortMaxDistance;
       q < s.begin; ++q) {
    EnterPair(s, At(s, q));
  }
  TokenWriter w = *s.out;
  std::size_t p = s.begin;
  // The picture's first bytes go through the careful loop, which never
  // reads before them.
  if (p - s.window_begin < kShortMaxDistance) p = ParseFastCarefully(s, &w, p, p, kShortMaxDistance, 0, false);
  const std::size_t stop = s.end - s.window_begin < kFastTailBytes ? s.window_begin : s.end - kFastTailBytes;
  std::size_t literal_start = p;
  while (p < stop) {
    FastOut f = FromWriter(w);
    std::size_t long_distance = 0;
    const std::uint8_t* literals = At(s, literal_start);
    p = static_cast<std::size_t>(RunFast(At(s, p), At(s, stop), s.head, &f, &literals, &long_distance) - s.buffer) +
        s.window_begin;
    literal_start = static_cast<std::size_t>(literals - s.buffer) + s.window_begin;
    ToWriter(f, &w);
    if (p >= stop) break;
    if (long_distance == 0) {
      p = ParseFastCarefully(s, &w, literal_start, p, s.end, kFastMissesToSkip, true);
      literal_start = p;
      continue;
    }
    EmitLiterals(&w, At(s, literal_start), p - literal_start);
    const std::size_t bytes = MatchBytes(At(s, p) - long_distance, At(s, p), Limit(s, p));
    const std::size_t covered = EmitMatch(&w, Match{bytes, long_distance});
    EnterCovered(s, p, covered);
    p += covered;
    literal_start = p;
  }
  ParseFastCarefully(s, &w, literal_start, p, s.end, 0, false);
  *s.out = w;
}

}  // namespace writer

}  // namespace kx
