// What the writer's parsers share: the stream's token writer, the match
// finder's tables and searches, the work memory's layout, and the parsers
// themselves (fast.cpp, lazy.cpp, optimal.cpp), which encode.cpp calls one
// stretch at a time. Internal to the writer.
//
// The small helpers each parser calls per position are defined here, inline,
// so that splitting the parsers into files of their own costs no calls in
// their inner loops.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"
#include "codec/format/little_endian.h"
#include "writer/encode.h"

namespace kx {

namespace writer {

constexpr unsigned kTokensPerFlag = 8;
constexpr std::size_t kMaxCopyBytes = kLong4KBytes;
constexpr std::size_t kHashedBytes = 3;

// What each token costs in the stream, in bits, its flag bit included. A
// run costs its control byte and flag bit plus 8 bits per byte.
constexpr int kLiteralBits = 9;
constexpr int kShortBits = 9;
constexpr int kMediumBits = 17;
constexpr int kLongBits = 25;
constexpr int kRunControlBits = 9;

// The optimal parse's prices are in 64ths of a bit, so that a token's
// decode time can be priced in fractions of a bit.
constexpr std::uint32_t kPriceUnitsPerBit = 64;

// What the decoder spends on a token, in tenths of a nanosecond, by form,
// from main's decoder (docs/benchmarks.md, "The decoder's cost model"):
// literal tokens between two control tokens are copied together, so a
// single literal costs about a quarter of a copy or a run (fits of paired
// decodes gave 0.15 to 0.35), and the two together make the 4.7 ns per
// token measured on the 2560 x 1600 photograph at the default level.
constexpr std::uint32_t kLiteralDecodeTenthsNs = 14;
constexpr std::uint32_t kControlDecodeTenthsNs = 54;

// Per decode speed (EncodeOptions::decode_speed), the price units a tenth
// of a nanosecond of decode time is worth: 1 is 0.156 bits per ns (0.84
// bits on a copy or run), the top speed 8 bits per ns. 0 parses for size
// alone. Integer weights keep the extras of every speed in the same ratio,
// so that a higher speed never gives a file the cost model decodes slower.
constexpr std::uint32_t kDecodeSpeedUnitsPerTenthNs[kMaxDecodeSpeed + 1] = {0, 1, 3, 6, 10, 13, 19, 26, 38, 51};

// The price, in price units, the optimal parse adds to each token for its
// decode time.
struct TokenExtra {
  std::uint32_t literal;
  std::uint32_t control;  // copies and runs
};

TokenExtra TokenExtraFor(int decode_speed);

// A match is taken only when it saves at least this many bits over sending
// its bytes as 8-bit literals. This turns away the one losing form, a
// 3-byte long copy (25 bits for 24), while a 2-byte short copy (9 bits for
// 16) still counts.
constexpr int kMinSavedBits = 1;
// The lazy step prefers the match one byte further on only when it saves
// more than this many bits beyond the current one. Close calls stay with the
// current match, whose tail may still pair with what follows; on
// photographs a margin of two bytes' worth gave the smallest files.
constexpr int kLazyMarginBits = 16;

// Each stretch is parsed from its own buffer of stream bytes (the bytes the
// decoder produces before its delta step): the window before the stretch,
// which its copies may reach into, the stretch itself, and zeros after it
// for the few bytes a hash or a 16-byte compare reads past the end (never
// taken as part of a match).
constexpr std::size_t kWindowBytes = kMaxDistance;
constexpr std::size_t kPadBytes = 16;
constexpr std::size_t kBufferBytes = kWindowBytes + kEncodeStretchBytes + kPadBytes;
static_assert((kWindowBytes & (kWindowBytes - 1)) == 0, "chain slots are taken modulo the window");

// Hash heads: 2^16 slots keep most keys of a window (16,384 positions)
// apart.
constexpr unsigned kHashBits = 16;
constexpr std::size_t kHashHeads = std::size_t{1} << kHashBits;
// Positions are stored plus one, so that 0 marks an empty slot. The largest
// picture has 201,326,592 bytes, so 32 bits hold every position.
constexpr std::uint32_t kNoPosition = 0;

// The optimal parse chooses the tokens of this many bytes at a time; its
// tables hold a price, the last token and a path entry per position. A
// block's path ends at its last byte, which costs a little at every block's
// end; but blocks of 32 KiB made the benchmark's real photograph only 0.02%
// smaller (the generated one 0.005%), and its art 4% slower.
constexpr std::size_t kOptBlockBytes = 8192;
constexpr std::size_t kOptSlots = kOptBlockBytes + 1;

constexpr std::size_t kHeadTableBytes = kHashHeads * sizeof(std::uint32_t);
constexpr std::size_t kChainTableBytes = kWindowBytes * sizeof(std::uint16_t);
constexpr std::size_t kPriceTableBytes = kOptSlots * sizeof(std::uint32_t);
constexpr std::size_t kStepTableBytes = kOptSlots * 2 * sizeof(std::uint16_t);
constexpr std::size_t kPathTableBytes = kOptSlots * sizeof(std::uint32_t);
constexpr std::size_t kWorkBytes =
    kBufferBytes + 3 * kHeadTableBytes + kChainTableBytes + kPriceTableBytes + kStepTableBytes + kPathTableBytes;

enum class Parser { kFast, kGreedy, kLazy, kOptimal };

struct LevelParams {
  Parser parser;
  unsigned chain_key_bytes;    // 4 or 8
  std::uint32_t max_chain;     // hash-chain entries followed per search
  std::size_t nice_bytes;      // a match this long ends the search (and, optimal: is taken at once)
  std::size_t lazy_max_bytes;  // lazy: look ahead only when the match covers fewer bytes
  std::size_t good_bytes;      // lazy: a match this long quarters the look-ahead's search
  std::uint32_t long_chain;    // optimal: entries followed once a match is nice_bytes long
};

// The work memory holds 16- and 32-bit tables at any alignment; memcpy turns
// into a plain load or store and keeps the accesses well defined.
template <typename T>
inline T LoadAt(const std::uint8_t* table, std::size_t index) {
  T v;
  std::memcpy(&v, table + index * sizeof v, sizeof v);
  return v;
}
template <typename T>
inline void StoreAt(std::uint8_t* table, std::size_t index, T v) {
  std::memcpy(table + index * sizeof v, &v, sizeof v);
}
inline std::uint32_t Load32(const std::uint8_t* table, std::size_t index) {
  return LoadAt<std::uint32_t>(table, index);
}
inline void Store32(std::uint8_t* table, std::size_t index, std::uint32_t v) { StoreAt(table, index, v); }
inline std::uint16_t Load16(const std::uint8_t* table, std::size_t index) {
  return LoadAt<std::uint16_t>(table, index);
}
inline void Store16(std::uint8_t* table, std::size_t index, std::uint16_t v) { StoreAt(table, index, v); }

// A back-reference: `bytes` bytes from `distance` back.
struct Match {
  std::size_t bytes;
  std::size_t distance;
};

// The longest copy one token can make at `distance` for a match of
// `remaining` bytes; 0 when none fits.
inline std::size_t PieceBytes(std::size_t remaining, std::size_t distance) {
  if (distance <= kShortMaxDistance && remaining >= kShortBase && remaining <= kShortMaxBytes) return remaining;
  if (remaining < kMediumBase) return 0;
  if (distance <= kMediumMaxDistance && remaining <= kMediumMaxBytes) return remaining;
  if (remaining >= kLong4KBytes) return kLong4KBytes;
  if (remaining >= kLong1KBytes) return kLong1KBytes;
  return remaining < kLongMaxBytes ? remaining : kLongMaxBytes;
}

inline int PieceBits(std::size_t piece_bytes, std::size_t distance) {
  if (distance <= kShortMaxDistance && piece_bytes <= kShortMaxBytes) return kShortBits;
  if (distance <= kMediumMaxDistance && piece_bytes <= kMediumMaxBytes) return kMediumBits;
  return kLongBits;
}

// Bits saved over sending the bytes a match's tokens cover as plain 8-bit
// literals (a tail of 1 or 2 bytes that no copy at this distance can take
// is left for the next step). A match of at most 4096 bytes is at most 17
// tokens, so this stays small.
inline int SavedBits(const Match& m) {
  const int bytes = static_cast<int>(m.bytes);
  if (m.bytes <= kShortMaxBytes && m.distance <= kShortMaxDistance)
    return m.bytes < kShortBase ? 0 : 8 * bytes - kShortBits;
  if (m.bytes < kMediumBase) return 0;
  if (m.bytes <= kMediumMaxBytes && m.distance <= kMediumMaxDistance) return 8 * bytes - kMediumBits;
  if (m.bytes <= kLongMaxBytes) return 8 * bytes - kLongBits;
  std::size_t covered = 0;
  int bits = 0;
  for (;;) {
    const std::size_t piece = PieceBytes(m.bytes - covered, m.distance);
    if (piece == 0) return static_cast<int>(covered) * 8 - bits;
    covered += piece;
    bits += PieceBits(piece, m.distance);
  }
}

// The stream under construction: tokens go in groups of eight behind a flag
// byte whose bits, most significant first, say which tokens are copies or
// runs (1) and which single literals (0). The open group's flags are kept
// here and stored when the group is full or closed (CloseGroup); every
// write goes through a local copy of `at`, since a store through `dst` could
// otherwise be any of these fields to the compiler.
struct TokenWriter {
  std::uint8_t* dst;
  std::size_t at;
  std::size_t flag_at;
  unsigned tokens_in_group;
  unsigned flags;
  std::size_t tokens;
  std::size_t capacity_bytes;  // dst[0 .. capacity_bytes) may be written
};

// Starts a token: returns where its bytes go.
inline std::uint8_t* BeginToken(TokenWriter* w, bool flag, std::size_t body_bytes) {
  std::size_t at = w->at;
  unsigned in_group = w->tokens_in_group;
  unsigned flags = w->flags;
  if (in_group == kTokensPerFlag) {
    assert(at < w->capacity_bytes);
    w->flag_at = at++;
    in_group = 0;
    flags = 0;
  }
  assert(at + body_bytes <= w->capacity_bytes);  // the body, filled by the caller
  if (flag) flags |= 0x80u >> in_group;
  ++in_group;
  w->at = at + body_bytes;
  w->tokens_in_group = in_group;
  w->flags = flags;
  ++w->tokens;
  if (in_group == kTokensPerFlag) w->dst[w->flag_at] = static_cast<std::uint8_t>(flags);
  return w->dst + at;
}

// Stores the open group's flags (harmless when the group goes on later).
inline void CloseGroup(TokenWriter* w) {
  if (w->tokens_in_group < kTokensPerFlag) {
    assert(w->flag_at < w->capacity_bytes);
    w->dst[w->flag_at] = static_cast<std::uint8_t>(w->flags);
  }
}

inline void EmitPiece(TokenWriter* w, std::size_t piece_bytes, std::size_t distance) {
  const std::size_t d = distance - 1;
  if (distance <= kShortMaxDistance && piece_bytes <= kShortMaxBytes) {
    std::uint8_t* o = BeginToken(w, true, 1);
    o[0] = static_cast<std::uint8_t>((d << 2) | (piece_bytes - kShortBase));
  } else if (distance <= kMediumMaxDistance && piece_bytes <= kMediumMaxBytes) {
    std::uint8_t* o = BeginToken(w, true, 2);
    o[0] = static_cast<std::uint8_t>(kMediumControl | (d >> 4));
    o[1] = static_cast<std::uint8_t>(((d & 0x0F) << 4) | (piece_bytes - kMediumBase));
  } else {
    std::uint8_t* o = BeginToken(w, true, 3);
    o[0] = static_cast<std::uint8_t>(kLongControl | (d >> 8));
    o[1] = static_cast<std::uint8_t>(d & 0xFF);
    if (piece_bytes == kLong4KBytes) {
      o[2] = kLong4KCode;
    } else if (piece_bytes == kLong1KBytes) {
      o[2] = kLong1KCode;
    } else {
      o[2] = static_cast<std::uint8_t>(piece_bytes - kLongBase);
    }
  }
}

// Sends `count` stream bytes as literals: single tokens when fewer than a
// run's minimum, otherwise runs of 9 to 40 bytes (a run costs one control
// byte instead of a flag bit per byte).
void EmitLiterals(TokenWriter* w, const std::uint8_t* bytes, std::size_t count);

// Sends a match as copies; returns the bytes they cover.
inline std::size_t EmitMatch(TokenWriter* w, const Match& m) {
  std::size_t done = 0;
  for (;;) {
    const std::size_t piece = PieceBytes(m.bytes - done, m.distance);
    if (piece == 0) return done;
    EmitPiece(w, piece, m.distance);
    done += piece;
  }
}

// The number of zero bytes at the low end of x, which is not 0.
inline std::size_t LowZeroBytes(std::uint64_t x) {
#if defined(__GNUC__)
  return static_cast<std::size_t>(__builtin_ctzll(x)) / 8;
#else
  std::size_t n = 0;
  while ((x & 0xFF) == 0) {
    x >>= 8;
    ++n;
  }
  return n;
#endif
}

// How many bytes from `b` repeat those from `a`, up to `limit`; eight at a
// time while they agree.
inline std::size_t MatchBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t n = 0;
  for (; n + sizeof(std::uint64_t) <= limit; n += sizeof(std::uint64_t)) {
    const std::uint64_t differ = LoadLe64(a + n) ^ LoadLe64(b + n);
    if (differ != 0) return n + LowZeroBytes(differ);
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// One stretch being parsed: bytes [begin, end) of the picture's stream
// bytes, with the window before it in `buffer`.
struct Stretch {
  std::size_t window_begin;  // position of buffer[0]
  std::size_t begin;
  std::size_t end;
  const std::uint8_t* buffer;
  unsigned chain_key_bytes;  // the hash chains' key: 4 or 8 bytes
  // Positions plus one, kHashHeads slots each: the chains' heads, and the
  // last position with a given 3-byte and 4-byte value (near4: greedy and
  // lazy levels only, null otherwise).
  std::uint8_t* head;
  std::uint8_t* near3;
  std::uint8_t* near4;
  std::uint8_t* chain;   // per position modulo the window: the gap back to the previous one with its hash
  std::uint8_t* chain3;  // optimal parse: the same for the hash of 3 bytes (null otherwise)
  std::uint8_t* price;   // optimal parse: kOptSlots prices in price units (kPriceUnitsPerBit)
  std::uint8_t* step;    // optimal parse: per slot the bytes and distance of the token ending there
  std::uint8_t* path;    // optimal parse: the chosen slots, last first
  TokenExtra extra;      // optimal parse: each token's decode time, in price units
  TokenWriter* out;
};

inline const std::uint8_t* At(const Stretch& s, std::size_t p) { return s.buffer + (p - s.window_begin); }

// Fills the buffer with the stream bytes of [window_begin, end) and zeros
// after them. Reads pixels [window_begin - 3, end).
void FillBuffer(const std::uint8_t* pixels, bool delta, std::size_t window_begin, std::size_t end,
                std::uint8_t* buffer);

// Multiplicative hashes of the first 3, 4 or 8 bytes at `at`. Each reads 4
// or 8 bytes: the buffer's zeros cover the last positions.
inline std::size_t Hash3(const std::uint8_t* at) {
  const std::uint32_t key = LoadLe32(at) & 0xFFFFFFu;
  return (key * 0x9E3779B1u) >> (32 - kHashBits);
}

inline std::size_t Hash4(const std::uint8_t* at) { return (LoadLe32(at) * 0x9E3779B1u) >> (32 - kHashBits); }

inline std::size_t Hash8(const std::uint8_t* at) {
  std::uint64_t key;
  std::memcpy(&key, at, sizeof key);
  return static_cast<std::size_t>((key * 0xCF1BBCDCB7A56463ull) >> (64 - kHashBits));
}

// A position's slots in the tables, hashed once for the search and the
// insertion.
struct Slots {
  std::size_t chain;
  std::size_t near3;
  std::size_t near4;
};

inline Slots SlotsAt(const Stretch& s, std::size_t p) {
  const std::uint8_t* at = At(s, p);
  const std::size_t h4 = Hash4(at);
  return Slots{s.chain_key_bytes == 8 ? Hash8(at) : h4, Hash3(at), h4};
}

// Enters position p into its hash chain and the tables of last positions.
// Positions come in rising order; a chain keeps the gap back to the
// previous position with its hash (0: none within the window), in slots
// reused after one window, which only drops entries too far back to be
// copied from anyway.
inline void InsertAt(const Stretch& s, std::size_t p, const Slots& slots) {
  const std::uint32_t entry = Load32(s.head, slots.chain);
  const std::size_t gap = entry == kNoPosition ? 0 : p + 1 - entry;
  Store16(s.chain, p & (kWindowBytes - 1), static_cast<std::uint16_t>(gap <= kWindowBytes ? gap : 0));
  const auto position = static_cast<std::uint32_t>(p + 1);
  Store32(s.head, slots.chain, position);
  if (s.chain3 != nullptr) {
    const std::uint32_t entry3 = Load32(s.near3, slots.near3);
    const std::size_t gap3 = entry3 == kNoPosition ? 0 : p + 1 - entry3;
    Store16(s.chain3, p & (kWindowBytes - 1), static_cast<std::uint16_t>(gap3 <= kWindowBytes ? gap3 : 0));
  }
  Store32(s.near3, slots.near3, position);
  if (s.near4 != nullptr) Store32(s.near4, slots.near4, position);
}

inline void Insert(const Stretch& s, std::size_t p) { InsertAt(s, p, SlotsAt(s, p)); }

// Enters the window before the stretch into the chains and tables.
inline void PrimeChains(const Stretch& s) {
  for (std::size_t q = s.window_begin; q < s.begin; ++q) Insert(s, q);
}

// The entry before q in a chain, or kNoPosition.
inline std::uint32_t NextEntry(const std::uint8_t* chain, std::size_t q) {
  const std::size_t gap = Load16(chain, q & (kWindowBytes - 1));
  return gap == 0 ? kNoPosition : static_cast<std::uint32_t>(q + 1 - gap);
}
inline std::uint32_t NextEntry(const Stretch& s, std::size_t q) { return NextEntry(s.chain, q); }

#if defined(__SSE2__)
// Bit j set when from[j] == value, for j = 0..31.
inline std::uint32_t EqualMask32(const std::uint8_t* from, std::uint8_t value) {
  const __m128i v = _mm_set1_epi8(static_cast<char>(value));
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
  const auto low = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, v)));
  const auto high = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, v)));
  return low | (high << 16);
}
#endif

