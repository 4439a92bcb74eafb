#include "codec/encode.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/kx_format.h"
#include "codec/kx_stream.h"
#include "codec/little_endian.h"

namespace {

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

// The fast level steps over positions where nothing matched: one more byte
// per step after every 2^kSkipShift misses in a row, as noise gives.
constexpr unsigned kSkipShift = 5;
constexpr std::size_t kFastInsertStrideBytes = 4;

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

// Matches longer than 256 bytes are cut by the token forms into pieces of
// 4096, 1024 and 256 bytes, so looking on for them seldom pays.
//
// On photographs most of what copies save comes from matches of 8 bytes and
// more, which chains keyed on 8 bytes find in a few steps, and from the
// nearest earlier 3-byte value, which one table look-up finds. On a
// 2560 x 1600 photograph, greedy parsing with 16 chain steps made a 5%
// smaller file that way than with 4-byte chains, in 8% less time. The optimal parse wants the longest match within each
// distance its forms price apart, 4 to 7 bytes long too, so its chains are
// keyed on 4 bytes.
//
// The optimal parse takes a match of 128 bytes or more at once, but first
// looks on for a longer one (up to 4096 entries): on flat pictures the one
// 4096-byte copy found that way replaces sixteen 256-byte ones.
constexpr LevelParams kLevels[kMaxEncodeLevel] = {
    {Parser::kFast, 4, 1, 0, 0, 0, 0},
    {Parser::kGreedy, 8, 4, 32, 0, 0, 0},
    {Parser::kGreedy, 8, 8, 64, 0, 0, 0},
    {Parser::kGreedy, 8, 16, 128, 0, 0, 0},
    {Parser::kGreedy, 8, 24, 128, 0, 0, 0},
    {Parser::kGreedy, 8, 32, 256, 0, 0, 0},
    {Parser::kLazy, 8, 32, 256, 32, 16, 0},
    {Parser::kLazy, 8, 128, 256, 64, 32, 0},
    {Parser::kOptimal, 4, 128, 128, 0, 0, 4096},
};

const LevelParams& ParamsFor(int level) {
  if (level < kMinEncodeLevel) level = kMinEncodeLevel;
  if (level > kMaxEncodeLevel) level = kMaxEncodeLevel;
  return kLevels[level - 1];
}

// The work memory holds 16- and 32-bit tables at any alignment; memcpy turns
// into a plain load or store and keeps the accesses well defined.
template <typename T>
T LoadAt(const std::uint8_t* table, std::size_t index) {
  T v;
  std::memcpy(&v, table + index * sizeof v, sizeof v);
  return v;
}
template <typename T>
void StoreAt(std::uint8_t* table, std::size_t index, T v) {
  std::memcpy(table + index * sizeof v, &v, sizeof v);
}
std::uint32_t Load32(const std::uint8_t* table, std::size_t index) { return LoadAt<std::uint32_t>(table, index); }
void Store32(std::uint8_t* table, std::size_t index, std::uint32_t v) { StoreAt(table, index, v); }
std::uint16_t Load16(const std::uint8_t* table, std::size_t index) { return LoadAt<std::uint16_t>(table, index); }
void Store16(std::uint8_t* table, std::size_t index, std::uint16_t v) { StoreAt(table, index, v); }

// A back-reference: `bytes` bytes from `distance` back.
struct Match {
  std::size_t bytes;
  std::size_t distance;
};

// The longest copy one token can make at `distance` for a match of
// `remaining` bytes; 0 when none fits.
std::size_t PieceBytes(std::size_t remaining, std::size_t distance) {
  if (distance <= kShortMaxDistance && remaining >= kShortBase && remaining <= kShortMaxBytes) return remaining;
  if (remaining < kMediumBase) return 0;
  if (distance <= kMediumMaxDistance && remaining <= kMediumMaxBytes) return remaining;
  if (remaining >= kLong4KBytes) return kLong4KBytes;
  if (remaining >= kLong1KBytes) return kLong1KBytes;
  return remaining < kLongMaxBytes ? remaining : kLongMaxBytes;
}

int PieceBits(std::size_t piece_bytes, std::size_t distance) {
  if (distance <= kShortMaxDistance && piece_bytes <= kShortMaxBytes) return kShortBits;
  if (distance <= kMediumMaxDistance && piece_bytes <= kMediumMaxBytes) return kMediumBits;
  return kLongBits;
}

// Bits saved over sending the bytes a match's tokens cover as plain 8-bit
// literals (a tail of 1 or 2 bytes that no copy at this distance can take
// is left for the next step). A match of at most 4096 bytes is at most 17
// tokens, so this stays small.
int SavedBits(const Match& m) {
  const int bytes = static_cast<int>(m.bytes);
  if (m.bytes <= kShortMaxBytes && m.distance <= kShortMaxDistance) return m.bytes < kShortBase ? 0 : 8 * bytes - kShortBits;
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
};

// Starts a token: returns where its bytes go.
std::uint8_t* BeginToken(TokenWriter* w, bool flag, std::size_t body_bytes) {
  std::size_t at = w->at;
  unsigned in_group = w->tokens_in_group;
  unsigned flags = w->flags;
  if (in_group == kTokensPerFlag) {
    w->flag_at = at++;
    in_group = 0;
    flags = 0;
  }
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
void CloseGroup(TokenWriter* w) {
  if (w->tokens_in_group < kTokensPerFlag) w->dst[w->flag_at] = static_cast<std::uint8_t>(w->flags);
}

void EmitPiece(TokenWriter* w, std::size_t piece_bytes, std::size_t distance) {
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
void EmitLiterals(TokenWriter* w, const std::uint8_t* bytes, std::size_t count) {
  if (count < kRunBase) {
    for (std::size_t k = 0; k < count; ++k) *BeginToken(w, false, 1) = bytes[k];
    return;
  }
  while (count > 0) {
    // Leave at least a run's minimum for the last run.
    std::size_t run = count;
    if (count > kMaxRunBytes) run = count - kMaxRunBytes >= kRunBase ? kMaxRunBytes : count - kRunBase;
    std::uint8_t* o = BeginToken(w, true, 1 + run);
    o[0] = static_cast<std::uint8_t>(((run - kRunBase) << 2) | kRunMark);
    std::memcpy(o + 1, bytes, run);
    bytes += run;
    count -= run;
  }
}

// Sends a match as copies; returns the bytes they cover.
std::size_t EmitMatch(TokenWriter* w, const Match& m) {
  std::size_t done = 0;
  for (;;) {
    const std::size_t piece = PieceBytes(m.bytes - done, m.distance);
    if (piece == 0) return done;
    EmitPiece(w, piece, m.distance);
    done += piece;
  }
}

// The number of zero bytes at the low end of x, which is not 0.
std::size_t LowZeroBytes(std::uint64_t x) {
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
std::size_t MatchBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
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
  std::uint8_t* chain;  // per position modulo the window: the gap back to the previous one with its hash
  std::uint8_t* chain3;  // optimal parse: the same for the hash of 3 bytes (null otherwise)
  std::uint8_t* price;  // optimal parse: kOptSlots prices in bits
  std::uint8_t* step;   // optimal parse: per slot the bytes and distance of the token ending there
  std::uint8_t* path;   // optimal parse: the chosen slots, last first
  TokenWriter* out;
};

const std::uint8_t* At(const Stretch& s, std::size_t p) { return s.buffer + (p - s.window_begin); }

// Fills the buffer with the stream bytes of [window_begin, end) and zeros
// after them. Reads pixels [window_begin - 3, end).
void FillBuffer(const std::uint8_t* pixels, bool delta, std::size_t window_begin, std::size_t end,
                std::uint8_t* buffer) {
  const std::size_t lane = kBytesPerPixel;
  std::size_t p = window_begin;
  for (; p < end && (!delta || p < lane); ++p) buffer[p - window_begin] = pixels[p];
  for (; p < end; ++p) buffer[p - window_begin] = static_cast<std::uint8_t>(pixels[p] - pixels[p - lane]);
  std::memset(buffer + (end - window_begin), 0, kPadBytes);
}

// Multiplicative hashes of the first 3, 4 or 8 bytes at `at`. Each reads 4
// or 8 bytes: the buffer's zeros cover the last positions.
std::size_t Hash3(const std::uint8_t* at) {
  const std::uint32_t key = LoadLe32(at) & 0xFFFFFFu;
  return (key * 0x9E3779B1u) >> (32 - kHashBits);
}

std::size_t Hash4(const std::uint8_t* at) { return (LoadLe32(at) * 0x9E3779B1u) >> (32 - kHashBits); }

std::size_t Hash8(const std::uint8_t* at) {
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

Slots SlotsAt(const Stretch& s, std::size_t p) {
  const std::uint8_t* at = At(s, p);
  const std::size_t h4 = Hash4(at);
  return Slots{s.chain_key_bytes == 8 ? Hash8(at) : h4, Hash3(at), h4};
}

// Enters position p into its hash chain and the tables of last positions.
// Positions come in rising order; a chain keeps the gap back to the
// previous position with its hash (0: none within the window), in slots
// reused after one window, which only drops entries too far back to be
// copied from anyway.
void InsertAt(const Stretch& s, std::size_t p, const Slots& slots) {
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

void Insert(const Stretch& s, std::size_t p) { InsertAt(s, p, SlotsAt(s, p)); }

// The entry before q in a chain, or kNoPosition.
std::uint32_t NextEntry(const std::uint8_t* chain, std::size_t q) {
  const std::size_t gap = Load16(chain, q & (kWindowBytes - 1));
  return gap == 0 ? kNoPosition : static_cast<std::uint32_t>(q + 1 - gap);
}
std::uint32_t NextEntry(const Stretch& s, std::size_t q) { return NextEntry(s.chain, q); }

#if defined(__SSE2__)
// Bit j set when from[j] == value, for j = 0..31.
std::uint32_t EqualMask32(const std::uint8_t* from, std::uint8_t value) {
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
Match FindShort(const std::uint8_t* at, std::size_t back_bytes, std::size_t limit) {
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

std::size_t Limit(const Stretch& s, std::size_t p) {
  const std::size_t left = s.end - p;
  return left < kMaxCopyBytes ? left : kMaxCopyBytes;
}

Match FindShortAt(const Stretch& s, std::size_t p) { return FindShort(At(s, p), p - s.window_begin, Limit(s, p)); }

// ---- Fast level: one probe of a table of 4-byte values per position.
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
};

FastOut FromWriter(const TokenWriter& w) {
  FastOut f{w.dst + w.at, w.dst + w.flag_at, w.tokens};
  if (w.tokens_in_group == kTokensPerFlag) {
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
      Copy8(out_at, literals);
      Copy8(out_at + room + 1, literals + room);
      out_at[room] = 0;
      flag += (out_at + room - flag) & (0 - static_cast<std::ptrdiff_t>(crossing));
      out_at += waiting + crossing;
      tokens += waiting;
    } else {
      *flag = static_cast<std::uint8_t>(*flag | (0x80u >> (tokens % kTokensPerFlag)));
      *out_at = static_cast<std::uint8_t>(((waiting - kRunBase) << 2) | kRunMark);
      Copy16(out_at + 1, literals);
      Copy16(out_at + 1 + 16, literals + 16);
      out_at += 1 + waiting;
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
    StoreLe32(out_at, body);
    out_at += body_bytes;
    EndFastToken(&out_at, &flag, &tokens);
    at += bytes;
    literals = at;
  }
  *out = FastOut{out_at, flag, tokens};
  *literal_start = literals;
  return at;
}

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

// ---- Greedy and lazy levels: hash chains.

// The match at the position a table of last positions holds in `slot`,
// when it is within the window and at least min_bytes long (bytes = 0
// otherwise).
Match LastMatch(const Stretch& s, std::size_t p, const std::uint8_t* table, std::size_t slot, std::size_t min_bytes,
                std::size_t limit) {
  const std::uint32_t entry = Load32(table, slot);
  if (entry == kNoPosition || p - (entry - 1u) > kWindowBytes) return Match{0, 0};
  const std::size_t bytes = MatchBytes(At(s, entry - 1u), At(s, p), limit);
  return bytes < min_bytes ? Match{0, 0} : Match{bytes, p - (entry - 1u)};
}

// The best of the matches offered, by bits saved; on ties the first.
struct Best {
  Match match{0, 0};
  int saved = kMinSavedBits - 1;
  void Offer(const Match& m) {
    if (m.bytes == 0) return;
    const int bits = SavedBits(m);
    if (bits > saved) {
      match = m;
      saved = bits;
    }
  }
};

// The match at p that saves the most bits: short copies from the last 32
// bytes, the last positions with the same 3 and 4 bytes, then the hash
// chain. bytes = 0 when nothing saves at least kMinSavedBits.
//
// The chain runs from near to far, and at a given length a farther copy
// never costs less, so a candidate can only win by being longer than the
// best so far: one byte comparison at that length rejects most of them.
Match FindMatch(const Stretch& s, std::size_t p, const Slots& slots, std::uint32_t max_chain,
                std::size_t nice_bytes) {
  const std::size_t limit = Limit(s, p);
  Best best;
  best.Offer(FindShortAt(s, p));
  if (limit < kHashedBytes) return best.match;
  best.Offer(LastMatch(s, p, s.near3, slots.near3, kMediumBase, limit));
  if (s.near4 != nullptr) best.Offer(LastMatch(s, p, s.near4, slots.near4, kMediumBase + 1, limit));
  const std::uint8_t* at = At(s, p);
  std::uint32_t entry = Load32(s.head, slots.chain);
  for (std::uint32_t steps = 0; entry != kNoPosition && steps < max_chain; ++steps) {
    const std::size_t q = entry - 1u;
    const std::size_t distance = p - q;
    const std::size_t longest = best.match.bytes;
    if (distance > kWindowBytes || longest >= limit || longest >= nice_bytes) break;
    const std::uint8_t* from = At(s, q);
    if (from[longest] == at[longest]) {
      const std::size_t bytes = MatchBytes(from, at, limit);
      if (bytes > longest && bytes >= kMediumBase) best.Offer(Match{bytes, distance});
    }
    entry = NextEntry(s, q);
  }
  return best.match;
}

void PrimeChains(const Stretch& s) {
  for (std::size_t q = s.window_begin; q < s.begin; ++q) Insert(s, q);
}

// Enters the positions a copy covers after its first. In a long copy both
// ends are entered and every fourth byte between: its middle repeats what
// came before, so matches found there are seldom needed, and entering every
// byte of a flat picture would cost more than the rest of its parse. On the
// benchmark's illustration at the default level: every byte, 61.2 KB in
// 20 ms; every fourth, 62.5 KB in 8 ms; the ends only, 71.9 KB in 5 ms.
constexpr std::size_t kInsertEveryBytes = 64;
constexpr std::size_t kInsertEndBytes = 16;
constexpr std::size_t kInsertStrideBytes = 4;

void InsertCovered(const Stretch& s, std::size_t p, std::size_t covered) {
  if (covered <= kInsertEveryBytes) {
    for (std::size_t k = 1; k < covered; ++k) Insert(s, p + k);
    return;
  }
  for (std::size_t k = 1; k <= kInsertEndBytes; ++k) Insert(s, p + k);
  for (std::size_t k = kInsertEndBytes + kInsertStrideBytes; k < covered - kInsertEndBytes; k += kInsertStrideBytes) {
    Insert(s, p + k);
  }
  for (std::size_t k = covered - kInsertEndBytes; k < covered; ++k) Insert(s, p + k);
}

void ParseChained(const Stretch& s, const LevelParams& params) {
  PrimeChains(s);
  const bool lazy = params.parser == Parser::kLazy;
  std::size_t p = s.begin;
  std::size_t literal_start = p;
  Slots slots = SlotsAt(s, p);
  Match m = FindMatch(s, p, slots, params.max_chain, params.nice_bytes);
  while (p < s.end) {
    InsertAt(s, p, slots);
    if (m.bytes == 0) {
      ++p;
      if (p < s.end) {
        slots = SlotsAt(s, p);
        m = FindMatch(s, p, slots, params.max_chain, params.nice_bytes);
      }
      continue;
    }
    if (lazy && m.bytes < params.lazy_max_bytes && p + 1 < s.end) {
      const std::uint32_t chain = m.bytes >= params.good_bytes ? params.max_chain / 4 : params.max_chain;
      const Slots next_slots = SlotsAt(s, p + 1);
      const Match next = FindMatch(s, p + 1, next_slots, chain > 0 ? chain : 1, params.nice_bytes);
      if (SavedBits(next) > SavedBits(m) + kLazyMarginBits) {
        ++p;
        slots = next_slots;
        m = next;
        continue;
      }
    }
    EmitLiterals(s.out, At(s, literal_start), p - literal_start);
    const std::size_t covered = EmitMatch(s.out, m);
    InsertCovered(s, p, covered);
    p += covered;
    literal_start = p;
    if (p < s.end) {
      slots = SlotsAt(s, p);
      m = FindMatch(s, p, slots, params.max_chain, params.nice_bytes);
    }
  }
  EmitLiterals(s.out, At(s, literal_start), s.end - literal_start);
}

// ---- Optimal level: the cheapest path through each block.

// The longest match at p within each reach the token forms price apart:
// 1 to 1024 back (a medium copy for up to 18 bytes) and 1 to 16,384 back.
struct Reaches {
  Match medium;
  Match far;
};

// Entries of the 3-byte chain looked at for a copy of 3 bytes. On the
// benchmark's photograph, where most copies are of 2 to 4 bytes, the
// nearest entry alone (a table of last positions) missed one such copy in
// a few hundred positions for another 3-byte value with the same hash: 16
// entries made the file 0.14% smaller (the real photograph 0.01%).
constexpr std::uint32_t kNear3Steps = 16;

Reaches FindReaches(const Stretch& s, std::size_t p, const Slots& slots, const LevelParams& params) {
  Reaches r{{0, 0}, {0, 0}};
  const std::size_t limit = Limit(s, p);
  if (limit < kHashedBytes) return r;
  const std::uint8_t* at = At(s, p);
  Match best{kMediumBase - 1, 0};
  bool medium_done = false;
  std::uint32_t entry = Load32(s.head, slots.chain);
  for (std::uint32_t steps = 0; entry != kNoPosition; ++steps) {
    if (steps >= (best.bytes >= params.nice_bytes ? params.long_chain : params.max_chain)) break;
    const std::size_t q = entry - 1u;
    const std::size_t distance = p - q;
    if (distance > kWindowBytes || best.bytes >= limit) break;
    if (!medium_done && distance > kMediumMaxDistance) {
      medium_done = true;
      r.medium = best;
    }
    const std::uint8_t* from = At(s, q);
    if (from[best.bytes] == at[best.bytes]) {
      const std::size_t bytes = MatchBytes(from, at, limit);
      if (bytes > best.bytes) best = Match{bytes, distance};
    }
    entry = NextEntry(s, q);
  }
  if (best.distance == 0) best.bytes = 0;
  if (!medium_done) r.medium = best;
  // The nearest earlier position with the same 3 bytes gives a copy of 3
  // when the chain found none of 4 bytes or more (a long copy of 3 bytes
  // costs 25 bits, 2 less than three literals), and a medium one when it is
  // within reach. Its chain steps over other 3-byte values with the same
  // hash.
  Match near{0, 0};
  std::uint32_t entry3 = Load32(s.near3, slots.near3);
  for (std::uint32_t steps = 0; entry3 != kNoPosition && steps < kNear3Steps; ++steps) {
    const std::size_t q = entry3 - 1u;
    if (p - q > kWindowBytes) break;
    const std::size_t bytes = MatchBytes(At(s, q), at, limit);
    if (bytes >= kMediumBase) {
      near = Match{bytes, p - q};
      break;
    }
    entry3 = NextEntry(s.chain3, q);
  }
  if (near.distance <= kMediumMaxDistance && near.bytes > r.medium.bytes) r.medium = near;
  if (near.bytes > best.bytes) best = near;
  if (r.medium.distance == 0) r.medium.bytes = 0;
  r.far = best;
  return r;
}

constexpr std::uint32_t kNoPrice = 0xFFFFFFFFu;

// Offers the token of `bytes` bytes at `distance` (0: literals) from slot
// `from`, costing `bits`.
void Relax(const Stretch& s, std::size_t from, std::uint32_t base, std::size_t bytes, std::size_t distance,
           std::uint32_t bits) {
  const std::size_t to = from + bytes;
  const std::uint32_t price = base + bits;
  if (price < Load32(s.price, to)) {
    Store32(s.price, to, price);
    Store16(s.step, 2 * to, static_cast<std::uint16_t>(bytes - 1));
    Store16(s.step, 2 * to + 1, static_cast<std::uint16_t>(distance));
  }
}

// Emits the cheapest path to slot `slots` of the block starting at p.
void EmitPath(const Stretch& s, std::size_t p, std::size_t slots) {
  std::size_t count = 0;
  for (std::size_t slot = slots; slot > 0; slot -= std::size_t{Load16(s.step, 2 * slot)} + 1) {
    Store32(s.path, count++, static_cast<std::uint32_t>(slot));
  }
  std::size_t start = 0;
  while (count > 0) {
    const std::size_t slot = Load32(s.path, --count);
    const std::size_t distance = Load16(s.step, 2 * slot + 1);
    const std::size_t bytes = slot - start;
    if (distance == 0) {
      EmitLiterals(s.out, At(s, p + start), bytes);
    } else {
      EmitPiece(s.out, bytes, distance);
    }
    start = slot;
  }
}

// Offers every copy and the single literal that start at slot `cur` of the
// block at p, whose last slot is `slots`. Among copies of the same length
// only the cheapest form is offered. Returns the match that ends the block
// early when it is at least nice_bytes long (bytes = 0 otherwise).
Match OfferTokens(const Stretch& s, std::size_t p, std::size_t cur, std::size_t slots, const LevelParams& params) {
  const std::uint32_t base = Load32(s.price, cur);
  const std::size_t room = slots - cur;
  Relax(s, cur, base, 1, 0, kLiteralBits);
  const std::size_t pos = p + cur;
  const Match short_copy = FindShortAt(s, pos);
  const Slots pos_slots = SlotsAt(s, pos);
  const Reaches r = FindReaches(s, pos, pos_slots, params);
  InsertAt(s, pos, pos_slots);
  if (r.far.bytes >= params.nice_bytes) return r.far;
  std::size_t n = kShortBase;
  for (; n <= short_copy.bytes && n <= room; ++n) Relax(s, cur, base, n, short_copy.distance, kShortBits);
  if (n < kMediumBase) n = kMediumBase;
  for (; n <= r.medium.bytes && n <= kMediumMaxBytes && n <= room; ++n) {
    Relax(s, cur, base, n, r.medium.distance, kMediumBits);
  }
  if (n < kLongBase) n = kLongBase;
  for (; n <= r.far.bytes && n <= kLongMaxBytes && n <= room; ++n) Relax(s, cur, base, n, r.far.distance, kLongBits);
  if (r.far.bytes >= kLong1KBytes && room >= kLong1KBytes) Relax(s, cur, base, kLong1KBytes, r.far.distance, kLongBits);
  return Match{0, 0};
}

// A literal run of n bytes costs 9 + 8n bits, so with a price less 8 bits
// per byte before it, every run ending at a slot costs the same 9 bits: the
// best run is the one from the cheapest such price 9 to 40 slots back. The
// window keeps those slots in rising order of that price (a monotonic
// queue), so each slot costs O(1) however long runs are.
struct RunWindow {
  static constexpr std::size_t kSlots = 64;
  static_assert(kSlots > kMaxRunBytes - kRunBase + 1, "the window holds every start a run may have");
  std::uint32_t start[kSlots];
  std::size_t first;
  std::size_t last;
};

std::int64_t RunPrice(const Stretch& s, std::size_t slot) {
  return std::int64_t{Load32(s.price, slot)} - 8 * static_cast<std::int64_t>(slot);
}

// Offers the best literal run that ends at slot `cur`.
void OfferRun(const Stretch& s, RunWindow* w, std::size_t cur) {
  if (cur >= kRunBase) {
    const std::size_t start = cur - kRunBase;
    const std::int64_t price = RunPrice(s, start);
    while (w->last > w->first && RunPrice(s, w->start[(w->last - 1) % RunWindow::kSlots]) >= price) --w->last;
    w->start[w->last++ % RunWindow::kSlots] = static_cast<std::uint32_t>(start);
  }
  while (w->last > w->first && w->start[w->first % RunWindow::kSlots] + kMaxRunBytes < cur) ++w->first;
  if (w->last == w->first) return;
  const std::size_t start = w->start[w->first % RunWindow::kSlots];
  const std::size_t bytes = cur - start;
  Relax(s, start, Load32(s.price, start), bytes, 0, static_cast<std::uint32_t>(kRunControlBits + 8 * bytes));
}

void ParseOptimal(const Stretch& s, const LevelParams& params) {
  PrimeChains(s);
  std::size_t p = s.begin;
  while (p < s.end) {
    const std::size_t left = s.end - p;
    const std::size_t slots = left < kOptBlockBytes ? left : kOptBlockBytes;
    Store32(s.price, 0, 0);
    for (std::size_t slot = 1; slot <= slots; ++slot) Store32(s.price, slot, kNoPrice);
    RunWindow runs;
    runs.first = runs.last = 0;
    std::size_t cur = 0;
    Match taken{0, 0};
    for (;; ++cur) {
      // Every token into `cur` has been offered: its price is final.
      OfferRun(s, &runs, cur);
      if (cur == slots) break;
      taken = OfferTokens(s, p, cur, slots, params);
      if (taken.bytes != 0) break;
    }
    EmitPath(s, p, cur);
    p += cur;
    if (taken.bytes == 0) continue;
    // A long match is taken whole: the block ends where it starts.
    const std::size_t covered = EmitMatch(s.out, taken);
    for (std::size_t k = 1; k < covered; ++k) Insert(s, p + k);
    p += covered;
  }
}

bool SizeInRange(std::int32_t width, std::int32_t height) {
  return width >= 1 && width <= kMaxDimension && height >= 1 && height <= kMaxDimension;
}

std::size_t TotalBytes(std::int32_t width, std::int32_t height) {
  return std::size_t{3} * static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
}

// Parses stretch `index` into the writer, continuing its flag groups.
void ParseStretch(const std::uint8_t* pixels, std::size_t total_bytes, const EncodeOptions& options,
                  std::size_t index, std::uint8_t* work, TokenWriter* out) {
  Stretch s{};
  s.begin = index * kEncodeStretchBytes;
  s.end = total_bytes - s.begin < kEncodeStretchBytes ? total_bytes : s.begin + kEncodeStretchBytes;
  s.window_begin = s.begin < kWindowBytes ? 0 : s.begin - kWindowBytes;
  std::uint8_t* buffer = work;
  s.head = buffer + kBufferBytes;
  s.near3 = s.head + kHeadTableBytes;
  std::uint8_t* near4 = s.near3 + kHeadTableBytes;
  s.chain = near4 + kHeadTableBytes;
  s.price = s.chain + kChainTableBytes;
  s.step = s.price + kPriceTableBytes;
  s.path = s.step + kStepTableBytes;
  s.out = out;
  FillBuffer(pixels, options.delta, s.window_begin, s.end, buffer);
  s.buffer = buffer;
  const LevelParams& params = ParamsFor(options.level);
  s.chain_key_bytes = params.chain_key_bytes;
  const bool chained = params.parser == Parser::kGreedy || params.parser == Parser::kLazy;
  s.near4 = chained ? near4 : nullptr;
  // The optimal parse keeps its chain of 3-byte hashes where the others
  // keep near4.
  static_assert(kChainTableBytes <= kHeadTableBytes, "");
  s.chain3 = params.parser == Parser::kOptimal ? near4 : nullptr;
  // Every table starts empty (the fast level fills its own).
  if (params.parser != Parser::kFast) std::memset(s.head, 0, (chained ? 3 : 2) * kHeadTableBytes);
  switch (params.parser) {
    case Parser::kFast: ParseFast(s); break;
    case Parser::kGreedy:
    case Parser::kLazy: ParseChained(s, params); break;
    case Parser::kOptimal: ParseOptimal(s, params); break;
  }
}

// The bytes of a token's body (its control byte and what follows), from
// its flag and first byte.
constexpr std::size_t ControlBodyBytes(unsigned b) {
  const TokenForm form = ClassifyControl(b);
  return 1 + (form == TokenForm::kLiteralRun ? RunLength(b) : OperandBytes(form));
}

struct BodyTable {
  std::uint8_t bytes[256];
};

constexpr BodyTable MakeBodyTable() {
  BodyTable t{};
  for (unsigned b = 0; b < 256; ++b) t.bytes[b] = static_cast<std::uint8_t>(ControlBodyBytes(b));
  return t;
}

constexpr BodyTable kControlBodies = MakeBodyTable();

std::size_t BodyBytes(bool flag, std::uint8_t b) { return flag ? kControlBodies.bytes[b] : 1; }

}  // namespace

std::size_t EncodeBoundBytes(std::int32_t width, std::int32_t height) {
  if (!SizeInRange(width, height)) return 0;
  // Every token but a run writes at most as many bytes as it produces, a
  // run one more, and each token takes one flag bit. Since a run produces at
  // least 8 bytes more than its one token, runs and flag bits together add
  // at most one byte per 8 produced.
  const std::uint64_t total_bytes =
      std::uint64_t{3} * static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
  return static_cast<std::size_t>(kHeaderBytes + total_bytes + (total_bytes + 7) / 8);
}

std::size_t EncodeWorkBytes(const EncodeOptions&) { return kWorkBytes; }

std::size_t EncodeStretchCount(std::int32_t width, std::int32_t height) {
  if (!SizeInRange(width, height)) return 0;
  return (TotalBytes(width, height) + kEncodeStretchBytes - 1) / kEncodeStretchBytes;
}

std::size_t EncodeStretchBoundBytes() { return kEncodeStretchBytes + (kEncodeStretchBytes + 7) / 8; }

void WriteEncodeHeader(std::int32_t width, std::int32_t height, const EncodeOptions& options, std::uint8_t* dst) {
  dst[0] = 'K';
  dst[1] = 'X';
  dst[2] = options.delta ? kAcceptedCoding : static_cast<std::uint8_t>(kAcceptedCoding & ~kDeltaCodingBit);
  dst[3] = static_cast<std::uint8_t>(kBytesPerPixel);
  std::memset(dst + 4, 0, 8);
  StoreLe16(dst + 12, static_cast<std::uint16_t>(width));
  StoreLe16(dst + 14, static_cast<std::uint16_t>(height));
}

StreamJoin StartStream() { return StreamJoin{kHeaderBytes, 0, 0}; }

std::size_t EncodeImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                        const EncodeOptions& options, std::uint8_t* work, std::uint8_t* dst,
                        std::size_t dst_capacity) {
  if (pixels == nullptr || work == nullptr || dst == nullptr) return 0;
  const std::size_t bound_bytes = EncodeBoundBytes(width, height);
  if (bound_bytes == 0 || dst_capacity < bound_bytes) return 0;
  WriteEncodeHeader(width, height, options, dst);
  TokenWriter out{dst, kHeaderBytes, 0, kTokensPerFlag, 0, 0};
  const std::size_t stretches = EncodeStretchCount(width, height);
  for (std::size_t index = 0; index < stretches; ++index) {
    ParseStretch(pixels, TotalBytes(width, height), options, index, work, &out);
  }
  CloseGroup(&out);
  return out.at;
}

EncodedStretch EncodeStretch(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                             const EncodeOptions& options, std::size_t index, std::uint8_t* work,
                             std::uint8_t* out, std::size_t out_capacity) {
  if (pixels == nullptr || work == nullptr || out == nullptr || out_capacity < EncodeStretchBoundBytes() ||
      index >= EncodeStretchCount(width, height)) {
    return EncodedStretch{0, 0, 0};
  }
  TokenWriter writer{out, 0, 0, kTokensPerFlag, 0, 0};
  ParseStretch(pixels, TotalBytes(width, height), options, index, work, &writer);
  CloseGroup(&writer);
  return EncodedStretch{writer.at, writer.tokens, writer.flag_at};
}

namespace {

// Copies n bytes 16 at a time: reads and writes up to 15 bytes past n.
constexpr std::size_t kCopyStepBytes = 16;

void CopyInSteps(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
  for (std::size_t k = 0; k < n; k += kCopyStepBytes) std::memcpy(to + k, from + k, kCopyStepBytes);
}

}  // namespace

void AppendStretch(StreamJoin* join, const std::uint8_t* stretch, const EncodedStretch& encoded, std::uint8_t* dst) {
  const unsigned phase = static_cast<unsigned>(join->tokens % kTokensPerFlag);
  if (phase == 0) {
    // The stream's groups line up with the stretch's: its bytes go as they are.
    std::memcpy(dst + join->at, stretch, encoded.bytes);
    join->flag_at = join->at + encoded.last_flag_at;
    join->at += encoded.bytes;
    join->tokens += encoded.tokens;
    return;
  }
  // Each whole group of the stretch splits the same way: its first 8 - phase
  // tokens fill the stream's open group, the other `phase` tokens start a
  // new one. Bodies lie in token order on both sides, so each part is one
  // copy.
  std::size_t at = join->at;
  std::size_t flag_at = join->flag_at;
  std::size_t from = 0;
  std::size_t left = encoded.tokens;
  const unsigned first_part = kTokensPerFlag - phase;
  for (; left > kTokensPerFlag; left -= kTokensPerFlag) {
    const unsigned flags = stretch[from++];
    // Eight single literals, the usual group in noisy pictures, need no
    // looking at.
    std::size_t first_bytes = first_part;
    std::size_t group_bytes = kTokensPerFlag;
    if (flags != 0) {
      group_bytes = 0;
      for (unsigned k = 0; k < kTokensPerFlag; ++k) {
        if (k == first_part) first_bytes = group_bytes;
        group_bytes += BodyBytes((flags & (0x80u >> k)) != 0, stretch[from + group_bytes]);
      }
    }
    dst[flag_at] = static_cast<std::uint8_t>(dst[flag_at] | (flags >> phase));
    const std::uint8_t* source = stretch + from;
    flag_at = at + first_bytes;
    if (from + group_bytes + kCopyStepBytes <= encoded.bytes) {
      // At least 16 more bytes follow in the stretch, and so in the stream:
      // the copies may run over into them.
      CopyInSteps(dst + at, source, first_bytes);
      dst[flag_at] = static_cast<std::uint8_t>(flags << first_part);
      CopyInSteps(dst + flag_at + 1, source + first_bytes, group_bytes - first_bytes);
    } else {
      std::memcpy(dst + at, source, first_bytes);
      dst[flag_at] = static_cast<std::uint8_t>(flags << first_part);
      std::memcpy(dst + flag_at + 1, source + first_bytes, group_bytes - first_bytes);
    }
    at = flag_at + 1 + group_bytes - first_bytes;
    from += group_bytes;
  }
  // The last group, which may be short, token by token.
  TokenWriter w{dst, at, flag_at, phase, dst[flag_at], join->tokens + encoded.tokens - left};
  while (left > 0) {
    const std::uint8_t flags = stretch[from++];
    const std::size_t group = left < kTokensPerFlag ? left : kTokensPerFlag;
    for (std::size_t k = 0; k < group; ++k) {
      const bool flag = (flags & (0x80u >> k)) != 0;
      const std::size_t body = BodyBytes(flag, stretch[from]);
      std::memcpy(BeginToken(&w, flag, body), stretch + from, body);
      from += body;
    }
    left -= group;
  }
  CloseGroup(&w);
  *join = StreamJoin{w.at, w.tokens, w.flag_at};
}