// The longest short copy (2 to 4 bytes from 1 to 32 back) at `at`, the
// nearest on ties; bytes = 0 when there is none. `back_bytes` bytes before
// `at` and `limit` from it on may be read (and, with SSE2, 16 bytes from
// there on: the buffer's zeros).
inline Match FindShort(const std::uint8_t* at, std::size_t back_bytes, std::size_t limit) {
  Match best{0, 0};
  if (limit < kShortBase) return best;
  if (limit > kShortMaxBytes) limit = kShortMaxBytes;
#if defined(__SSE2__)
  if (back_bytes >= kShortMaxDistance) {
    // Lane j of each mask stands for distance 32 - j: the byte k places on
    // from there against at[k].
    const std::uint8_t* from = at - kShortMaxDistance;
    std::uint32_t mask = EqualMask32(from, at[0]) & EqualMask32(from + 1, at[1]);
    if (mask == 0) return best;
    std::size_t bytes = kShortBase;
    for (; bytes < limit; ++bytes) {
      const std::uint32_t longer = mask & EqualMask32(from + bytes, at[bytes]);
      if (longer == 0) break;
      mask = longer;
    }
    // The highest lane is the nearest distance.
    return Match{bytes, 1 + static_cast<std::size_t>(__builtin_clz(mask))};
  }
#endif
  const std::size_t reach = back_bytes < kShortMaxDistance ? back_bytes : kShortMaxDistance;
  for (std::size_t distance = 1; distance <= reach; ++distance) {
    const std::size_t bytes = MatchBytes(at - distance, at, limit);
    if (bytes >= kShortBase && bytes > best.bytes) best = Match{bytes, distance};
  }
  return best;
}

inline std::size_t Limit(const Stretch& s, std::size_t p) {
  const std::size_t left = s.end - p;
  return left < kMaxCopyBytes ? left : kMaxCopyBytes;
}

inline Match FindShortAt(const Stretch& s, std::size_t p) {
  return FindShort(At(s, p), p - s.window_begin, Limit(s, p));
}

// The parsers: each sends the tokens of bytes [s.begin, s.end) to s.out.
void ParseFast(const Stretch& s);                                // level 1 (fast.cpp)
void ParseChained(const Stretch& s, const LevelParams& params);  // levels 2-8 (lazy.cpp)
void ParseOptimal(const Stretch& s, const LevelParams& params);  // level 9 (optimal.cpp)

}  // namespace writer

}  // namespace kx
